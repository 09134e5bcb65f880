#pragma once
// A private driver state and device folder for tests of the pair tool, and the helpers they share.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "devices/zn_common_fun.h"
#include "platform/serial_pair.h"
#include "support/temp_dir.h"
#include "tunnel/wire_format.h"

namespace murvik::test {

inline const std::string kDriverFolder = std::string(MURVIK_BIN_DIR) + "/src/driver/";

template <typename F>
inline bool WaitFor(F condition, int seconds = 10) {
  for (int i = 0; i < seconds * 100; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

// Waits until the last close of a visible path has put the line back to the rate no program uses.
// The probe's own close asks for one more reset; the pause lets it land before the caller opens
// the path and sets its line.
inline bool WaitLineIdle(const std::string& path) {
  bool idle = WaitFor([&] {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    platform::SerialLine line;
    bool ok = fd >= 0 && platform::GetSerialLine(fd, &line);
    if (fd >= 0) close(fd);
    return ok && line.baud == 50;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return idle;
}

class SerialPairFixture : public ::testing::Test {
 public:
  void SetUp() override {
    setenv("MURVIK_DRIVER_STATE", state_.Path().c_str(), 1);
    setenv("MURVIK_DEV_DIR", dev_.Path().c_str(), 1);
  }
  void TearDown() override {
    for (int i = 0; i < 16; ++i) platform::StopPairHolder(state_.Path(), i);
    unsetenv("MURVIK_DRIVER_STATE");
    unsetenv("MURVIK_DEV_DIR");
  }
  std::string Setupc(const std::string& args) {
    std::string out;
    RunCommand(kDriverFolder + "setupc " + args, out, 10);
    return out;
  }
  std::string Visible(int com) const { return platform::PairVisiblePath(dev_.Path(), com); }
  bool WaitIdle(const std::string& path) { return WaitLineIdle(path); }

  // Writes 1 MB to the visible end: with no session holding the pair the bytes go nowhere, and the
  // writer must never block. A writer stuck for 30 s is freed by stopping the holder.
  bool WritesMegabyteWithoutBlocking(int fd, int pairIndex) {
    auto writer = std::async(std::launch::async, [fd] {
      std::vector<char> chunk(4096, 'x');
      for (int i = 0; i < 256; ++i) {
        if (write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) return false;
      }
      return true;
    });
    bool done = writer.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    if (!done) platform::StopPairHolder(state_.Path(), pairIndex);
    return writer.get() && done;
  }

  TempDir state_;
  TempDir dev_;
};

struct Format {
  int byteSize;
  int parity;
};
// 8N1, 8E1, 8O1, 7E1
inline const Format kFormats[] = {{8, 0}, {8, 2}, {8, 1}, {7, 2}};

}  // namespace murvik::test
