#pragma once
// Child processes started without a console of their own: standard output on a pipe that the
// parent reads, standard input (and by default standard error) on the null device.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace murvik::platform {

// Splits a command line into words: blanks (space, tab) separate words, double quotes group
// blanks into a word and are removed ("" is an empty word). No other escapes.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

class ChildProcess {
 public:
  ChildProcess() = default;
  // A child still running is killed and reaped: no zombie outlives the object.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] (searched on PATH when it holds no slash). Answers 0, or the system error
  // number when the program could not be started. captureStderr puts standard error on the
  // same pipe as standard output.
  int Start(const std::vector<std::string>& argv, bool captureStderr = false);
  bool Started() const { return pid_ > 0; }

  // Bytes readable at once on the output pipe (0 when none), -1 when the pipe failed.
  long BytesWaiting() const;
  // Reads up to size waiting bytes; answers the count, 0 at end of output, -1 on error.
  long Read(void* buf, std::size_t size);
  // Sleeps up to timeoutMs, returning early when output arrives.
  void WaitForOutput(int timeoutMs);

  // Zero-time test whether the child has ended; reaps it when it has.
  bool HasEnded();
  // Exit code of an ended child, 128 + signal number when a signal ended it, -1 before.
  int ExitStatus() const { return exitStatus_; }
  // Asks the child to stop (SIGTERM on POSIX); does not wait.
  void Terminate();
  // Kills the child and everything it started, and reaps it.
  void Kill();

 private:
  long long pid_ = -1;
  int outFd_ = -1;
  bool ended_ = false;
  bool outputClosed_ = false;
  int exitStatus_ = -1;
};

// Gives the calling thread a name that debuggers and ps show (cut to the system's limit).
void SetCurrentThreadName(const char* name);

}  // namespace murvik::platform
