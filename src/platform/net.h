#pragma once
// IPv4 UDP sockets and name resolution. Addresses are in network byte order (first octet first
// in memory), ports in host order.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace murvik::platform {

struct SockAddrV4 {
  std::uint32_t addr = 0;  // network byte order
  std::uint16_t port = 0;  // host byte order
  bool operator==(const SockAddrV4&) const = default;
};

// The first IPv4 address of the host, or nullopt. Names longer than 127 bytes fail.
std::optional<std::uint32_t> ResolveIPv4(const std::string& host);
// Dotted decimal text of an address in network byte order ("192.168.1.1").
std::string Ipv4ToText(std::uint32_t addr);
// inet_addr rules: dotted decimal (and its short forms); anything else gives 255.255.255.255.
std::uint32_t Ipv4FromText(const std::string& text);
// Strict dotted-quad parse for user input; nullopt when malformed.
std::optional<std::uint32_t> ParseIpv4(const std::string& text);

class UdpSocket {
 public:
  UdpSocket() = default;
  ~UdpSocket();
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // Creates the socket; false with errno set on failure.
  bool Open();
  bool Bind(std::uint32_t addr, std::uint16_t port);
  bool IsOpen() const { return fd_ >= 0; }
  void Close();
  int Fd() const { return fd_; }
  std::uint16_t LocalPort() const;
  bool SetBroadcast(bool on);
  bool SetReceiveBuffer(int bytes);

  // One datagram; answers bytes sent or -1.
  long SendTo(const SockAddrV4& to, const void* data, std::size_t size);
  // Fixes the peer: Send then needs no address, and a peer that refused an earlier datagram
  // shows as ECONNREFUSED on a later Send.
  bool Connect(const SockAddrV4& to);
  long Send(const void* data, std::size_t size);
  // Non-blocking receive; answers bytes, 0 for an empty datagram, -1 when none is waiting or on
  // error (errno tells which). A datagram larger than size is cut and reported in *truncated.
  long TryReceive(void* buf, std::size_t size, SockAddrV4* from, bool* truncated = nullptr);
  // Blocks until a datagram arrives, stopFd becomes readable (answers -2) or timeoutMs passes
  // (-1 = no limit; answers -1 on time-out or error).
  long Receive(void* buf, std::size_t size, SockAddrV4* from, int stopFd, int timeoutMs = -1,
               bool* truncated = nullptr);
  // Whether a datagram is waiting (zero-timeout check).
  bool Readable() const;

 private:
  int fd_ = -1;
};

// An eventfd used to stop a thread blocked in poll().
class StopEvent {
 public:
  StopEvent();
  ~StopEvent();
  StopEvent(const StopEvent&) = delete;
  StopEvent& operator=(const StopEvent&) = delete;
  void Signal();
  void Clear();
  int Fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// Last system error number (errno) as a decimal for log lines.
int LastSystemError();

}  // namespace murvik::platform
