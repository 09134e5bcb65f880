#pragma once
// The small common unit: the tool runner, the self-freeing worker thread, the cryptographic random
// wrapper, the three message boxes behind an installable handler, ReplaceAll and FormatMsTime.
#include <cstdint>
#include <functional>
#include <string>

namespace murvik {

// Runs a console program (command line split like a shell would: blanks separate words, double
// quotes group) with its standard output captured and appended to sink. pollMs 0 means 10.
// A program that cannot be started shows "CreateProcess error:" + errno through the message box
// handler and answers false. timeoutMs > 0 kills a tool that runs longer (the sink keeps what
// came so far); 0 waits as long as the tool runs.
bool RunCommand(const std::string& commandLine, std::string& sink, int pollMs = 0, int timeoutMs = 0);

// A thread that runs one function with one user pointer and frees itself when it returns.
class TZnWorkerThread {
 public:
  using Fn = void (*)(void* userData);
  // Created suspended when createSuspended; Resume starts it. Use `new`: the object deletes
  // itself when the function returns.
  TZnWorkerThread(bool createSuspended, void* userData, Fn fn);
  void Resume();
  TZnWorkerThread(const TZnWorkerThread&) = delete;
  TZnWorkerThread& operator=(const TZnWorkerThread&) = delete;

 private:
  ~TZnWorkerThread() = default;
  void Launch();
  static void Body(TZnWorkerThread* self);
  void* userData_;
  Fn fn_;
  bool started_ = false;
};

class TWinRandom {
 public:
  // Fills buf with count random bytes; answers count, or 0 with buf unchanged on failure.
  std::size_t Random(void* buf, std::size_t count);
};
TWinRandom& WinRandom();

// The message boxes. The default handler writes to stderr; the GUI installs one that shows
// top-most boxes, tests install one that records. AskYesNo's default answers No.
enum class MessageKind { Error, Info, Question };
using MessageHandler = std::function<bool(MessageKind kind, const std::string& caption, const std::string& text)>;
void SetMessageHandler(MessageHandler handler);  // empty restores the default
void SetApplicationTitle(const std::string& title);
const std::string& ApplicationTitle();
void ShowError(const std::string& text);   // caption "错误"
void ShowInfo(const std::string& text);    // caption = application title
bool AskYesNo(const std::string& text);    // caption "询问"; true for Yes

std::string ReplaceAll(const std::string& text, const std::string& oldText, const std::string& newText);
// "mm-dd,hh:nn:ss.zzz" of a millisecond count since 1899-12-30 00:00.
std::string FormatMsTime(std::int64_t ms);

}  // namespace murvik
