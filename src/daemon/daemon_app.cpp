#include "daemon/daemon_app.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "config/client_name_mgr.h"
#include "config/config_file.h"
#include "config/global_conf.h"
#include "devices/tap_device.h"
#include "devices/vir_com.h"
#include "devices/vir_com_mgr.h"
#include "devices/zn_common_fun.h"
#include "diagnostics/server_log.h"
#include "diagnostics/stack_listing.h"
#include "platform/paths.h"
#include "platform/poll_loop.h"
#include "platform/signals.h"
#include "tunnel/client_mgr.h"
#include "tunnel/client_state_text.h"

namespace murvik {

namespace {

const char* kUsage =
    "Usage: murvikd [options] NAME... | '*'\n"
    "\n"
    "Starts the sessions of the configured modules named on the command line ('*' starts every\n"
    "module) and prints one line whenever a module's state changes:\n"
    "  NAME (SN:12345678901): <state>\n"
    "SIGINT or SIGTERM stops every session (with its goodbye to the server) and exits 0; when every\n"
    "started session has stopped on its own (a refusal), murvikd exits 1.\n"
    "\n"
    "Options:\n"
    "  --home DIR       configuration directory (default: $MURVIK_HOME, else ~/.config/murvik3);\n"
    "                   it holds MURVIK3.xml, MURVIK3.INI and the key store\n"
    "  --log-port N     UDP port on 127.0.0.1 for the debug log datagrams (default 910)\n"
    "  -v, --verbose    also print every debug log line to stderr\n"
    "  --help           this text\n"
    "  --version        the version\n";

void InstallStderrMessages() {
  SetMessageHandler([](MessageKind kind, const std::string& caption, const std::string& text) {
    std::fprintf(stderr, "murvikd: %s%s%s\n", caption.c_str(), caption.empty() ? "" : ": ", text.c_str());
    std::fflush(stderr);
    return kind == MessageKind::Question ? false : true;
  });
}

struct Options {
  std::string home;
  int logPort = 910;
  bool verbose = false;
  std::vector<std::string> modules;
};

// Answers -1 to go on, else the exit code.
int ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "murvikd: %s needs a value\n", name);
        return nullptr;
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--version") {
      std::printf("murvikd %s\n", MURVIK_VERSION);
      return 0;
    } else if (a == "--home") {
      const char* v = value("--home");
      if (!v) return 2;
      o.home = v;
    } else if (a == "--log-port") {
      const char* v = value("--log-port");
      if (!v) return 2;
      char* end = nullptr;
      long p = std::strtol(v, &end, 10);
      if (*v == '\0' || *end != '\0' || p < 1 || p > 65535) {
        std::fprintf(stderr, "murvikd: --log-port wants a port number, not '%s'\n", v);
        return 2;
      }
      o.logPort = static_cast<int>(p);
    } else if (a == "-v" || a == "--verbose") {
      o.verbose = true;
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      std::fprintf(stderr, "murvikd: unknown option '%s' (see --help)\n", a.c_str());
      return 2;
    } else {
      o.modules.push_back(a);
    }
  }
  if (o.modules.empty()) {
    std::fputs("murvikd: name the modules to start, or '*' for all (see --help)\n", stderr);
    return 2;
  }
  return -1;
}

std::string Line(const TClient& s, const std::string& state) { return s.NAME + " (SN:" + s.SN + "): " + state; }

}  // namespace

