#pragma once
// The two paths of the serial benchmark, set up and torn down: murvikd on a pair per channel
// against murvik-sim's echo ports, and socat bridging a pty and a UDP echo made by a second socat.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config/config_file.h"
#include "platform/net.h"
#include "platform/paths.h"
#include "platform/serial_pair.h"
#include "serial_port_io.h"
#include "serial_procs.h"
#include "tunnel/client.h"
#include "tunnel/client_mgr.h"
#include "tunnel/com_chanel.h"

namespace murvik::bench {

inline std::uint16_t FreeUdpPort() {
  platform::UdpSocket s;
  if (!s.Open() || !s.Bind(platform::Ipv4FromText("127.0.0.1"), 0)) return 0;
  return s.LocalPort();
}

inline bool UdpPortBound(std::uint16_t port) {
  platform::UdpSocket probe;
  return probe.Open() && !probe.Bind(platform::Ipv4FromText("127.0.0.1"), port);
}

inline bool WaitFor(const std::function<bool()>& ready, int ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (!g_stop && Clock::now() < deadline) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return ready();
}

inline std::string Tail(const std::string& file) {
  std::string text;
  platform::ReadFile(file, &text);
  return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
}

// The port pairs of this run, removed again (holders included) on every way out.
class Pairs {
 public:
  struct Pair {
    int index = -1;
    int com = 0;
  };

  Pairs(std::string setupc, std::string log) : setupc_(std::move(setupc)), log_(std::move(log)) {}
  ~Pairs() { RemoveAll(); }
  Pairs(const Pairs&) = delete;
  Pairs& operator=(const Pairs&) = delete;

  std::optional<Pair> Create(std::string* error) {
    Child tool;
    if (!tool.Start({setupc_, "INSTALL", "PortName=COM#", "-"}, log_, true, false, error)) return std::nullopt;
    auto out = tool.ReadToEnd(15000);
    const int rc = tool.Wait(5000);
    Pair p;
    const char* at = out ? std::strstr(out->c_str(), "CNCA") : nullptr;
    if (rc != 0 || !at || std::sscanf(at, "CNCA%d PortName=COM#,RealPortName=COM%d", &p.index, &p.com) != 2) {
      *error = setupc_ + " INSTALL failed (exit " + std::to_string(rc) + ")";
      if (out && !out->empty()) *error += ": " + *out;
      return std::nullopt;
    }
    pairs_.push_back(p);
    return p;
  }

  void RemoveAll() {
    for (const Pair& p : pairs_) {
      Child tool;
      std::string error;
      if (tool.Start({setupc_, "remove", std::to_string(p.index)}, log_, false, false, &error) && tool.Wait(10000) == 0)
        continue;
      platform::StopPairHolder(platform::DriverStateDir(), p.index);
    }
    pairs_.clear();
  }

 private:
  std::string setupc_;
  std::string log_;
  std::vector<Pair> pairs_;
};

// murvikd with two channels on the simulator's echo ports: COM1 transparent, COM2 download.
class MurvikPath {
 public:
  // logPort 0: a free port nobody listens on, as on a machine without a log viewer.
  MurvikPath(std::string binDir, std::string work, std::uint16_t logPort)
      : binDir_(std::move(binDir)),
        work_(std::move(work)),
        logPort_(logPort),
        pairs_(binDir_ + "/src/driver/setupc", work_ + "/setupc.log") {}
  ~MurvikPath() {
    for (int fd : {transparent.fd, download.fd})
      if (fd >= 0) close(fd);
    daemon_.Stop(5000);  // first: it holds the hidden ends
    if (sim_.Running()) sim_.WriteLine("quit");
    sim_.Stop(3000);
  }
  MurvikPath(const MurvikPath&) = delete;
  MurvikPath& operator=(const MurvikPath&) = delete;

