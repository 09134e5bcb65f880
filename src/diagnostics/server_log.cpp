#include "diagnostics/server_log.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <memory>

#include "platform/text.h"

namespace murvik {

namespace {
constexpr std::size_t kHeaderSize = 18;
constexpr std::int64_t kRestMs = 1000;

std::int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void PutLe(unsigned char* p, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// Writes UTF-8 text as UTF-16LE code units into out, at most maxUnits of them; a surrogate pair
// that would not fit is left out whole. Answers the number of units written.
std::size_t EncodeUtf16Le(std::string_view text, unsigned char* out, std::size_t maxUnits) {
  std::size_t units = 0;
  std::size_t i = 0;
  while (i < text.size() && units < maxUnits) {
    char32_t cp = platform::DecodeUtf8(text, i);
    if (cp >= 0x10000) {
      if (units + 2 > maxUnits) break;
      cp -= 0x10000;
      PutLe(out + 2 * units++, 0xD800 + (cp >> 10), 2);
      PutLe(out + 2 * units++, 0xDC00 + (cp & 0x3FF), 2);
    } else {
      PutLe(out + 2 * units++, cp, 2);
    }
  }
  return units;
}

std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct ObserverState {
  std::mutex dataMutex;
  std::recursive_mutex callMutex;  // observers see one line at a time; one may log again
  std::shared_ptr<LogObserver> observer;
  std::atomic<bool> set{false};   // keeps the common no-observer path lock-free
};

ObserverState& Observer() {
  static auto* state = new ObserverState;
  return *state;
}

void Notify(int level, std::string_view text) {
  ObserverState& s = Observer();
  if (!s.set.load(std::memory_order_acquire)) return;
  std::lock_guard<std::recursive_mutex> call(s.callMutex);
  std::shared_ptr<LogObserver> observer;
  {
    std::lock_guard<std::mutex> lock(s.dataMutex);
    observer = s.observer;
  }
  if (observer && *observer) (*observer)(level, text);
}
}  // namespace

bool TServerLog::Open(std::uint16_t sourceId, std::uint16_t port) {
  std::lock_guard<std::mutex> lock(mutex_);
  sourceId_ = sourceId;
  ready_ = false;
  socket_.Close();
  if (!socket_.Open()) return false;
  target_ = platform::SockAddrV4{platform::Ipv4FromText("127.0.0.1"), port};
  if (!socket_.SetBroadcast(true) || !socket_.Connect(target_)) {
    socket_.Close();
    return false;
  }
  restUntilMs_ = 0;
  ready_ = true;
  return true;
}

void TServerLog::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  ready_ = false;
  socket_.Close();
}

bool TServerLog::Ready() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ready_;
}

std::uint32_t TServerLog::Counter() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counter_;
}

void TServerLog::Log(int level, std::string_view text) {
  if (text.data() == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!ready_) return;
  if (restUntilMs_ != 0 && SteadyMs() < restUntilMs_) {
    ++counter_;
    return;
  }
  static_assert(kHeaderSize + 2 * (kMaxChars + 1) <= sizeof buffer_);
  // Stamped under the lock so that sequence numbers and times rise together.
  const std::int64_t now = LocalMsSince1899();
  ++counter_;
  const std::size_t units = EncodeUtf16Le(text, buffer_ + kHeaderSize, kMaxChars);
  const std::size_t n = units + 1;
  PutLe(buffer_ + kHeaderSize + 2 * units, 0, 2);
  PutLe(buffer_ + 0, sourceId_, 2);
  PutLe(buffer_ + 2, static_cast<std::uint16_t>(level), 2);
  PutLe(buffer_ + 4, counter_, 4);
  PutLe(buffer_ + 8, static_cast<std::uint64_t>(now), 8);
  PutLe(buffer_ + 16, 2 * n, 2);
  // A lost line is not worth an error; a refused one says nobody listens.
  if (socket_.Send(buffer_, kHeaderSize + 2 * n) < 0 && errno == ECONNREFUSED) restUntilMs_ = SteadyMs() + kRestMs;
}

bool TServerLog::SkipWhileResting() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!ready_ || restUntilMs_ == 0 || SteadyMs() >= restUntilMs_) return false;
  ++counter_;
  return true;
}

TServerLog& ServerLog() {
  // Never destroyed: threads may still log while the program exits.
  static auto* log = new TServerLog;
  return *log;
}

void Log(int level, std::string_view text) {
  if (text.data() == nullptr) return;
  Notify(level, text);
  ServerLog().Log(level, text);
}

void LogF(int level, const char* fmt, ...) {
  if (fmt == nullptr) return;
  // Formatting is most of a line's cost when it would go nowhere.
  if (!Observer().set.load(std::memory_order_acquire) && ServerLog().SkipWhileResting()) return;
  // 8 KiB of UTF-8 always holds more than the 2000 UTF-16 units a datagram keeps.
  char buf[8192];
  va_list ap;
  va_start(ap, fmt);
  int len = std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (len < 0) return;
  std::size_t size = static_cast<std::size_t>(len) < sizeof buf ? static_cast<std::size_t>(len) : sizeof buf - 1;
  Log(level, std::string_view(buf, size));
}

void SetLogObserver(LogObserver observer) {
  ObserverState& s = Observer();
  std::lock_guard<std::mutex> lock(s.dataMutex);
  s.observer = observer ? std::make_shared<LogObserver>(std::move(observer)) : nullptr;
  s.set.store(s.observer != nullptr, std::memory_order_release);
}

std::int64_t LocalMsSince1899() {
  using namespace std::chrono;
  const std::int64_t ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  std::int64_t secs = ms / 1000;
  std::int64_t msPart = ms % 1000;
  if (msPart < 0) {
    msPart += 1000;
    --secs;
  }
  const auto t = static_cast<std::time_t>(secs);
  std::tm lt{};
#ifdef _WIN32
  localtime_s(&lt, &t);
#else
  localtime_r(&t, &lt);
#endif
  constexpr std::int64_t kDays1899To1970 = 25569;
  const std::int64_t days = DaysFromCivil(lt.tm_year + 1900, static_cast<unsigned>(lt.tm_mon + 1),
                                          static_cast<unsigned>(lt.tm_mday)) + kDays1899To1970;
  const std::int64_t secOfDay = lt.tm_hour * 3600 + lt.tm_min * 60 + lt.tm_sec;
  return days * 86400000 + secOfDay * 1000 + msPart;
}

}  // namespace murvik