int RunDaemon(int argc, char** argv) {
  Options opt;
  int rc = ParseOptions(argc, argv, opt);
  if (rc >= 0) return rc;
  if (!opt.home.empty()) setenv("MURVIK_HOME", opt.home.c_str(), 1);

  StartExceptionStackTracking();
  InstallFatalSignalHandlers();
  InstallStderrMessages();
  if (opt.verbose) {
    SetLogObserver([](int level, std::string_view text) {
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
      std::fprintf(stderr, "[%d] %.*s\n", level, static_cast<int>(text.size()), text.data());
    });
  }

  const int signalFd = platform::OpenTerminationSignalFd();
  if (signalFd < 0) {
    std::perror("murvikd: cannot watch termination signals");
    return 1;
  }

  std::string confError;
  if (!GlobalConf().Load(SettingsFilePath(), &confError))
    std::fprintf(stderr, "murvikd: %s: %s (defaults kept)\n", SettingsFilePath().c_str(), confError.c_str());
  ServerLog().Open(TServerLog::kSourceId, static_cast<std::uint16_t>(opt.logPort));

  platform::PollLoop loop;
  TClientServices& services = ClientServices();
  // The services point into this frame: clear them on every way out.
  struct ServicesReset {
    ~ServicesReset() { ClientServices() = TClientServices{}; }
  } servicesReset;
  services.loop = &loop;
  services.directComDelivery = true;  // the poll loop's clock is safe to read from any thread
  services.names = &ClientNameMgr();
  services.defaultLoginServer = GlobalConf().defaultLoginServer;
  VirComPorts() = MakeVirCom;
  TapDevices() = [](const TapDeviceRequest& r) -> std::unique_ptr<ITapDevice> {
    return std::make_unique<TTapDevice>(r.adapterName, r.receiver,
                                        [](const std::string& d) { return VirComMgr().AdapterConnectionName(d); });
  };
  services.adapters = &VirComMgr();
  services.refreshDevices = [] {
    VirComMgr().RefreshPorts();
    VirComMgr().RefreshAdapters();
  };

  TClientMgr mgr;
  TMainWindowState state;
  try {
    ClientNameMgr().LoadNames();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "murvikd: cannot read the client names: %s\n", e.what());
    return 1;
  }
  const std::string path = ConfigFilePath();
  ConfigLoadResult loaded = LoadConfigFile(path, mgr, state);
  if (loaded.status == ConfigLoadResult::Missing) {
    std::fprintf(stderr, "murvikd: no configuration file at %s\n", path.c_str());
    return 1;
  }
  if (loaded.status == ConfigLoadResult::Failed) {
    std::fprintf(stderr, "murvikd: cannot load %s: %s\n", path.c_str(), loaded.error.c_str());
    return 1;
  }

  std::vector<TClient*> started;
  auto startOne = [&](TClient* s) {
    if (s->IsRunning()) return;
    if (s->Start())
      started.push_back(s);
    else
      std::printf("%s\n", Line(*s, ClientStateText(*s)).c_str());
  };
  if (opt.modules.front() == "*") {
    for (int i = 0; i < mgr.Count(); ++i) startOne(mgr.At(i));
  } else {
    for (const auto& name : opt.modules) {
      bool any = false;
      for (int i = 0; i < mgr.Count(); ++i) {
        if (mgr.At(i)->NAME == name) {
          any = true;
          startOne(mgr.At(i));
        }
      }
      if (!any) std::fprintf(stderr, "murvikd: no module named '%s' in %s\n", name.c_str(), path.c_str());
    }
  }
  std::fflush(stdout);
  if (started.empty()) {
    std::fputs("murvikd: no session started\n", stderr);
    return 1;
  }

  // Report like the module frame refreshes: every 200 ms, one line per change of state.
  std::map<TClient*, std::string> shown;
  int exitCode = 0;
  auto report = [&] {
    bool anyRunning = false;
    for (TClient* s : started) {
      std::string key = ClientStateKey(*s);
      if (shown[s] != key) {
        shown[s] = key;
        std::printf("%s\n", Line(*s, ClientStateText(*s)).c_str());
        std::fflush(stdout);
      }
      anyRunning |= s->IsRunning();
    }
    if (!anyRunning) {
      exitCode = 1;
      loop.Quit();
    }
  };
  report();
  loop.AddTimer(200, report);
  loop.WatchFd(signalFd, [&] {
    int sig = platform::ReadTerminationSignal(signalFd);
    std::fprintf(stderr, "murvikd: signal %d, stopping\n", sig);
    exitCode = 0;
    loop.Quit();
  });
  loop.Run();

  for (TClient* s : started) {
    if (s->IsRunning()) {
      s->Stop();
      std::printf("%s\n", Line(*s, ClientStateText(*s)).c_str());
    }
  }
  std::fflush(stdout);
  mgr.Clear();
  return exitCode;
}

}  // namespace murvik
