#pragma once
// The serial benchmark's child processes and what it reads about them: CPU time, UDP drops, and
// the pair holders setupc starts on its own.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace murvik::bench {

using Clock = std::chrono::steady_clock;

// Set by SIGINT and SIGTERM: every wait gives up soon after.
inline volatile sig_atomic_t g_stop = 0;

// Poll time-out towards a deadline, short enough that a stop request is seen soon.
inline int PollMs(Clock::time_point deadline) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(ms, 0, 100));
}

// A program the benchmark starts: standard error (and standard output unless piped) appended to
// a log file, standard input from a pipe or the null device. Its own process group keeps a
// terminal's Ctrl-C away from it; the destructor stops it, the kernel does when the benchmark
// dies first.
class Child {
 public:
  Child() = default;
  ~Child() {
    Stop(3000);
    if (in_ >= 0) close(in_);
    if (out_ >= 0) close(out_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool Start(const std::vector<std::string>& argv, const std::string& logFile, bool pipeOut, bool pipeIn,
             std::string* error) {
    int out[2] = {-1, -1}, in[2] = {-1, -1};
    if ((pipeOut && pipe2(out, O_CLOEXEC) != 0) || (pipeIn && pipe2(in, O_CLOEXEC) != 0)) {
      *error = std::string("pipe: ") + std::strerror(errno);
      for (int fd : {out[0], out[1], in[0], in[1]})
        if (fd >= 0) close(fd);
      return false;
    }
    int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(127);
      setpgid(0, 0);
      signal(SIGPIPE, SIG_DFL);
      int null = open("/dev/null", O_RDWR);
      dup2(pipeIn ? in[0] : null, 0);
      dup2(pipeOut ? out[1] : (log >= 0 ? log : null), 1);
      dup2(log >= 0 ? log : null, 2);
      close_range(3, ~0U, 0);
      execv(args[0], args.data());
      _exit(127);
    }
    if (log >= 0) close(log);
    if (out[1] >= 0) close(out[1]);
    if (in[0] >= 0) close(in[0]);
    if (pid < 0) {
      *error = std::string("fork: ") + std::strerror(errno);
      if (out[0] >= 0) close(out[0]);
      if (in[1] >= 0) close(in[1]);
      return false;
    }
    pid_ = pid;
    out_ = out[0];
    in_ = in[1];
    return true;
  }

  pid_t Pid() const { return pid_; }

  bool Running() {
    if (pid_ <= 0 || status_ >= 0) return false;
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) != pid_) return true;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return false;
  }

  // The next line of standard output; nullopt at its end or after timeoutMs.
  std::optional<std::string> ReadLine(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      if (!Fill(deadline)) return std::nullopt;
    }
  }

  // Standard output up to its end; nullopt after timeoutMs.
  std::optional<std::string> ReadToEnd(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Fill(deadline)) {
    }
    if (out_ >= 0) return std::nullopt;
    return std::exchange(buffer_, {});
  }

  bool WriteLine(const std::string& line) {
    const std::string data = line + "\n";
    return in_ >= 0 && write(in_, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  }

  // Waits up to timeoutMs; answers the exit status (128 + signal), or -1 while it still runs.
  int Wait(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Running() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return Running() ? -1 : status_;
  }

  // SIGTERM, SIGKILL after timeoutMs; answers the exit status, -1 when it had to be killed.
  int Stop(int timeoutMs) {
    if (!Running()) return status_;
    kill(pid_, SIGTERM);
    if (Wait(timeoutMs) >= 0) return status_;
    kill(pid_, SIGKILL);
    Wait(2000);
    return -1;
  }

 private:
  // Reads what arrives before the deadline; false at the end of output or on time-out.
  bool Fill(Clock::time_point deadline) {
    while (out_ >= 0 && !g_stop) {
      pollfd p{out_, POLLIN, 0};
      int n = poll(&p, 1, PollMs(deadline));
      if (n > 0) {
        char buf[4096];
        ssize_t r = read(out_, buf, sizeof buf);
        if (r > 0) {
          buffer_.append(buf, static_cast<std::size_t>(r));
          return true;
        }
        if (r < 0 && errno == EINTR) continue;
        close(out_);
        out_ = -1;
        return false;
      }
      if (n < 0 && errno != EINTR) return false;
      if (Clock::now() >= deadline) return false;
    }
    return false;
  }

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int status_ = -1;
  std::string buffer_;
};

