#pragma once
// murvikd as a child process for integration tests: started with a configuration directory of
// its own, its output (standard output and error together) collected as it comes.
#include <memory>
#include <string>
#include <vector>

#include "platform/process.h"

namespace murvik::test {

class DaemonProcess {
 public:
  // Starts murvikd --home home --log-port 39999 args...; false when it could not be started.
  bool Start(const std::string& home, const std::vector<std::string>& args);
  // Collects output for up to ms.
  void Pump(int ms);
  bool WaitForText(const std::string& text, int ms);
  // The exit code once it has ended within ms, else -1.
  int WaitForExit(int ms);
  void Terminate();
  bool Running() { return child_ && !child_->HasEnded(); }

  std::string output;

 private:
  std::unique_ptr<platform::ChildProcess> child_;
};

}  // namespace murvik::test
