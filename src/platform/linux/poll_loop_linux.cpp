#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <stdexcept>
#include <thread>

#include "platform/poll_loop.h"

namespace murvik::platform {

std::uint64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

PollLoop::PollLoop() {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) throw std::runtime_error("eventfd failed");
}

PollLoop::~PollLoop() {
  if (wakeFd_ >= 0) close(wakeFd_);
}

void PollLoop::Wake() {
  std::uint64_t one = 1;
  ssize_t r = write(wakeFd_, &one, sizeof one);
  (void)r;  // a full counter still wakes the loop
}

void PollLoop::Post(Task task) {
  {
    std::lock_guard lock(postMutex_);
    posted_.push_back(std::move(task));
  }
  Wake();
}

EventLoop::TimerId PollLoop::AddTimer(std::uint32_t intervalMs, Task task, bool repeat) {
  TimerId id = nextId_++;
  timers_[id] = Timer{MonotonicMs() + intervalMs, intervalMs == 0 ? 1 : intervalMs, repeat, std::move(task)};
  return id;
}

void PollLoop::CancelTimer(TimerId id) { timers_.erase(id); }

std::uint32_t PollLoop::Now() const { return static_cast<std::uint32_t>(MonotonicMs()); }

void PollLoop::Delay(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void PollLoop::WatchFd(int fd, Task fn) { watched_[fd] = std::move(fn); }

void PollLoop::UnwatchFd(int fd) { watched_.erase(fd); }

int PollLoop::NextTimeoutMs() const {
  if (timers_.empty()) return -1;
  std::uint64_t next = std::numeric_limits<std::uint64_t>::max();
  for (const auto& [id, t] : timers_) next = std::min(next, t.due);
  std::uint64_t now = MonotonicMs();
  if (next <= now) return 0;
  return static_cast<int>(std::min<std::uint64_t>(next - now, 60000));
}

void PollLoop::FireDueTimers() {
  std::uint64_t now = MonotonicMs();
  std::vector<TimerId> due;
  for (const auto& [id, t] : timers_)
    if (t.due <= now) due.push_back(id);
  for (TimerId id : due) {
    auto it = timers_.find(id);
    if (it == timers_.end()) continue;  // cancelled by an earlier task
    Task task = it->second.task;
    if (it->second.repeat) {
      // Keep the cadence, but never try to catch up a backlog of missed periods.
      it->second.due += it->second.interval;
      if (it->second.due <= now) it->second.due = now + it->second.interval;
    } else {
      timers_.erase(it);
    }
    task();
  }
}

void PollLoop::RunPosted() {
  std::deque<Task> batch;
  {
    std::lock_guard lock(postMutex_);
    batch.swap(posted_);
  }
  for (auto& t : batch) t();
}

void PollLoop::RunOnce(int maxWaitMs) {
  std::vector<pollfd> fds;
  fds.push_back({wakeFd_, POLLIN, 0});
  for (const auto& [fd, fn] : watched_) fds.push_back({fd, POLLIN, 0});
  int timeout = NextTimeoutMs();
  {
    std::lock_guard lock(postMutex_);
    if (!posted_.empty()) timeout = 0;
  }
  if (maxWaitMs >= 0 && (timeout < 0 || timeout > maxWaitMs)) timeout = maxWaitMs;
  int n = poll(fds.data(), fds.size(), timeout);
  if (n < 0 && errno != EINTR) throw std::runtime_error("poll failed");
  if (n > 0 && (fds[0].revents & POLLIN)) {
    std::uint64_t v;
    ssize_t r = read(wakeFd_, &v, sizeof v);
    (void)r;
  }
  RunPosted();
  if (n > 0) {
    for (std::size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      auto it = watched_.find(fds[i].fd);
      if (it == watched_.end()) continue;  // unwatched by an earlier handler
      Task fn = it->second;
      fn();
    }
  }
  FireDueTimers();
}

void PollLoop::Run() {
  while (!quit_.load()) RunOnce(-1);
  quit_ = false;
}

void PollLoop::Quit() {
  quit_ = true;
  Wake();
}

bool PollLoop::RunUntil(const std::function<bool()>& pred, std::uint32_t timeoutMs) {
  std::uint64_t end = MonotonicMs() + timeoutMs;
  while (!pred()) {
    std::uint64_t now = MonotonicMs();
    if (now >= end) return pred();
    RunOnce(static_cast<int>(std::min<std::uint64_t>(end - now, 50)));
  }
  return true;
}

}  // namespace murvik::platform
