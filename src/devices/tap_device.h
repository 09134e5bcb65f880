#pragma once
// The program's handle on one local TAP adapter: its settings act on the Linux interface, Open
// attaches to it and starts a reader thread that hands every frame to the network channel.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "devices/tap_port.h"
#include "platform/net.h"
#include "platform/tap.h"

namespace murvik {

class TTapDevice : public ITapDevice {
 public:
  // The interface behind an adapter description; "" when the manager does not list it.
  using InterfaceLookup = std::function<std::string(const std::string& description)>;

  TTapDevice(std::string adapterName, Receiver receiver, InterfaceLookup lookup);
  ~TTapDevice() override;

  bool SetIpAddress(std::uint32_t address, std::uint32_t mask) override;
  bool SetMtu(int mtu) override;
  bool SetMacAddress(const std::string* text) override;
  bool Open() override;
  bool Write(const std::uint8_t* frame, std::size_t count) override;
  bool Close() override;

  static constexpr std::size_t kFrameBuffer = 1560;

 private:
  std::string Interface() const;
  // Logs a failed operation; the first one of each object also reaches the user, since a
  // missing capability would otherwise leave the adapter silently unconfigured.
  bool Report(const std::string& errorText);
  void ReaderLoop();

  const std::string adapterName_;
  Receiver receiver_;
  InterfaceLookup lookup_;
  platform::TapAttachment tap_;
  std::unique_ptr<platform::StopEvent> stop_;
  std::thread reader_;
  std::atomic<bool> open_{false};
  // Writes come from the loop and from the session's receive thread; Open and Close swap the
  // attachment under the same lock, so no write lands on a descriptor being closed.
  std::mutex writeMutex_;
  bool reported_ = false;
};

}  // namespace murvik