struct Proc {
  std::string name;
  pid_t pid;
};

// User plus system CPU seconds of a process, all its threads included; -1 when it is gone.
inline double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return -1;
  auto paren = stat.rfind(')');
  if (paren == std::string::npos) return -1;
  std::istringstream fields(stat.substr(paren + 1));
  std::vector<std::string> f;
  for (std::string w; fields >> w;) f.push_back(w);
  if (f.size() < 13) return -1;  // f[0] is field 3 (state): utime is field 14, stime 15
  return (std::strtod(f[11].c_str(), nullptr) + std::strtod(f[12].c_str(), nullptr)) /
         static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Datagrams the kernel dropped on arrival at the process's UDP sockets (full receive buffer).
inline long UdpDrops(pid_t pid) {
  std::vector<std::string> inodes;
  const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
  if (DIR* d = opendir(fdDir.c_str())) {
    while (dirent* e = readdir(d)) {
      char target[128];
      ssize_t n = readlink((fdDir + "/" + e->d_name).c_str(), target, sizeof target - 1);
      if (n <= 9) continue;
      target[n] = '\0';
      if (std::strncmp(target, "socket:[", 8) == 0) inodes.emplace_back(target + 8, static_cast<std::size_t>(n - 9));
    }
    closedir(d);
  }
  long drops = 0;
  std::ifstream udp("/proc/net/udp");
  std::string line;
  std::getline(udp, line);
  while (std::getline(udp, line)) {
    std::istringstream fields(line);
    std::vector<std::string> f;
    for (std::string w; fields >> w;) f.push_back(w);
    if (f.size() >= 13 && std::find(inodes.begin(), inodes.end(), f[9]) != inodes.end())
      drops += std::strtol(f[12].c_str(), nullptr, 10);
  }
  return drops;
}

// The pair holders of one driver state (setupc starts them detached, so they are no children).
inline std::vector<pid_t> HolderPids(const std::string& stateDir) {
  std::vector<pid_t> pids;
  const std::string marker = "MURVIK_DRIVER_STATE=" + stateDir + std::string(1, '\0');
  DIR* d = opendir("/proc");
  if (!d) return pids;
  while (dirent* e = readdir(d)) {
    const pid_t pid = static_cast<pid_t>(std::strtol(e->d_name, nullptr, 10));
    if (pid <= 0) continue;
    const std::string base = std::string("/proc/") + e->d_name;
    std::ifstream cmd(base + "/cmdline");
    const std::string cmdline((std::istreambuf_iterator<char>(cmd)), std::istreambuf_iterator<char>());
    if (cmdline.find("setupc") == std::string::npos || cmdline.find(std::string("\0hold\0", 6)) == std::string::npos)
      continue;
    std::ifstream env(base + "/environ");
    const std::string environ((std::istreambuf_iterator<char>(env)), std::istreambuf_iterator<char>());
    if (environ.find(marker) != std::string::npos) pids.push_back(pid);
  }
  closedir(d);
  return pids;
}

// CPU seconds by process name (same names summed) and UDP drops, at one moment or as a sum of
// differences.
struct Usage {
  std::map<std::string, double> cpu;
  long drops = 0;

  static Usage Of(const std::vector<Proc>& procs) {
    Usage u;
    for (const auto& p : procs) {
      const double s = CpuSeconds(p.pid);
      u.cpu[p.name] += s > 0 ? s : 0;
      u.drops += UdpDrops(p.pid);
    }
    return u;
  }
  void Add(const Usage& before, const Usage& after) {
    for (const auto& [name, s] : after.cpu) cpu[name] += s - before.cpu.at(name);
    drops += after.drops - before.drops;
  }
};

}  // namespace murvik::bench
