#pragma once
// The channel of the module's Ethernet port: gives the module port its address plan, learns its
// MAC, sets up the local TAP adapter with it, and carries Ethernet frames both ways.
#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "config/record_items.h"
#include "tunnel/chanel.h"

namespace murvik {

// Addresses in network byte order.
struct NetPlan {
  std::uint32_t IP;
  std::uint32_t NETMASK;
  std::uint32_t IPMIN;
  std::uint32_t IPMAX;
  std::uint32_t selectedDeviceIp;  // used when hasSelectedDevice
  bool hasSelectedDevice;
};
// Whether a frame to destination d passes the plan.
bool NetFilterPasses(const NetPlan& plan, std::uint32_t d);

class ITapDevice;

class TNetChanel : public TChanel {
 public:
  TNetChanel();
  ~TNetChanel() override;

  bool Open(TClient* session) override;
  bool Close() override;
  void Reset() override;
  bool IsReady() override { return configState_.load() == 3; }
  void OnData(std::uint8_t* packet, std::size_t size) override;
  void OnCommandAck(const std::uint8_t* packet, std::size_t size) override;
  void OnTimer() override;
  bool CopySettingsTo(TChanel* target) const override;
  // Whether the channel lets destination d (network byte order) through.
  bool Filter(std::uint32_t d) const;
  // The selected device, or nullptr when none (or when the number lies outside the list).
  const TNetDevice* SelectedDevice() const;

  // One Ethernet frame the PC sent through the adapter (the adapter's reader thread).
  void FrameFromAdapter(const std::uint8_t* frame, std::size_t count);
  // The SET_IP / GET_PORT_INFO handshake step of the 100 ms tick.
  void ConfigeChanel();
  int ConfigState() const { return configState_.load(); }
  const std::array<std::uint8_t, 6>& ModuleMac() const { return moduleMac_; }

  std::string NETNAME;
  std::uint32_t IP;
  std::uint32_t NETMASK;
  std::uint32_t IPMIN;
  std::uint32_t IPMAX;
  std::vector<std::unique_ptr<TNetDevice>> devices;
  std::int32_t selectedDevice = 0;  // 1-based; 0 = none

  // The value this side puts into NET_DATA's port field.
  static constexpr std::uint16_t kPortField = 0;

 private:
  void SetUpAdapter(const std::array<std::uint8_t, 6>& mac);
  void SendConfig(const std::vector<std::uint8_t>& packet);

  // 0 idle, 1 SET_IP sent, 2 GET_PORT_INFO sent, 3 online; written on the loop only.
  std::atomic<int> configState_{0};
  int configAttempts_ = 0;
  std::uint32_t lastConfigSend_ = 0;
  std::array<std::uint8_t, 6> moduleMac_{};
  std::unique_ptr<ITapDevice> adapter_;
};

}  // namespace murvik
