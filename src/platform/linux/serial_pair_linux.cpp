// Pair holders on Linux: the hidden end is a pty master, the visible end its slave reached
// through a symlink; the master travels to the client with SCM_RIGHTS.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/linux/serial_line_linux.h"
#include "platform/paths.h"
#include "platform/serial_pair.h"

namespace murvik::platform {

namespace {

// Requests on the holder socket, one byte each.
constexpr char kPing = 'P';
constexpr char kTake = 'T';
constexpr char kQuit = 'Q';
constexpr char kOk = 'K';
constexpr char kBusy = 'B';
constexpr char kHanded = 'F';

bool FillAddress(const std::string& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

int Connect(const std::string& path) {
  sockaddr_un addr;
  if (!FillAddress(path, &addr)) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// One byte, waiting at most timeoutMs; answers 0 when nothing came.
char ReadByte(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return 0;
  char c = 0;
  return read(fd, &c, 1) == 1 ? c : 0;
}

void WriteByte(int fd, char c) { (void)send(fd, &c, 1, MSG_NOSIGNAL); }

bool SendFd(int sock, int fd) {
  char data = kHanded;
  iovec iov{&data, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
  return sendmsg(sock, &msg, MSG_NOSIGNAL) == 1;
}

// Answers the reply byte; *fd gets a passed descriptor when one came.
char ReceiveReply(int sock, int* fd, int timeoutMs) {
  *fd = -1;
  pollfd p{sock, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return 0;
  char data = 0;
  iovec iov{&data, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  if (recvmsg(sock, &msg, MSG_CMSG_CLOEXEC) != 1) return 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) std::memcpy(fd, CMSG_DATA(c), sizeof(int));
  }
  return data;
}

char Request(const std::string& stateDir, int index, char what) {
  int fd = Connect(PairSocketPath(stateDir, index));
  if (fd < 0) return 0;
  WriteByte(fd, what);
  char reply = ReadByte(fd, 2000);
  close(fd);
  return reply;
}

// Points the visible path at the slave; replaced atomically so openers never see it missing.
bool LinkVisiblePath(const std::string& slave, const std::string& link) {
  std::string tmp = link + ".new";
  unlink(tmp.c_str());
  if (symlink(slave.c_str(), tmp.c_str()) != 0) return false;
  if (rename(tmp.c_str(), link.c_str()) != 0) {
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

// Reads and forgets what the visible end wrote; answers false once the master hangs up.
bool Drain(int master) {
  char buf[4096];
  for (;;) {
    ssize_t n = read(master, buf, sizeof buf);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && errno == EAGAIN;
  }
}

}  // namespace

// Follows the opens and closes of the visible end. A master whose slave no program has open
// reports hang-up without pause, so while hung up the closes and opens of the slave node are
// watched instead; every last close resets the line.
class HangupWatch {
 public:
  explicit HangupWatch(int master) : master_(master) {
    char slave[128] = {};
    notify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notify_ >= 0 && ptsname_r(master, slave, sizeof slave) == 0)
      inotify_add_watch(notify_, slave, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
  }
  ~HangupWatch() {
    if (notify_ >= 0) close(notify_);
  }
  HangupWatch(const HangupWatch&) = delete;
  HangupWatch& operator=(const HangupWatch&) = delete;

  // The descriptor to wait on for the pair: the master, or the watch while hung up.
  int WaitFd() const { return hungUp_ ? notify_ : master_; }
  bool HungUp() const { return hungUp_; }
  // Back from a client, which may have seen opens and closes: look at the master afresh.
  void Resume() { hungUp_ = false; }
  // Handles readiness of WaitFd(); answers true when the master has bytes to read.
  bool Handle(short revents) {
    if (hungUp_) {
      char buf[4096];
      while (read(notify_, buf, sizeof buf) > 0) {
      }
      return Check();
    }
    if (revents & POLLHUP) {
      hungUp_ = true;
      return Check();
    }
    return (revents & POLLIN) != 0;
  }

 private:
  // Looks at the master afresh; a hang-up still there resets the line (a close came). Asking
  // right before the reset keeps a program that has already reopened the end from losing the
  // settings it just made.
  bool Check() {
    pollfd m{master_, POLLIN, 0};
    poll(&m, 1, 0);
    if (m.revents & POLLHUP) {
      linux_detail::ResetPairTermios(master_);
    } else {
      hungUp_ = false;
    }
    return (m.revents & POLLIN) != 0;
  }

  int master_;
  int notify_ = -1;
  bool hungUp_ = false;
};

FileLock::FileLock(const std::string& path) {
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ >= 0 && flock(fd_, LOCK_EX) != 0) {
    close(fd_);
    fd_ = -1;
  }
}

FileLock::~FileLock() {
  if (fd_ >= 0) close(fd_);
}

std::string PairSocketPath(const std::string& stateDir, int index) {
  return JoinPath(stateDir, "CNCB" + std::to_string(index) + ".sock");
}

std::string PairVisiblePath(const std::string& devDir, int comNumber) {
  return JoinPath(devDir, "COM" + std::to_string(comNumber));
}

int RunPairHolder(const std::string& stateDir, const std::string& devDir, int index, int comNumber) {
  signal(SIGPIPE, SIG_IGN);
  if (!MakeDirs(stateDir) || !MakeDirs(devDir)) return 1;
  std::string lockPath = JoinPath(stateDir, "CNCB" + std::to_string(index) + ".holder");
  int lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd < 0) return 1;
  if (flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
    close(lockFd);
    return 0;
  }
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  char slave[128] = {};
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, slave, sizeof slave) != 0) {
    if (master >= 0) close(master);
    close(lockFd);
    return 1;
  }
  linux_detail::ResetPairTermios(master);
  std::string link = PairVisiblePath(devDir, comNumber);
  std::string sockPath = PairSocketPath(stateDir, index);
  sockaddr_un addr;
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  unlink(sockPath.c_str());
  if (listener < 0 || !FillAddress(sockPath, &addr) ||
      bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 8) != 0 ||
      !LinkVisiblePath(slave, link)) {
    if (listener >= 0) close(listener);
    close(master);
    close(lockFd);
    return 1;
  }

