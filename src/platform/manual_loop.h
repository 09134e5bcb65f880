#pragma once
// Event loop with virtual time for tests: nothing runs until the test advances the clock or
// drains the posted tasks, so every timeout is exercised without sleeping.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

#include "platform/event_loop.h"

namespace murvik::platform {

class ManualLoop : public EventLoop {
 public:
  explicit ManualLoop(std::uint32_t start = 1000000) : now_(start) {}

  void Post(Task task) override;
  TimerId AddTimer(std::uint32_t intervalMs, Task task, bool repeat = true) override;
  void CancelTimer(TimerId id) override;
  std::uint32_t Now() const override;
  void Delay(std::uint32_t ms) override;

  // Runs posted tasks (including ones they post) until none is left; returns how many ran.
  int RunPending();
  // Moves the clock forward ms milliseconds, firing each due timer at its own due time and
  // running posted tasks after every firing.
  void Advance(std::uint32_t ms);
  std::size_t TimerCount() const { return timers_.size(); }
  // Blocks (real time) until another thread has posted a task or timeoutMs passes.
  bool WaitForPosted(int timeoutMs);

 private:
  struct Timer {
    std::uint64_t due;  // 64-bit virtual time, no wrap inside the loop
    std::uint32_t interval;
    bool repeat;
    Task task;
  };
  std::uint64_t virtualNow_ = 0;  // advanced together with now_
  std::atomic<std::uint32_t> now_;  // channel and receive threads read the clock too
  TimerId nextId_ = 1;
  std::map<TimerId, Timer> timers_;
  mutable std::mutex postMutex_;
  std::condition_variable postedCv_;
  std::deque<Task> posted_;
};

}  // namespace murvik::platform
