#include "integration/sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <regex>
#include <thread>

namespace murvik::test {

namespace {

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::string SimProcess::BinaryPath() { return std::string(MURVIK_BIN_DIR) + "/tools/sim/murvik-sim"; }

SimProcess::~SimProcess() {
  if (pid_ > 0 && Running()) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  if (stdinFd_ >= 0) close(stdinFd_);
  if (stdoutFd_ >= 0) close(stdoutFd_);
}

bool SimProcess::Start(std::vector<std::string> args, int timeoutMs) {
  if (pid_ > 0) {
    error = "already started";
    return false;
  }
  ptyPaths.clear();
  ethTaps.clear();
  buffer_.clear();
  bool hasPort = false;
  for (const auto& a : args) hasPort = hasPort || a == "--login-port";
  if (!hasPort) args.insert(args.end(), {"--login-port", "0"});
  args.insert(args.begin(), BinaryPath());

  int out[2];
  int in[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  // A socket rather than a pipe, so that writing to an ended simulator fails instead of raising
  // SIGPIPE in the test.
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) {
    error = std::string("socketpair: ") + std::strerror(errno);
    close(out[0]);
    close(out[1]);
    return false;
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) {
    error = std::string("fork: ") + std::strerror(errno);
    for (int fd : {out[0], out[1], in[0], in[1]}) close(fd);
    return false;
  }
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    dup2(in[1], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  pid_ = pid;
  close(out[1]);
  close(in[1]);
  stdoutFd_ = out[0];
  stdinFd_ = in[0];

  auto line = ReadLine(timeoutMs);
  // Pseudo-terminal and TAP ports announce themselves before READY.
  static const std::regex kPty("PTY (COM[1-3]) (.+)");
  static const std::regex kEth("ETH (\\S+) tap=(\\S+) mac=\\S+");
  for (std::smatch pm; line; line = ReadLine(timeoutMs)) {
    if (std::regex_match(*line, pm, kPty))
      ptyPaths.emplace_back(pm[1].str(), pm[2].str());
    else if (std::regex_match(*line, pm, kEth))
      ethTaps.emplace_back(pm[1].str(), pm[2].str());
    else
      break;
  }
  static const std::regex kReady("READY login=(\\d+) relay=(\\d+)");
  std::smatch m;
  if (!line || !std::regex_match(*line, m, kReady)) {
    error = line ? "unexpected first line: " + *line : "no READY line from " + BinaryPath();
    return false;
  }
  loginPort = static_cast<std::uint16_t>(std::stoi(m[1].str()));
  relayPort = static_cast<std::uint16_t>(std::stoi(m[2].str()));
  return true;
}

std::optional<std::string> SimProcess::ReadLine(int timeoutMs) {
  const std::int64_t end = NowMs() + timeoutMs;
  for (;;) {
    auto eol = buffer_.find('\n');
    if (eol != std::string::npos) {
      std::string line = buffer_.substr(0, eol);
      buffer_.erase(0, eol + 1);
      return line;
    }
    if (stdoutFd_ < 0) return std::nullopt;
    const std::int64_t left = end - NowMs();
    if (left <= 0) return std::nullopt;
    pollfd p{stdoutFd_, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return std::nullopt;
    char buf[4096];
    ssize_t n = read(stdoutFd_, buf, sizeof buf);
    if (n <= 0) {
      close(stdoutFd_);
      stdoutFd_ = -1;
      continue;
    }
    buffer_.append(buf, static_cast<std::size_t>(n));
  }
}

std::string SimProcess::Command(const std::string& line, int timeoutMs) {
  if (stdinFd_ < 0) return "";
  std::string text = line + "\n";
  if (send(stdinFd_, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size())) return "";
  return ReadLine(timeoutMs).value_or("");
}

void SimProcess::CloseStdin() {
  if (stdinFd_ >= 0) close(stdinFd_);
  stdinFd_ = -1;
}

void SimProcess::Reap(int status) {
  exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  pid_ = -1;
}

bool SimProcess::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    Reap(status);
    return false;
  }
  return r == 0;
}

int SimProcess::Stop(int timeoutMs) {
  if (pid_ <= 0) return exitStatus_;
  kill(pid_, SIGTERM);
  const std::int64_t end = NowMs() + timeoutMs;
  while (Running()) {
    if (NowMs() >= end) {
      kill(pid_, SIGKILL);
      int status = 0;
      waitpid(pid_, &status, 0);
      pid_ = -1;
      return exitStatus_ = -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return exitStatus_;
}

}  // namespace murvik::test
