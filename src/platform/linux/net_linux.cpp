#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/net.h"

namespace murvik::platform {

namespace {
sockaddr_in ToSockaddr(const SockAddrV4& a) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = a.addr;
  sa.sin_port = htons(a.port);
  return sa;
}
SockAddrV4 FromSockaddr(const sockaddr_in& sa) { return SockAddrV4{sa.sin_addr.s_addr, ntohs(sa.sin_port)}; }
}  // namespace

std::optional<std::uint32_t> ResolveIPv4(const std::string& host) {
  if (host.empty() || host.size() > 127) return std::nullopt;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) return std::nullopt;
  std::optional<std::uint32_t> out;
  for (addrinfo* p = res; p != nullptr; p = p->ai_next) {
    if (p->ai_family == AF_INET) {
      out = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
      break;
    }
  }
  freeaddrinfo(res);
  return out;
}

std::string Ipv4ToText(std::uint32_t addr) {
  in_addr a{};
  a.s_addr = addr;
  char buf[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

std::uint32_t Ipv4FromText(const std::string& text) {
  in_addr a{};
  if (inet_aton(text.c_str(), &a) == 0) return 0xFFFFFFFFu;
  return a.s_addr;
}

std::optional<std::uint32_t> ParseIpv4(const std::string& text) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return std::nullopt;
  return a.s_addr;
}

UdpSocket::~UdpSocket() { Close(); }

bool UdpSocket::Open() {
  Close();
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  return fd_ >= 0;
}

bool UdpSocket::Bind(std::uint32_t addr, std::uint16_t port) {
  sockaddr_in sa = ToSockaddr({addr, port});
  return bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

void UdpSocket::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

std::uint16_t UdpSocket::LocalPort() const {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

bool UdpSocket::SetBroadcast(bool on) {
  int v = on ? 1 : 0;
  return setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &v, sizeof v) == 0;
}

bool UdpSocket::SetReceiveBuffer(int bytes) {
  return setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

long UdpSocket::SendTo(const SockAddrV4& to, const void* data, std::size_t size) {
  if (fd_ < 0) return -1;
  sockaddr_in sa = ToSockaddr(to);
  return sendto(fd_, data, size, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
}

bool UdpSocket::Connect(const SockAddrV4& to) {
  if (fd_ < 0) return false;
  sockaddr_in sa = ToSockaddr(to);
  return connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

long UdpSocket::Send(const void* data, std::size_t size) {
  if (fd_ < 0) return -1;
  return send(fd_, data, size, MSG_NOSIGNAL);
}

long UdpSocket::TryReceive(void* buf, std::size_t size, SockAddrV4* from, bool* truncated) {
  if (fd_ < 0) return -1;
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  // MSG_TRUNC answers the datagram's real size, so a cut one can be told apart.
  ssize_t n = recvfrom(fd_, buf, size, MSG_DONTWAIT | MSG_TRUNC, reinterpret_cast<sockaddr*>(&sa), &len);
  if (n < 0) return -1;
  if (from) *from = FromSockaddr(sa);
  if (truncated) *truncated = static_cast<std::size_t>(n) > size;
  return std::min<ssize_t>(n, static_cast<ssize_t>(size));
}

long UdpSocket::Receive(void* buf, std::size_t size, SockAddrV4* from, int stopFd, int timeoutMs, bool* truncated) {
  if (fd_ < 0) return -1;
  pollfd fds[2] = {{fd_, POLLIN, 0}, {stopFd, POLLIN, 0}};
  int nfds = stopFd >= 0 ? 2 : 1;
  for (;;) {
    int r = poll(fds, nfds, timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return -1;
    if (nfds == 2 && (fds[1].revents & POLLIN)) return -2;
    if (fds[0].revents & (POLLIN | POLLERR)) {
      long n = TryReceive(buf, size, from, truncated);
      if (n >= 0) return n;
      if (errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return -1;
    }
    if (fds[0].revents & (POLLNVAL | POLLHUP)) return -1;
  }
}

bool UdpSocket::Readable() const {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

StopEvent::StopEvent() {
  fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd_ < 0) throw std::runtime_error("eventfd failed");
}

StopEvent::~StopEvent() {
  if (fd_ >= 0) close(fd_);
}

void StopEvent::Signal() {
  std::uint64_t one = 1;
  ssize_t r = write(fd_, &one, sizeof one);
  (void)r;
}

void StopEvent::Clear() {
  std::uint64_t v;
  ssize_t r = read(fd_, &v, sizeof v);
  (void)r;
}

int LastSystemError() { return errno; }

}  // namespace murvik::platform
