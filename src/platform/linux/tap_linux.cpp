#include "platform/tap.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/if_tun.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

namespace murvik::platform {

namespace {

std::mutex attachedMutex;
std::map<std::string, int>& Attached() {
  static std::map<std::string, int> attached;  // interface name -> attached descriptor
  return attached;
}

bool Fail(std::string* errorText, const std::string& what, const std::string& name, int err) {
  if (errorText != nullptr) {
    *errorText = what + " " + name + ": " + std::strerror(err);
    if (err == EPERM || err == EACCES) *errorText += " (" + NetAdminMissingText() + ")";
  }
  return false;
}

bool FillName(ifreq& ifr, const std::string& name, std::string* errorText) {
  std::memset(&ifr, 0, sizeof ifr);
  if (name.empty() || name.size() >= IFNAMSIZ || name.find('/') != std::string::npos) {
    if (errorText != nullptr) *errorText = "bad interface name \"" + name + "\"";
    return false;
  }
  std::memcpy(ifr.ifr_name, name.data(), name.size());
  return true;
}

// One ioctl on an interface through a throw-away socket.
bool InterfaceIoctl(unsigned long request, ifreq& ifr, const char* what, std::string* errorText) {
  int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return Fail(errorText, what, ifr.ifr_name, errno);
  int rc = ::ioctl(s, request, &ifr);
  int err = errno;
  ::close(s);
  if (rc < 0) return Fail(errorText, what, ifr.ifr_name, err);
  return true;
}

int OpenTun(std::string* errorText) {
  int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) Fail(errorText, "cannot open", "/dev/net/tun", errno);
  return fd;
}

// TUNSETIFF for a TAP interface on fd; the kernel makes the interface when it does not exist.
bool SetIff(int fd, const std::string& name, std::string* errorText) {
  ifreq ifr;
  if (!FillName(ifr, name, errorText)) return false;
  ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
  if (::ioctl(fd, TUNSETIFF, &ifr) < 0) {
    const int err = errno;
    if (err == EBUSY) {
      if (errorText != nullptr) *errorText = "TAP interface " + name + " is in use by another program";
      return false;
    }
    return Fail(errorText, "cannot attach to TAP interface", name, err);
  }
  return true;
}

}  // namespace

bool HasNetAdmin() {
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  header.pid = 0;
  __user_cap_data_struct data[2]{};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  return (data[CAP_NET_ADMIN / 32].effective & (1u << (CAP_NET_ADMIN % 32))) != 0;
}

std::string NetAdminMissingText() {
  return "needs CAP_NET_ADMIN: run as root or grant it with setcap cap_net_admin+ep <program>";
}

bool InterfaceExists(const std::string& name) { return !name.empty() && ::if_nametoindex(name.c_str()) != 0; }

bool CreatePersistentTap(const std::string& name, std::string* errorText) {
  if (InterfaceExists(name)) return true;
  int fd = OpenTun(errorText);
  if (fd < 0) return false;
  bool ok = SetIff(fd, name, errorText);
  if (ok && ::ioctl(fd, TUNSETOWNER, static_cast<unsigned long>(::getuid())) < 0)
    ok = Fail(errorText, "cannot set the owner of", name, errno);
  if (ok && ::ioctl(fd, TUNSETPERSIST, 1) < 0) ok = Fail(errorText, "cannot make persistent:", name, errno);
  ::close(fd);
  return ok;
}

bool RemovePersistentTap(const std::string& name, std::string* errorText) {
  if (!InterfaceExists(name)) return true;
  int fd = OpenTun(errorText);
  if (fd < 0) return false;
  bool ok = SetIff(fd, name, errorText);
  if (ok && ::ioctl(fd, TUNSETPERSIST, 0) < 0) ok = Fail(errorText, "cannot remove", name, errno);
  ::close(fd);
  return ok;
}

bool SetInterfaceUp(const std::string& name, bool up, std::string* errorText) {
  ifreq ifr;
  if (!FillName(ifr, name, errorText)) return false;
  if (!InterfaceIoctl(SIOCGIFFLAGS, ifr, "cannot read the flags of", errorText)) return false;
  if (up)
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
  else
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags & ~IFF_UP);
  return InterfaceIoctl(SIOCSIFFLAGS, ifr, up ? "cannot bring up" : "cannot bring down", errorText);
}

bool InterfaceIsUp(const std::string& name) {
  ifreq ifr;
  if (!FillName(ifr, name, nullptr)) return false;
  return InterfaceIoctl(SIOCGIFFLAGS, ifr, "", nullptr) && (ifr.ifr_flags & IFF_UP) != 0;
}

