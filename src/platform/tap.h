#pragma once
// TAP network interfaces: persistent ones the adapter tool keeps, their settings, and the
// attachment a process reads and writes Ethernet frames through. Everything that changes an
// interface needs CAP_NET_ADMIN; failures carry a text that says what is missing.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace murvik::platform {

using MacAddress = std::array<std::uint8_t, 6>;

// Whether this process may change network interfaces.
bool HasNetAdmin();
// "needs CAP_NET_ADMIN: run as root or grant it with setcap cap_net_admin+ep <program>".
std::string NetAdminMissingText();

bool InterfaceExists(const std::string& name);
// A persistent TAP interface owned by the calling user; an existing one is kept as it is.
bool CreatePersistentTap(const std::string& name, std::string* errorText);
// Ends the persistence; the interface goes away once nothing is attached to it.
bool RemovePersistentTap(const std::string& name, std::string* errorText);

// Interface settings (addresses in network byte order).
bool SetInterfaceUp(const std::string& name, bool up, std::string* errorText);
bool InterfaceIsUp(const std::string& name);
// Whether the interface has a carrier (an attachment that has not switched it off).
bool InterfaceHasCarrier(const std::string& name);
bool SetInterfaceIpv4(const std::string& name, std::uint32_t address, std::uint32_t mask, std::string* errorText);
bool SetInterfaceMtu(const std::string& name, int mtu, std::string* errorText);
bool SetInterfaceMac(const std::string& name, const MacAddress& mac, std::string* errorText);
bool GetInterfaceMac(const std::string& name, MacAddress* out);

// Sets the carrier of an interface this process is attached to. An interface nobody here is
// attached to has no carrier anyway (it follows the attachment), so that answers true.
bool SetAttachedCarrier(const std::string& name, bool on, std::string* errorText);

// One attachment to a TAP interface: frames without packet information header.
class TapAttachment {
 public:
  TapAttachment() = default;
  ~TapAttachment();
  TapAttachment(const TapAttachment&) = delete;
  TapAttachment& operator=(const TapAttachment&) = delete;

  // Attaches to an existing interface; with mayCreate a missing one is made (and goes away with
  // the attachment unless it is persistent).
  bool Attach(const std::string& name, bool mayCreate, std::string* errorText);
  void Detach();
  bool IsAttached() const { return fd_ >= 0; }
  const std::string& Name() const { return name_; }
  bool SetCarrier(bool on, std::string* errorText);

  // Blocks until a frame arrives (answers its size) or stopFd is readable (answers 0); -1 on
  // failure.
  long Read(void* buffer, std::size_t size, int stopFd);
  // One frame; answers the bytes taken or -1.
  long Write(const void* frame, std::size_t size);

 private:
  int fd_ = -1;
  std::string name_;
};

}  // namespace murvik::platform
