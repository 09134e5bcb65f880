#pragma once
// The one thread that carries all protocol work. Every tick comparison in the core reads Now()
// of its loop, so the manual loop can drive the timers in virtual time.
#include <cstdint>
#include <functional>

namespace murvik::platform {

class EventLoop {
 public:
  using TimerId = std::uint64_t;
  using Task = std::function<void()>;

  virtual ~EventLoop() = default;

  // Thread-safe; tasks run on the loop thread in the order posted.
  virtual void Post(Task task) = 0;
  // Periodic timer (repeat) or one-shot, first due intervalMs from now. Loop thread only.
  virtual TimerId AddTimer(std::uint32_t intervalMs, Task task, bool repeat = true) = 0;
  virtual void CancelTimer(TimerId id) = 0;
  // 32-bit millisecond tick, compared modulo 2^32.
  virtual std::uint32_t Now() const = 0;
  // A blocking wait on the loop thread (the short pauses of a session stop, the resolver retry).
  // The manual loop advances its clock instead of sleeping and runs nothing meanwhile.
  virtual void Delay(std::uint32_t ms) = 0;
};

// Milliseconds elapsed from `since` to `now`, modulo 2^32.
inline std::uint32_t TickDiff(std::uint32_t now, std::uint32_t since) { return now - since; }

}  // namespace murvik::platform
