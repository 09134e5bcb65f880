#pragma once
// Moves the calling thread into a fresh network namespace for the life of the object, so a test
// can make interfaces without touching the machine's own. Threads started meanwhile inherit it.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace murvik::test {

class ScopedNetns {
 public:
  ScopedNetns() {
    saved_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (saved_ >= 0 && ::unshare(CLONE_NEWNET) == 0) entered_ = true;
  }
  ~ScopedNetns() {
    if (entered_) (void)::setns(saved_, CLONE_NEWNET);
    if (saved_ >= 0) ::close(saved_);
  }
  ScopedNetns(const ScopedNetns&) = delete;
  ScopedNetns& operator=(const ScopedNetns&) = delete;
  // False without CAP_SYS_ADMIN; the thread then stays where it was.
  bool Entered() const { return entered_; }

 private:
  int saved_ = -1;
  bool entered_ = false;
};

}  // namespace murvik::test
