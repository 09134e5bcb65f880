#include "devices/tap_device.h"

#include <poll.h>

#include "devices/zn_common_fun.h"
#include "diagnostics/server_log.h"
#include "tunnel/ethernet_frame.h"

namespace murvik {

TTapDevice::TTapDevice(std::string adapterName, Receiver receiver, InterfaceLookup lookup)
    : adapterName_(std::move(adapterName)), receiver_(std::move(receiver)), lookup_(std::move(lookup)) {}

TTapDevice::~TTapDevice() { Close(); }

std::string TTapDevice::Interface() const { return lookup_ ? lookup_(adapterName_) : std::string(); }

bool TTapDevice::Report(const std::string& errorText) {
  LogF(3, "TTapDevice(%s): %s\r\n", adapterName_.c_str(), errorText.c_str());
  if (!reported_) {
    reported_ = true;
    ShowError("Adapter \"" + adapterName_ + "\": " + errorText);
  }
  return false;
}

bool TTapDevice::SetIpAddress(std::uint32_t address, std::uint32_t mask) {
  const std::string name = Interface();
  if (name.empty()) return false;
  std::string error;
  return platform::SetInterfaceIpv4(name, address, mask, &error) || Report(error);
}

bool TTapDevice::SetMtu(int mtu) {
  const std::string name = Interface();
  if (name.empty()) return false;
  std::string error;
  return platform::SetInterfaceMtu(name, mtu, &error) || Report(error);
}

bool TTapDevice::SetMacAddress(const std::string* text) {
  const std::string name = Interface();
  if (name.empty()) return false;
  if (text == nullptr) return true;  // a Linux interface always has an address: nothing to remove
  auto mac = ethernet::ParseMacText(*text);
  if (!mac) return Report("bad MAC address text \"" + *text + "\"");
  std::string error;
  return platform::SetInterfaceMac(name, *mac, &error) || Report(error);
}

bool TTapDevice::Open() {
  if (open_) return true;
  const std::string name = Interface();
  if (name.empty()) return false;
  LogF(3, "TTapDevice::Open(), device_path=%s", ("/dev/net/tun:" + name).c_str());
  std::string error;
  std::unique_lock lock(writeMutex_);
  if (!tap_.Attach(name, false, &error)) {
    lock.unlock();
    return Report(error);
  }
  if (!tap_.SetCarrier(true, &error)) {
    tap_.Detach();
    lock.unlock();
    return Report(error);
  }
  try {
    stop_ = std::make_unique<platform::StopEvent>();
    open_ = true;
    reader_ = std::thread([this] { ReaderLoop(); });
  } catch (const std::exception& e) {
    open_ = false;
    stop_.reset();
    tap_.Detach();
    lock.unlock();
    return Report(e.what());
  }
  return true;
}

void TTapDevice::ReaderLoop() {
  std::uint8_t frame[kFrameBuffer];
  const int stopFd = stop_->Fd();
  while (open_) {
    long n = tap_.Read(frame, sizeof frame, stopFd);
    if (n == 0) break;
    if (n < 0) {
      // The interface went away under us: try again at a calm pace until Close.
      pollfd p{stopFd, POLLIN, 0};
      if (::poll(&p, 1, 200) > 0) break;
      continue;
    }
    if (receiver_) receiver_(frame, static_cast<std::size_t>(n));
  }
}

bool TTapDevice::Write(const std::uint8_t* frame, std::size_t count) {
  std::lock_guard lock(writeMutex_);
  if (!open_) return false;
  return tap_.Write(frame, count) == static_cast<long>(count);
}

bool TTapDevice::Close() {
  if (!open_.exchange(false)) return true;
  if (stop_) stop_->Signal();
  if (reader_.joinable()) reader_.join();
  stop_.reset();
  std::lock_guard lock(writeMutex_);
  tap_.Detach();
  return true;
}

}  // namespace murvik
