#pragma once
// Debug lines as UDP datagrams to the local log viewer (127.0.0.1:910). Nothing is written to a
// file; with no viewer listening the lines are simply lost. Since per-frame lines sit on the data
// paths, a refused datagram rests the sender for a second: lines meanwhile only take their
// sequence number, so a viewer that starts listening sees lines again within a second.
#include <cstdint>
#include <functional>
#include <mutex>
#include <string_view>

#include "platform/net.h"

namespace murvik {

class TServerLog {
 public:
  static constexpr std::uint16_t kDefaultPort = 910;
  static constexpr std::uint16_t kSourceId = 65000;
  static constexpr std::size_t kMaxChars = 2000;

  TServerLog() = default;
  // Opens the sender towards 127.0.0.1:port; answers whether it is ready.
  bool Open(std::uint16_t sourceId, std::uint16_t port = kDefaultPort);
  void Close();
  bool Ready() const;
  // Builds and sends one datagram; concurrent callers are serialised.
  void Log(int level, std::string_view text);
  // While the sender rests, counts a line without building it and answers true.
  bool SkipWhileResting();
  std::uint32_t Counter() const;

 private:
  mutable std::mutex mutex_;
  platform::UdpSocket socket_;
  platform::SockAddrV4 target_{};
  std::uint16_t sourceId_ = 0;
  std::uint32_t counter_ = 0;
  bool ready_ = false;
  std::int64_t restUntilMs_ = 0;  // steady clock
  unsigned char buffer_[4096 + 64] = {};
};

TServerLog& ServerLog();

// Log(level, text): level 0 serial frames, 1 Ethernet frames, 3 everything else.
void Log(int level, std::string_view text);
// printf-style convenience; the formatted text is cut like any other.
void LogF(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Sees every Log call (whether or not the sender is open); for tests and for murvikd --verbose.
using LogObserver = std::function<void(int level, std::string_view text)>;
void SetLogObserver(LogObserver observer);

// Local date and time as whole milliseconds since 1899-12-30 00:00.
std::int64_t LocalMsSince1899();

}  // namespace murvik