  int client = -1;  // the one client holding the master
  bool quit = false;
  {
    HangupWatch watch(master);
    while (!quit) {
      pollfd fds[2] = {{listener, POLLIN, 0}, {client >= 0 ? client : watch.WaitFd(), POLLIN, 0}};
      int n = poll(fds, 2, -1);
      if (n < 0 && errno != EINTR) break;
      if (client < 0 && fds[1].revents != 0) {
        if (watch.Handle(fds[1].revents)) Drain(master);
      } else if (client >= 0 && fds[1].revents != 0) {
        char c;
        ssize_t r = read(client, &c, 1);
        if (r <= 0 && !(r < 0 && errno == EINTR)) {
          close(client);
          client = -1;
          watch.Resume();
        }
      }
    if (fds[0].revents & POLLIN) {
      int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (conn < 0) continue;
      char req = ReadByte(conn, 1000);
      if (req == kTake && client < 0 && SendFd(conn, master)) {
        client = conn;
        continue;
      }
      if (req == kTake) WriteByte(conn, kBusy);
      if (req == kPing || req == kQuit) WriteByte(conn, kOk);
      if (req == kQuit) quit = true;
      close(conn);
    }
    }
  }
  if (quit) unlink(link.c_str());
  unlink(sockPath.c_str());
  if (client >= 0) close(client);
  close(listener);
  close(master);
  close(lockFd);
  return 0;
}

bool PairHolderRunning(const std::string& stateDir, int index) { return Request(stateDir, index, kPing) == kOk; }

bool StopPairHolder(const std::string& stateDir, int index) {
  if (Request(stateDir, index, kQuit) != kOk) return !PairHolderRunning(stateDir, index);
  std::string lockPath = JoinPath(stateDir, "CNCB" + std::to_string(index) + ".holder");
  // The holder releases its lock as its last act.
  for (int i = 0; i < 200; ++i) {
    int fd = open(lockPath.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return true;
    bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    if (free) return true;
    usleep(25 * 1000);
  }
  return false;
}

bool StartDetached(const std::vector<std::string>& argv) {
  if (argv.empty()) return false;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    setsid();
    if (fork() != 0) _exit(0);
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
    }
    // Keep no pipe of the starter open, or its reader would wait for the holder to end.
    close_range(3, ~0U, 0);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

PairHiddenEnd::PairHiddenEnd() = default;
PairHiddenEnd::~PairHiddenEnd() { Release(); }

bool PairHiddenEnd::Take(const std::string& stateDir, int index, std::string* errorText) {
  Release();
  int sock = Connect(PairSocketPath(stateDir, index));
  if (sock < 0) {
    if (errorText) *errorText = "pair holder not running";
    return false;
  }
  WriteByte(sock, kTake);
  int fd = -1;
  char reply = ReceiveReply(sock, &fd, 2000);
  if (reply != kHanded || fd < 0) {
    if (fd >= 0) close(fd);
    close(sock);
    if (errorText) *errorText = reply == kBusy ? "pair in use" : "pair holder did not answer";
    return false;
  }
  wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_ < 0) {
    close(fd);
    close(sock);
    if (errorText) *errorText = std::string("eventfd: ") + std::strerror(errno);
    return false;
  }
  fd_ = fd;
  conn_ = sock;
  return true;
}

void PairHiddenEnd::Release() {
  watch_.reset();
  {
    std::lock_guard lock(backlogMutex_);
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    backlog_.clear();
    backlogStart_ = 0;
  }
  if (conn_ >= 0) close(conn_);
  if (wake_ >= 0) close(wake_);
  conn_ = wake_ = -1;
}

long PairHiddenEnd::Read(void* buf, std::size_t size, int stopFd) {
  if (fd_ < 0) return -1;
  if (!watch_) watch_ = std::make_unique<HangupWatch>(fd_);
  for (;;) {
    bool backlog;
    {
      std::lock_guard lock(backlogMutex_);
      if (watch_->HungUp()) backlog_.clear(), backlogStart_ = 0;
      backlog = !backlog_.empty();
    }
    int waitFd = watch_->WaitFd();
    short events = POLLIN | (backlog && waitFd == fd_ ? POLLOUT : 0);
    pollfd fds[3] = {{stopFd, POLLIN, 0}, {waitFd, events, 0}, {wake_, POLLIN, 0}};
    int n = poll(fds, 3, -1);
    if (n < 0 && errno != EINTR) return -1;
    if (fds[0].revents & POLLIN) return 0;
    if (fds[2].revents & POLLIN) {
      std::uint64_t count;
      [[maybe_unused]] ssize_t r = read(wake_, &count, sizeof count);
    }
    if (fds[1].revents & (POLLERR | POLLNVAL)) return -1;
    if (fds[1].revents & POLLOUT) FlushBacklog();
    if (fds[1].revents == 0 || !watch_->Handle(fds[1].revents)) continue;
    ssize_t r = read(fd_, buf, size);
    if (r > 0) return r;
    if (r < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) return -1;
  }
}

void PairHiddenEnd::FlushBacklog() {
  std::lock_guard lock(backlogMutex_);
  while (backlogStart_ < backlog_.size()) {
    ssize_t n = write(fd_, backlog_.data() + backlogStart_, backlog_.size() - backlogStart_);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      if (backlogStart_ >= (64u << 10)) {  // keep the buffer from creeping while it never empties
        backlog_.erase(backlog_.begin(), backlog_.begin() + static_cast<std::ptrdiff_t>(backlogStart_));
        backlogStart_ = 0;
      }
      return;
    }
    if (n <= 0) break;  // EIO: the visible end was closed
    backlogStart_ += static_cast<std::size_t>(n);
  }
  backlog_.clear();
  backlogStart_ = 0;
}

