#include "tunnel/net_chanel.h"

#include <cstdio>
#include <cstring>

#include "devices/zn_common_fun.h"
#include "platform/net.h"

namespace murvik {

namespace {
// Range order: the fourth octet is the most significant, the first the least.
std::uint32_t RangeKey(std::uint32_t addr) {
  std::uint8_t b[4];
  std::memcpy(b, &addr, 4);
  return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
         (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}
}  // namespace

bool NetFilterPasses(const NetPlan& p, std::uint32_t d) {
  if (p.NETMASK != 0xFFFFFFFFu && (d | p.NETMASK) == 0xFFFFFFFFu) return true;
  if (p.hasSelectedDevice) return d == p.selectedDeviceIp;
  if ((d & p.NETMASK) != (p.IP & p.NETMASK)) return false;
  if (p.IPMIN == 0 && p.IPMAX == 0) return true;
  std::uint32_t lo = RangeKey(p.IPMIN), hi = RangeKey(p.IPMAX), k = RangeKey(d);
  if (lo > hi) std::swap(lo, hi);
  return k >= lo && k <= hi;
}

TNetChanel::TNetChanel()
    : TChanel(kNetwork),
      IP(platform::Ipv4FromText("192.168.1.1")),
      NETMASK(platform::Ipv4FromText("255.255.255.0")),
      IPMIN(platform::Ipv4FromText("192.168.1.10")),
      IPMAX(platform::Ipv4FromText("192.168.1.10")) {
  USE = 1;
}

bool TNetChanel::Open(TClient*) {
  char text[512];
  std::snprintf(text, sizeof text, "未找到网卡\"%s\"", NETNAME.c_str());
  ShowError(text);
  return false;
}

bool TNetChanel::Close() {
  open_ = false;
  session_.store(nullptr);
  return true;
}

const TNetDevice* TNetChanel::SelectedDevice() const {
  if (selectedDevice < 1 || static_cast<std::size_t>(selectedDevice) > devices.size()) return nullptr;
  return devices[static_cast<std::size_t>(selectedDevice) - 1].get();
}

bool TNetChanel::Filter(std::uint32_t d) const {
  NetPlan plan{IP, NETMASK, IPMIN, IPMAX, 0, selectedDevice >= 1};
  if (const TNetDevice* dev = SelectedDevice()) plan.selectedDeviceIp = dev->IP;
  // A selection that names no device lets nothing through but broadcasts.
  else if (plan.hasSelectedDevice) plan.selectedDeviceIp = 0;
  return NetFilterPasses(plan, d);
}

bool TNetChanel::CopySettingsTo(TChanel* target) const {
  auto* t = dynamic_cast<TNetChanel*>(target);
  if (t == nullptr) return false;
  t->USE = USE;
  t->IP = IP;
  t->NETMASK = NETMASK;
  t->IPMIN = IPMIN;
  t->IPMAX = IPMAX;
  t->selectedDevice = selectedDevice;
  t->devices.clear();
  for (const auto& d : devices) t->devices.push_back(std::make_unique<TNetDevice>(*d));
  return true;
}

}  // namespace murvik
