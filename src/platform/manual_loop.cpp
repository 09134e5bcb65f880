#include "platform/manual_loop.h"

#include <limits>

namespace murvik::platform {

void ManualLoop::Post(Task task) {
  std::lock_guard lock(postMutex_);
  posted_.push_back(std::move(task));
  postedCv_.notify_all();
}

bool ManualLoop::WaitForPosted(int timeoutMs) {
  std::unique_lock lock(postMutex_);
  return postedCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !posted_.empty(); });
}

EventLoop::TimerId ManualLoop::AddTimer(std::uint32_t intervalMs, Task task, bool repeat) {
  TimerId id = nextId_++;
  timers_[id] = Timer{virtualNow_ + intervalMs, intervalMs == 0 ? 1 : intervalMs, repeat, std::move(task)};
  return id;
}

void ManualLoop::CancelTimer(TimerId id) { timers_.erase(id); }

std::uint32_t ManualLoop::Now() const { return now_; }

void ManualLoop::Delay(std::uint32_t ms) {
  virtualNow_ += ms;
  now_ += ms;
}

int ManualLoop::RunPending() {
  int ran = 0;
  for (;;) {
    Task task;
    {
      std::lock_guard lock(postMutex_);
      if (posted_.empty()) return ran;
      task = std::move(posted_.front());
      posted_.pop_front();
    }
    task();
    ++ran;
  }
}

void ManualLoop::Advance(std::uint32_t ms) {
  const std::uint64_t end = virtualNow_ + ms;
  RunPending();
  for (;;) {
    // Earliest due timer within the window; ties go to the older timer.
    TimerId best = 0;
    std::uint64_t bestDue = std::numeric_limits<std::uint64_t>::max();
    for (auto& [id, t] : timers_) {
      if (t.due < bestDue) {
        bestDue = t.due;
        best = id;
      }
    }
    if (best == 0 || bestDue > end) break;
    if (bestDue > virtualNow_) {
      now_.fetch_add(static_cast<std::uint32_t>(bestDue - virtualNow_));
      virtualNow_ = bestDue;
    }
    auto it = timers_.find(best);
    Task task = it->second.task;  // the task may cancel its own timer
    if (it->second.repeat) {
      it->second.due = virtualNow_ + it->second.interval;
    } else {
      timers_.erase(it);
    }
    task();
    RunPending();
  }
  if (end > virtualNow_) {
    now_.fetch_add(static_cast<std::uint32_t>(end - virtualNow_));
    virtualNow_ = end;
  }
}

}  // namespace murvik::platform