long PairHiddenEnd::Write(const void* bytes, std::size_t count) {
  std::lock_guard lock(backlogMutex_);
  if (fd_ < 0) return -1;
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  std::size_t written = 0;
  if (backlog_.empty()) {
    while (written < count) {
      ssize_t n = write(fd_, p + written, count - written);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EIO) return 0;  // no program has the visible end open
      if (n < 0 && errno == EAGAIN) break;
      if (n < 0) return -1;
      written += static_cast<std::size_t>(n);
    }
    if (written == count) return static_cast<long>(count);
  }
  bool wasEmpty = backlog_.empty();
  std::size_t room = kBacklogLimit - std::min(kBacklogLimit, backlog_.size() - backlogStart_);
  std::size_t queued = std::min(room, count - written);
  backlog_.insert(backlog_.end(), p + written, p + written + queued);
  if (wasEmpty && queued > 0) {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(wake_, &one, sizeof one);
  }
  return static_cast<long>(written + queued);
}

bool PairHiddenEnd::Line(SerialLine* out) const {
  // After the last close the line holds the reset rate, which no program chose.
  if (fd_ < 0 || (watch_ && watch_->HungUp()) || !GetSerialLine(fd_, out)) return false;
  out->formatObserved = false;
  return true;
}

}  // namespace murvik::platform