  bool Start(std::string* error) {
    auto a = pairs_.Create(error);
    auto b = a ? pairs_.Create(error) : std::nullopt;
    if (!b) return false;
    const std::string moduleArg = std::string("sn=") + kSn + ",password=" + kPassword + ",com1=echo,com2=echo";
    if (!sim_.Start({binDir_ + "/tools/sim/murvik-sim", "--login-port", "0", "--module", moduleArg}, work_ + "/sim.log", true,
                    true, error))
      return false;
    std::optional<std::string> ready;
    while ((ready = sim_.ReadLine(10000)) && ready->rfind("READY", 0) != 0) {
    }
    unsigned loginPort = 0;
    if (!ready || std::sscanf(ready->c_str(), "READY login=%u", &loginPort) != 1) {
      *error = "murvik-sim did not get ready: " + Tail(work_ + "/sim.log");
      return false;
    }
    if (!WriteConfig(static_cast<std::uint16_t>(loginPort), a->com, b->com, error)) return false;
    const std::string logPort = std::to_string(logPort_ ? logPort_ : FreeUdpPort());
    if (!daemon_.Start({binDir_ + "/src/murvikd", "--home", work_ + "/home", "--log-port", logPort, kModuleName},
                       work_ + "/murvikd.log", false, false, error))
      return false;
    transparent.name = "murvik transparent";
    download.name = "murvik download";
    const std::string dev = platform::DevDir();
    if (!OpenRaw(platform::PairVisiblePath(dev, a->com), &transparent.fd, error) ||
        !OpenRaw(platform::PairVisiblePath(dev, b->com), &download.fd, error))
      return false;
    for (Path* p : {&transparent, &download}) {
      if (!CheckEcho(*p, 20000, error)) {
        *error += "; murvikd said: " + Tail(work_ + "/murvikd.log");
        return false;
      }
    }
    std::vector<Proc> procs = {{"murvikd", daemon_.Pid()}, {"murvik-sim", sim_.Pid()}};
    for (pid_t h : HolderPids(platform::DriverStateDir())) procs.push_back({"pair holders", h});
    transparent.procs = download.procs = procs;
    transparent.farCounters = [this] { return PortCounters(1); };
    download.farCounters = [this] { return PortCounters(2); };
    return true;
  }

  bool DaemonRunning() { return daemon_.Running(); }

  Path transparent;
  Path download;

 private:
  static constexpr const char* kSn = "20239999001";
  static constexpr const char* kPassword = "bench";
  static constexpr const char* kModuleName = "Bench";

  bool WriteConfig(std::uint16_t loginPort, int transparentCom, int downloadCom, std::string* error) {
    TClientMgr mgr;
    auto s = TClientMgr::CreateIOServer(0);
    if (!s) {
      *error = "no module model 0";
      return false;
    }
    for (auto& c : s->channels) {
      c->USE = 0;
      auto* com = dynamic_cast<TComChanel*>(c.get());
      if (com == nullptr || (com->DPORT != "COM1" && com->DPORT != "COM2")) continue;
      const bool first = com->DPORT == "COM1";
      com->USE = 1;
      com->VPORT = "COM" + std::to_string(first ? transparentCom : downloadCom);
      com->TransMode = first ? 0 : 1;
      com->PlcType = 1;  // a plain device: bytes pass unchanged
    }
    s->NAME = kModuleName;
    s->SN = kSn;
    s->PWD = kPassword;
    s->LOGNAME = "127.0.0.1";
    s->LOGPORT = loginPort;
    mgr.Add(std::move(s));
    const std::string home = work_ + "/home";
    if (!platform::MakeDirs(home)) {
      *error = "cannot create " + home;
      return false;
    }
    return SaveConfigFile(home + "/MURVIK3.xml", mgr, TMainWindowState{}, error);
  }

  // The simulator's counters of one module port: what reached the module and what it sent back.
  std::vector<std::pair<std::string, long long>> PortCounters(int com) {
    std::vector<std::pair<std::string, long long>> out;
    if (!sim_.WriteLine("stats")) return out;
    auto line = sim_.ReadLine(3000);
    auto j = line ? nlohmann::json::parse(*line, nullptr, false) : nlohmann::json();
    if (!j.is_object() || !j.contains("modules") || !j["modules"].is_array() || j["modules"].empty()) return out;
    for (const auto& p : j["modules"][0].value("ports", nlohmann::json::array())) {
      if (p.value("com", 0) != com) continue;
      for (const char* k : {"rx_bytes", "tx_bytes", "rx_frames", "tx_frames", "rx_repeats", "tx_dropped"})
        if (p.contains(k) && p[k].is_number()) out.emplace_back(k, p[k].get<long long>());
    }
    return out;
  }

