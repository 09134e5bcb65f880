#pragma once
// Event loop for real programs (murvikd, murvik-sim, integration tests): one thread blocks in
// poll() on a wake-up descriptor, the watched descriptors and the next timer.
#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "platform/event_loop.h"

namespace murvik::platform {

class PollLoop : public EventLoop {
 public:
  PollLoop();
  ~PollLoop() override;
  PollLoop(const PollLoop&) = delete;
  PollLoop& operator=(const PollLoop&) = delete;

  void Post(Task task) override;
  TimerId AddTimer(std::uint32_t intervalMs, Task task, bool repeat = true) override;
  void CancelTimer(TimerId id) override;
  std::uint32_t Now() const override;
  void Delay(std::uint32_t ms) override;

  // Calls fn on the loop thread whenever fd is readable. Loop thread only (or before Run).
  void WatchFd(int fd, Task fn);
  void UnwatchFd(int fd);

  // Runs until Quit(); Quit may be called from any thread.
  void Run();
  void Quit();
  // Runs the loop until pred() holds or timeoutMs passes; answers pred(). For tests and tools.
  bool RunUntil(const std::function<bool()>& pred, std::uint32_t timeoutMs);

 private:
  void Wake();
  void RunOnce(int maxWaitMs);
  int NextTimeoutMs() const;
  void FireDueTimers();
  void RunPosted();

  struct Timer {
    std::uint64_t due;
    std::uint32_t interval;
    bool repeat;
    Task task;
  };
  int wakeFd_ = -1;
  std::atomic<bool> quit_{false};
  std::mutex postMutex_;
  std::deque<Task> posted_;
  TimerId nextId_ = 1;
  std::map<TimerId, Timer> timers_;
  std::map<int, Task> watched_;
};

// Monotonic milliseconds (64-bit); the loop's Now() is its low 32 bits.
std::uint64_t MonotonicMs();

}  // namespace murvik::platform
