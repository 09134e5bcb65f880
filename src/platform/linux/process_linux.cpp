#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/process.h"

extern char** environ;

namespace murvik::platform {

namespace {
int DecodeWaitStatus(int st) {
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
  return -1;
}
}  // namespace

ChildProcess::~ChildProcess() {
  if (Started() && !HasEnded()) Kill();
  if (outFd_ >= 0) close(outFd_);
}

int ChildProcess::Start(const std::vector<std::string>& argv, bool captureStderr) {
  if (Started()) return EBUSY;
  if (argv.empty() || argv[0].empty()) return ENOENT;

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return errno;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  if (captureStderr) {
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }

  // Own process group, so a time-out can stop the tool together with whatever it started; clean
  // signal state, since callers may block or ignore signals (SIGPIPE in daemons).
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigdefault(&attr, &all);

  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return rc;
  }
  pid_ = pid;
  outFd_ = fds[0];
  ended_ = false;
  outputClosed_ = false;
  exitStatus_ = -1;
  return 0;
}

long ChildProcess::BytesWaiting() const {
  if (outFd_ < 0) return -1;
  int n = 0;
  if (ioctl(outFd_, FIONREAD, &n) != 0) return -1;
  return n;
}

long ChildProcess::Read(void* buf, std::size_t size) {
  if (outFd_ < 0) return -1;
  for (;;) {
    ssize_t n = read(outFd_, buf, size);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

void ChildProcess::WaitForOutput(int timeoutMs) {
  if (timeoutMs <= 0) return;
  if (outFd_ < 0 || outputClosed_) {
    // Every writer is gone but the child still runs: poll would return at once, so sleep.
    std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
    return;
  }
  pollfd p{outFd_, POLLIN, 0};
  int r = poll(&p, 1, timeoutMs);
  if (r > 0 && (p.revents & (POLLHUP | POLLERR)) && BytesWaiting() == 0) outputClosed_ = true;
}

bool ChildProcess::HasEnded() {
  if (!Started()) return true;
  if (ended_) return true;
  int st = 0;
  pid_t r;
  do {
    r = waitpid(static_cast<pid_t>(pid_), &st, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == static_cast<pid_t>(pid_)) {
    ended_ = true;
    exitStatus_ = DecodeWaitStatus(st);
  } else if (r < 0) {
    ended_ = true;  // reaped elsewhere (SIGCHLD ignored); nothing left to wait for
  }
  return ended_;
}

void ChildProcess::Terminate() {
  if (Started() && !ended_) kill(static_cast<pid_t>(pid_), SIGTERM);
}

void ChildProcess::Kill() {
  if (!Started() || ended_) return;
  // The group id stays ours until the child is reaped, so this cannot hit a stranger.
  kill(-static_cast<pid_t>(pid_), SIGKILL);
  kill(static_cast<pid_t>(pid_), SIGKILL);
  int st = 0;
  pid_t r;
  do {
    r = waitpid(static_cast<pid_t>(pid_), &st, 0);
  } while (r < 0 && errno == EINTR);
  ended_ = true;
  if (r == static_cast<pid_t>(pid_)) exitStatus_ = DecodeWaitStatus(st);
}

void SetCurrentThreadName(const char* name) {
  char buf[16];
  std::strncpy(buf, name, sizeof buf - 1);
  buf[sizeof buf - 1] = '\0';
  pthread_setname_np(pthread_self(), buf);
}

}  // namespace murvik::platform
