#pragma once
// The local TAP adapter as a network channel uses it, and the adapter control the channel needs
// from the device manager. Both sit behind interfaces so the channel runs against fakes in tests.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace murvik {

class ITapDevice {
 public:
  using Receiver = std::function<void(const std::uint8_t* frame, std::size_t count)>;
  virtual ~ITapDevice() = default;
  // Settings, applied while the device is closed. Addresses in network byte order.
  virtual bool SetIpAddress(std::uint32_t address, std::uint32_t mask) = 0;
  virtual bool SetMtu(int mtu) = 0;
  // Twelve hex digits ("001A2B3C4D5E"); nullptr removes the setting.
  virtual bool SetMacAddress(const std::string* text) = 0;
  // Attaches, switches the carrier on and starts delivering frames to the receiver.
  virtual bool Open() = 0;
  virtual bool Write(const std::uint8_t* frame, std::size_t count) = 0;
  // Stops the reader thread before it returns; true also when not open.
  virtual bool Close() = 0;
};

struct TapDeviceRequest {
  std::string adapterName;  // the adapter's description, as the channel stores it
  ITapDevice::Receiver receiver;
};

// Makes the adapter object of a channel; nullptr when this build has none.
using TapDeviceFactory = std::function<std::unique_ptr<ITapDevice>(const TapDeviceRequest&)>;
TapDeviceFactory& TapDevices();

// What the device manager does for a network channel, by adapter description.
class IAdapterControl {
 public:
  virtual ~IAdapterControl() = default;
  virtual bool AdapterExists(const std::string& description) = 0;
  virtual bool ConnectAdapter(const std::string& description) = 0;
  virtual bool DisconnectAdapter(const std::string& description) = 0;
  virtual void EnableAdapter(const std::string& description) = 0;
  virtual void DisableAdapter(const std::string& description) = 0;
};

}  // namespace murvik
