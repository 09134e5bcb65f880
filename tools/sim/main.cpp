// murvik-sim: the login server, an optional relay and the modules behind them, for tests, the
// benchmarks and the demo.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "commands.h"
#include "options.h"
#include "platform/poll_loop.h"
#include "platform/signals.h"
#include "server.h"

using namespace murvik;

namespace {

void Say(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  sim::Options options;
  std::string error;
  switch (sim::ParseCommandLine(argc, argv, options, error)) {
    case sim::ParseResult::Help: std::fputs(sim::UsageText(), stdout); return 0;
    case sim::ParseResult::Error:
      std::fprintf(stderr, "murvik-sim: %s\n(see murvik-sim --help)\n", error.c_str());
      return 2;
    case sim::ParseResult::Run: break;
  }
  if (options.modules.empty()) std::fputs("murvik-sim: no modules configured; every REGISTER is refused\n", stderr);

  // With descriptor 0 closed a socket would take its number and be mistaken for standard input.
  if (fcntl(STDIN_FILENO, F_GETFD) < 0) {
    int null = open("/dev/null", O_RDONLY);
    if (null > STDIN_FILENO) close(null);
  }

  // Before any thread exists, so the signals reach only the descriptor.
  const int signalFd = platform::OpenTerminationSignalFd();
  if (signalFd < 0) {
    std::fputs("murvik-sim: cannot watch for termination signals\n", stderr);
    return 1;
  }

  sim::Simulator simulator(options);
  if (!simulator.Open(error)) {
    std::fprintf(stderr, "murvik-sim: %s\n", error.c_str());
    return 1;
  }

  platform::PollLoop loop;
  loop.WatchFd(simulator.Fd(sim::ServerKind::Login), [&] { simulator.OnReadable(sim::ServerKind::Login); });
  if (simulator.HasRelay())
    loop.WatchFd(simulator.Fd(sim::ServerKind::Relay), [&] { simulator.OnReadable(sim::ServerKind::Relay); });
  loop.WatchFd(signalFd, [&] {
    platform::ReadTerminationSignal(signalFd);
    loop.Quit();
  });

  std::string pending;
  loop.WatchFd(STDIN_FILENO, [&] {
    char buf[4096];
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n <= 0) {
      // The demo runs us with standard input closed: its end is not a request to stop.
      loop.UnwatchFd(STDIN_FILENO);
      return;
    }
    pending.append(buf, static_cast<std::size_t>(n));
    if (pending.size() > 65536 && pending.find('\n') == std::string::npos) {
      Say("ERR line too long");
      pending.clear();
    }
    for (std::size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, eol);
      pending.erase(0, eol + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.find_first_not_of(" \t") == std::string::npos) continue;
      auto result = sim::RunCommand(simulator, line);
      Say(result.reply);
      if (result.quit) loop.Quit();
    }
  });
  loop.AddTimer(1000, [&] { simulator.Sweep(); });
  loop.AddTimer(100, [&] { simulator.Tick(); });
  // Not a structured binding: clang 14 cannot capture one.
  for (const auto& port : simulator.PortFds())
    loop.WatchFd(port.first, [backend = port.second] { backend->OnReadable(); });
  for (const auto& line : simulator.Announcements()) Say(line);

  Say("READY login=" + std::to_string(simulator.Port(sim::ServerKind::Login)) +
      " relay=" + std::to_string(simulator.Port(sim::ServerKind::Relay)));
  loop.Run();
  close(signalFd);
  return 0;
}
