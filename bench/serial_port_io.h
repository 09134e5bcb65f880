#pragma once
// The PLC program's side of the serial benchmark: a visible port opened raw and non-blocking,
// and writes and reads that always end by a deadline.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "serial_procs.h"

namespace murvik::bench {

using Bytes = std::vector<std::uint8_t>;

// Above the download mode's one-second retransmission.
constexpr int kRoundTripLimitMs = 3000;

inline bool OpenRaw(const std::string& path, int* fd, std::string* error) {
  *fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (*fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  termios t{};
  if (tcgetattr(*fd, &t) != 0) {
    *error = path + ": not a terminal";
    return false;
  }
  cfmakeraw(&t);
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(*fd, TCSANOW, &t) != 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

// Reads and forgets until the port has been quiet for quietMs (at most 5 s).
inline void Drain(int fd, int quietMs) {
  const auto limit = Clock::now() + std::chrono::seconds(5);
  auto quietUntil = Clock::now() + std::chrono::milliseconds(quietMs);
  std::uint8_t buf[4096];
  while (!g_stop && Clock::now() < quietUntil && Clock::now() < limit) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, PollMs(quietUntil)) > 0 && read(fd, buf, sizeof buf) > 0)
      quietUntil = Clock::now() + std::chrono::milliseconds(quietMs);
  }
}

inline bool WriteAll(int fd, const std::uint8_t* data, std::size_t size, Clock::time_point deadline) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n > 0) {
      data += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (g_stop || Clock::now() >= deadline) return false;
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, PollMs(deadline));
  }
  return true;
}

inline bool ReadExactly(int fd, std::uint8_t* out, std::size_t size, Clock::time_point deadline) {
  while (size > 0) {
    ssize_t n = read(fd, out, size);
    if (n > 0) {
      out += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (g_stop || Clock::now() >= deadline) return false;
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, PollMs(deadline));
  }
  return true;
}

// One chunk there and back within limitMs; answers whether the same bytes came back.
inline bool RoundTrip(int fd, const Bytes& chunk, int limitMs) {
  Bytes back(chunk.size());
  const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  return WriteAll(fd, chunk.data(), chunk.size(), deadline) && ReadExactly(fd, back.data(), back.size(), deadline) &&
         back == chunk;
}

// A path to measure: the visible end a PLC program would open, the processes carrying its
// bytes, and optional counters of the far end (cumulative, as name and value).
struct Path {
  std::string name;
  int fd = -1;
  std::vector<Proc> procs;
  std::function<std::vector<std::pair<std::string, long long>>()> farCounters;
};

// Waits until a probe byte comes back (the channel may still be configuring), then checks that
// chunks of several sizes return intact.
inline bool CheckEcho(const Path& path, int waitMs, std::string* error) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  bool alive = false;
  while (!alive && !g_stop && Clock::now() < deadline) alive = RoundTrip(path.fd, Bytes{0x55}, 300);
  if (!alive) {
    *error = path.name + ": no echo within " + std::to_string(waitMs) + " ms";
    return false;
  }
  Drain(path.fd, 300);  // late echoes of earlier probes
  for (std::size_t size : {1, 64, 512, 513, 2000}) {
    Bytes chunk(size);
    for (std::size_t i = 0; i < size; ++i) chunk[i] = static_cast<std::uint8_t>(i * 13 + size);
    if (!RoundTrip(path.fd, chunk, kRoundTripLimitMs)) {
      *error = path.name + ": a chunk of " + std::to_string(size) + " bytes did not come back intact";
      return false;
    }
  }
  return true;
}

}  // namespace murvik::bench
