#include "devices/zn_common_fun.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/process.h"
#include "platform/random.h"

namespace murvik {

// ---- RunCommand ----

namespace {
constexpr std::size_t kReadChunk = 4096;

// Reads what the pipe holds right now, and no more: a tool's escaped helper that keeps writing
// must not keep us here.
void ReadWaiting(platform::ChildProcess& child, std::string& sink) {
  long left = child.BytesWaiting();
  char buf[kReadChunk];
  while (left > 0) {
    long n = child.Read(buf, std::min<std::size_t>(sizeof buf, static_cast<std::size_t>(left)));
    if (n <= 0) return;
    sink.append(buf, static_cast<std::size_t>(n));
    left -= n;
  }
}
}  // namespace

bool RunCommand(const std::string& commandLine, std::string& sink, int pollMs, int timeoutMs) {
  if (pollMs <= 0) pollMs = 10;
  platform::ChildProcess child;
  int err = child.Start(platform::SplitCommandLine(commandLine));
  if (err != 0) {
    ShowError("CreateProcess error:" + std::to_string(err));
    return false;
  }

  using Clock = std::chrono::steady_clock;
  const auto started = Clock::now();
  auto elapsedMs = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
  };

  char buf[kReadChunk];
  for (;;) {
    if (timeoutMs > 0 && elapsedMs() >= timeoutMs && !child.HasEnded()) {
      child.Kill();
      ReadWaiting(child, sink);
      break;
    }
    long waiting = child.BytesWaiting();
    if (waiting < 0) break;
    if (waiting > 0) {
      long n = child.Read(buf, sizeof buf);
      if (n <= 0) break;
      sink.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (child.HasEnded()) {
      // The last write may land between the empty peek and the end test.
      ReadWaiting(child, sink);
      break;
    }
    int wait = pollMs;
    if (timeoutMs > 0) {
      long long left = timeoutMs - elapsedMs();
      if (left < wait) wait = left > 0 ? static_cast<int>(left) : 0;
    }
    child.WaitForOutput(wait);
  }
  return true;
}

// ---- TZnWorkerThread ----

TZnWorkerThread::TZnWorkerThread(bool createSuspended, void* userData, Fn fn) : userData_(userData), fn_(fn) {
  if (!createSuspended) Launch();
}

void TZnWorkerThread::Resume() {
  if (!started_) Launch();
}

void TZnWorkerThread::Launch() {
  started_ = true;
  std::thread(&TZnWorkerThread::Body, this).detach();
}

void TZnWorkerThread::Body(TZnWorkerThread* self) {
  platform::SetCurrentThreadName("TZnWorkerThread");
  if (self->fn_) self->fn_(self->userData_);
  delete self;
}

// ---- TWinRandom ----

std::size_t TWinRandom::Random(void* buf, std::size_t count) { return platform::SecureRandom(buf, count); }

TWinRandom& WinRandom() {
  static TWinRandom instance;
  return instance;
}

// ---- Message boxes ----

namespace {
const char kErrorCaption[] = "错误";
const char kQuestionCaption[] = "询问";

struct MessageState {
  std::mutex dataMutex;                  // guards handler and title
  std::recursive_mutex callMutex;        // one box at a time; a handler may raise another
  std::shared_ptr<MessageHandler> handler;
  std::string title = "MURVIK3";
};

// Never destroyed: detached workers may still report while the program exits.
MessageState& Messages() {
  static auto* state = new MessageState;
  return *state;
}

bool Dispatch(MessageKind kind, const std::string& caption, const std::string& text) {
  MessageState& s = Messages();
  std::shared_ptr<MessageHandler> handler;
  {
    std::lock_guard<std::mutex> lock(s.dataMutex);
    handler = s.handler;
  }
  std::lock_guard<std::recursive_mutex> call(s.callMutex);
  if (handler && *handler) return (*handler)(kind, caption, text);
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  std::fflush(stderr);
  return false;
}
}  // namespace

void SetMessageHandler(MessageHandler handler) {
  MessageState& s = Messages();
  std::lock_guard<std::mutex> lock(s.dataMutex);
  s.handler = handler ? std::make_shared<MessageHandler>(std::move(handler)) : nullptr;
}

void SetApplicationTitle(const std::string& title) {
  MessageState& s = Messages();
  std::lock_guard<std::mutex> lock(s.dataMutex);
  s.title = title;
}

const std::string& ApplicationTitle() { return Messages().title; }

void ShowError(const std::string& text) { Dispatch(MessageKind::Error, kErrorCaption, text); }

void ShowInfo(const std::string& text) {
  std::string caption;
  {
    MessageState& s = Messages();
    std::lock_guard<std::mutex> lock(s.dataMutex);
    caption = s.title;
  }
  Dispatch(MessageKind::Info, caption, text);
}

bool AskYesNo(const std::string& text) { return Dispatch(MessageKind::Question, kQuestionCaption, text); }

// ---- Text helpers ----

std::string ReplaceAll(const std::string& text, const std::string& oldText, const std::string& newText) {
  if (oldText.empty()) return text;
  std::string out;
  out.reserve(text.size());
  std::size_t from = 0;
  for (;;) {
    std::size_t at = text.find(oldText, from);
    if (at == std::string::npos) break;
    out.append(text, from, at - from);
    out += newText;
    from = at + oldText.size();
  }
  out.append(text, from, std::string::npos);
  return out;
}

namespace {
// Civil date of a day count since 1970-01-01 (proleptic Gregorian), valid for any int64 range
// that matters here.
void CivilFromDays(std::int64_t z, unsigned& month, unsigned& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = doy - (153 * mp + 2) / 5 + 1;
  month = mp < 10 ? mp + 3 : mp - 9;
}
}  // namespace

std::string FormatMsTime(std::int64_t ms) {
  constexpr std::int64_t kMsPerDay = 86400000;
  constexpr std::int64_t kDays1899To1970 = 25569;
  // Floor division, so times before the origin count back from it instead of misbehaving.
  std::int64_t days = ms / kMsPerDay;
  std::int64_t rem = ms % kMsPerDay;
  if (rem < 0) {
    rem += kMsPerDay;
    --days;
  }
  unsigned month = 0, dayOfMonth = 0;
  CivilFromDays(days - kDays1899To1970, month, dayOfMonth);
  const auto r = static_cast<unsigned>(rem);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02u-%02u,%02u:%02u:%02u.%03u", month, dayOfMonth, r / 3600000,
                r / 60000 % 60, r / 1000 % 60, r % 1000);
  return buf;
}

}  // namespace murvik