  std::string binDir_;
  std::string work_;
  std::uint16_t logPort_;
  Pairs pairs_;  // before the children: removed after them
  Child sim_;
  Child daemon_;
};

// socat bridging a pty and UDP, against a second socat echoing the datagrams.
class SocatPath {
 public:
  // block 0 leaves socat's own block size (8192).
  SocatPath(std::string work, std::size_t block) : work_(std::move(work)), block_(block) {}
  ~SocatPath() {
    if (path.fd >= 0) close(path.fd);
    pty_.Stop(3000);
    echo_.Stop(3000);
  }
  SocatPath(const SocatPath&) = delete;
  SocatPath& operator=(const SocatPath&) = delete;

  bool Start(std::string* error) {
    if (!CheckDatagramEcho(error)) return false;
    std::uint16_t port = 0;
    if (!StartEcho(echo_, &port, error)) return false;
    const std::string link = work_ + "/base";
    if (!pty_.Start(Args({"PTY,link=" + link + ",raw,echo=0", "UDP:127.0.0.1:" + std::to_string(port)}),
                    work_ + "/socat-pty.log", false, false, error))
      return false;
    if (!WaitFor([&] { return std::filesystem::exists(link); }, 5000)) {
      *error = "socat made no pty: " + Tail(work_ + "/socat-pty.log");
      return false;
    }
    path.name = "socat";
    if (!OpenRaw(link, &path.fd, error) || !CheckEcho(path, 5000, error)) return false;
    path.procs = {{"socat pty", pty_.Pid()}, {"socat echo", echo_.Pid()}};
    return true;
  }

  Path path;

 private:
  static std::string Socat() {
    for (const char* dir : {"/usr/bin/", "/usr/local/bin/", "/bin/"})
      if (access((std::string(dir) + "socat").c_str(), X_OK) == 0) return std::string(dir) + "socat";
    return "/usr/bin/socat";
  }

  std::vector<std::string> Args(const std::vector<std::string>& addresses) const {
    std::vector<std::string> argv = {Socat()};
    if (block_ > 0) argv.insert(argv.end(), {"-b", std::to_string(block_)});
    argv.insert(argv.end(), addresses.begin(), addresses.end());
    return argv;
  }

  bool StartEcho(Child& echo, std::uint16_t* port, std::string* error) {
    *port = FreeUdpPort();
    if (*port == 0 ||
        !echo.Start(Args({"UDP-LISTEN:" + std::to_string(*port) + ",bind=127.0.0.1,reuseaddr", "PIPE"}),
                    work_ + "/socat-echo.log", false, false, error))
      return false;
    if (!WaitFor([&] { return UdpPortBound(*port); }, 5000)) {
      *error = "socat echo did not bind: " + Tail(work_ + "/socat-echo.log");
      return false;
    }
    return true;
  }

  // On a throwaway echo (it keeps to its first peer): datagrams must come back one for one.
  bool CheckDatagramEcho(std::string* error) {
    Child echo;
    std::uint16_t port = 0;
    if (!StartEcho(echo, &port, error)) return false;
    platform::UdpSocket s;
    if (!s.Open() || !s.Bind(platform::Ipv4FromText("127.0.0.1"), 0)) {
      *error = "no UDP socket for the echo check";
      return false;
    }
    for (std::size_t size : {1, 64, 512, 1400, 8000}) {
      if (block_ > 0 && size > block_) break;  // the pty side never sends more than a block
      Bytes d(size), got(9000);
      for (std::size_t i = 0; i < size; ++i) d[i] = static_cast<std::uint8_t>(i * 7 + size);
      s.SendTo(platform::SockAddrV4{platform::Ipv4FromText("127.0.0.1"), port}, d.data(), d.size());
      const long n = s.Receive(got.data(), got.size(), nullptr, -1, 2000);
      got.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
      if (got != d) {
        *error = "socat UDP echo returned " + std::to_string(n) + " bytes for a datagram of " + std::to_string(size);
        return false;
      }
    }
    return true;
  }

  std::string work_;
  std::size_t block_ = 0;
  Child echo_;
  Child pty_;
};

}  // namespace murvik::bench
