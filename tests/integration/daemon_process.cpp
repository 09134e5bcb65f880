#include "integration/daemon_process.h"

#include <chrono>

namespace murvik::test {

bool DaemonProcess::Start(const std::string& home, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {std::string(MURVIK_BIN_DIR) + "/src/murvikd", "--home", home, "--log-port", "39999"};
  argv.insert(argv.end(), args.begin(), args.end());
  output.clear();
  child_ = std::make_unique<platform::ChildProcess>();
  return child_->Start(argv, true) == 0;
}

void DaemonProcess::Pump(int ms) {
  if (!child_) return;
  char buf[4096];
  child_->WaitForOutput(ms);
  for (;;) {
    long n = child_->BytesWaiting() > 0 ? child_->Read(buf, sizeof buf) : 0;
    if (n <= 0) break;
    output.append(buf, static_cast<std::size_t>(n));
  }
}

bool DaemonProcess::WaitForText(const std::string& text, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (output.find(text) == std::string::npos && std::chrono::steady_clock::now() < end) Pump(100);
  return output.find(text) != std::string::npos;
}

int DaemonProcess::WaitForExit(int ms) {
  if (!child_) return -1;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!child_->HasEnded() && std::chrono::steady_clock::now() < end) Pump(50);
  Pump(0);
  return child_->HasEnded() ? child_->ExitStatus() : -1;
}

void DaemonProcess::Terminate() {
  if (child_) child_->Terminate();
}

}  // namespace murvik::test