bool InterfaceHasCarrier(const std::string& name) {
  // The carrier as the kernel holds it now; the interface flags follow it only later.
  const unsigned index = name.empty() ? 0 : ::if_nametoindex(name.c_str());
  if (index == 0) return false;
  int s = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (s < 0) return false;
  struct {
    nlmsghdr header;
    ifinfomsg info;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = RTM_GETLINK;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.info.ifi_family = AF_UNSPEC;
  request.info.ifi_index = static_cast<int>(index);
  bool carrier = false;
  alignas(nlmsghdr) char reply[8192];
  if (::send(s, &request, sizeof request, 0) == static_cast<long>(sizeof request)) {
    long n = ::recv(s, reply, sizeof reply, 0);
    auto* h = reinterpret_cast<nlmsghdr*>(reply);
    if (n > 0 && NLMSG_OK(h, static_cast<unsigned>(n)) && h->nlmsg_type == RTM_NEWLINK) {
      auto* info = static_cast<ifinfomsg*>(NLMSG_DATA(h));
      int left = static_cast<int>(IFLA_PAYLOAD(h));
      for (auto* a = IFLA_RTA(info); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
        if (a->rta_type == IFLA_CARRIER && RTA_PAYLOAD(a) >= 1) carrier = *static_cast<std::uint8_t*>(RTA_DATA(a)) != 0;
      }
    }
  }
  ::close(s);
  return carrier;
}

bool SetInterfaceIpv4(const std::string& name, std::uint32_t address, std::uint32_t mask, std::string* errorText) {
  ifreq ifr;
  if (!FillName(ifr, name, errorText)) return false;
  auto* sin = reinterpret_cast<sockaddr_in*>(&ifr.ifr_addr);
  sin->sin_family = AF_INET;
  sin->sin_addr.s_addr = address;
  if (!InterfaceIoctl(SIOCSIFADDR, ifr, "cannot set the address of", errorText)) return false;
  sin->sin_addr.s_addr = mask;
  return InterfaceIoctl(SIOCSIFNETMASK, ifr, "cannot set the mask of", errorText);
}

bool SetInterfaceMtu(const std::string& name, int mtu, std::string* errorText) {
  ifreq ifr;
  if (!FillName(ifr, name, errorText)) return false;
  ifr.ifr_mtu = mtu;
  return InterfaceIoctl(SIOCSIFMTU, ifr, "cannot set the MTU of", errorText);
}

bool SetInterfaceMac(const std::string& name, const MacAddress& mac, std::string* errorText) {
  ifreq ifr;
  if (!FillName(ifr, name, errorText)) return false;
  ifr.ifr_hwaddr.sa_family = ARPHRD_ETHER;
  std::memcpy(ifr.ifr_hwaddr.sa_data, mac.data(), mac.size());
  return InterfaceIoctl(SIOCSIFHWADDR, ifr, "cannot set the MAC address of", errorText);
}

bool GetInterfaceMac(const std::string& name, MacAddress* out) {
  ifreq ifr;
  if (!FillName(ifr, name, nullptr) || !InterfaceIoctl(SIOCGIFHWADDR, ifr, "", nullptr)) return false;
  std::memcpy(out->data(), ifr.ifr_hwaddr.sa_data, out->size());
  return true;
}

bool SetAttachedCarrier(const std::string& name, bool on, std::string* errorText) {
  std::lock_guard lock(attachedMutex);
  auto it = Attached().find(name);
  if (it == Attached().end()) return true;
  int value = on ? 1 : 0;
  if (::ioctl(it->second, TUNSETCARRIER, &value) < 0) return Fail(errorText, "cannot switch the carrier of", name, errno);
  return true;
}

TapAttachment::~TapAttachment() { Detach(); }

bool TapAttachment::Attach(const std::string& name, bool mayCreate, std::string* errorText) {
  Detach();
  if (!mayCreate && !InterfaceExists(name)) {
    if (errorText != nullptr) *errorText = "no TAP interface " + name;
    return false;
  }
  int fd = OpenTun(errorText);
  if (fd < 0) return false;
  if (!SetIff(fd, name, errorText)) {
    ::close(fd);
    return false;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::lock_guard lock(attachedMutex);
  fd_ = fd;
  name_ = name;
  Attached()[name] = fd;
  return true;
}

void TapAttachment::Detach() {
  if (fd_ < 0) return;
  {
    std::lock_guard lock(attachedMutex);
    auto it = Attached().find(name_);
    if (it != Attached().end() && it->second == fd_) Attached().erase(it);
  }
  ::close(fd_);
  fd_ = -1;
}

bool TapAttachment::SetCarrier(bool on, std::string* errorText) {
  if (fd_ < 0) return false;
  int value = on ? 1 : 0;
  if (::ioctl(fd_, TUNSETCARRIER, &value) < 0) return Fail(errorText, "cannot switch the carrier of", name_, errno);
  return true;
}

long TapAttachment::Read(void* buffer, std::size_t size, int stopFd) {
  for (;;) {
    long n = ::read(fd_, buffer, size);
    if (n > 0) return n;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    pollfd fds[2] = {{fd_, POLLIN, 0}, {stopFd, POLLIN, 0}};
    int rc = ::poll(fds, stopFd >= 0 ? 2 : 1, -1);
    if (rc < 0 && errno != EINTR) return -1;
    if (stopFd >= 0 && (fds[1].revents & POLLIN) != 0) return 0;
    if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0) return -1;
  }
}

long TapAttachment::Write(const void* frame, std::size_t size) {
  for (;;) {
    long n = ::write(fd_, frame, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

}  // namespace murvik::platform
