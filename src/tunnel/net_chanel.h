#pragma once
// The channel of the module's Ethernet port. Its settings and its address filter live here;
// carrying frames follows with the local TAP adapter.
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

class TNetChanel : public TChanel {
 public:
  TNetChanel();

  // The device manager knows no TAP adapter in this build yet: the open fails with the user's message.
  bool Open(TClient* session) override;
  bool Close() override;
  bool CopySettingsTo(TChanel* target) const override;
  // Whether the channel lets destination d (network byte order) through.
  bool Filter(std::uint32_t d) const;
  // The selected device, or nullptr when none (or when the number lies outside the list).
  const TNetDevice* SelectedDevice() const;

  std::string NETNAME;
  std::uint32_t IP;
  std::uint32_t NETMASK;
  std::uint32_t IPMIN;
  std::uint32_t IPMAX;
  std::vector<std::unique_ptr<TNetDevice>> devices;
  std::int32_t selectedDevice = 0;  // 1-based; 0 = none
};

}  // namespace murvik
