#pragma once
// murvik-sim as a child process for integration tests: started with arguments, its READY line
// read for the ports, line commands written to its standard input, stopped with SIGTERM.
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace murvik::test {

class SimProcess {
 public:
  SimProcess() = default;
  // A simulator still running is killed and reaped.
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // The built murvik-sim.
  static std::string BinaryPath();

  // Starts murvik-sim with args ("--login-port 0" is added unless args name a login port) and
  // waits up to timeoutMs for its READY line. On failure `error` says why.
  bool Start(std::vector<std::string> args, int timeoutMs = 10000);
  // Writes one command line and answers the reply line; "" when none comes within timeoutMs.
  std::string Command(const std::string& line, int timeoutMs = 5000);
  // The next line of standard output, or nullopt at its end or after timeoutMs.
  std::optional<std::string> ReadLine(int timeoutMs);
  // Ends standard input (the simulator keeps running).
  void CloseStdin();
  // Zero-time test; reaps an ended child.
  bool Running();
  // SIGTERM, then waits up to timeoutMs. Answers the exit code, 128 + signal when a signal ended
  // it, or -1 when it had to be killed.
  int Stop(int timeoutMs = 10000);

  std::uint16_t loginPort = 0;
  std::uint16_t relayPort = 0;
  // ("COM1", slave path) for every pseudo-terminal port, in the order announced.
  std::vector<std::pair<std::string, std::string>> ptyPaths;
  // (module SN, interface name) for every Ethernet port on a TAP interface, in the order announced.
  std::vector<std::pair<std::string, std::string>> ethTaps;
  std::string error;

 private:
  void Reap(int status);

  pid_t pid_ = -1;
  int stdinFd_ = -1;
  int stdoutFd_ = -1;
  std::string buffer_;
  int exitStatus_ = -1;
};

}  // namespace murvik::test
