#include "tunnel/net_chanel.h"

#include <cstdio>
#include <cstring>

#include "config/global_conf.h"
#include "devices/tap_port.h"
#include "devices/zn_common_fun.h"
#include "diagnostics/server_log.h"
#include "platform/net.h"
#include "tunnel/client.h"
#include "tunnel/ethernet_frame.h"
#include "tunnel/wire_format.h"

namespace murvik {

namespace {
constexpr std::size_t TTapFrameLimit = 1560;  // the most one adapter read delivers
int AsInt(std::uint32_t v) { return static_cast<int>(v); }

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

TNetChanel::~TNetChanel() {
  if (adapter_) adapter_->Close();
}

bool TNetChanel::Open(TClient* session) {
  open_ = false;
  IAdapterControl* control = ClientServices().adapters;
  if (control != nullptr && control->AdapterExists(NETNAME) && TapDevices()) {
    adapter_ = TapDevices()(TapDeviceRequest{
        NETNAME, [this](const std::uint8_t* frame, std::size_t count) { FrameFromAdapter(frame, count); }});
  }
  if (!adapter_) {
    char text[512];
    std::snprintf(text, sizeof text, "未找到网卡\"%s\"", NETNAME.c_str());
    ShowError(text);
    return false;
  }
  session_ = session;
  bytesFromModule = 0;
  bytesToModule = 0;
  configState_ = 0;
  configAttempts_ = 0;
  open_ = true;
  return true;
}

bool TNetChanel::Close() {
  if (!open_) return true;
  open_ = false;
  if (adapter_) {
    adapter_->Close();  // the reader thread has ended when this returns
    adapter_.reset();
  }
  session_ = nullptr;
  configState_ = 0;
  if (IAdapterControl* control = ClientServices().adapters) {
    control->DisconnectAdapter(NETNAME);
    control->DisableAdapter(NETNAME);
  }
  return true;
}

void TNetChanel::Reset() {
  configState_ = 0;
  configAttempts_ = 0;
}

void TNetChanel::OnTimer() {
  if (USE != 0 && configState_ != 3) ConfigeChanel();
}

void TNetChanel::SendConfig(const std::vector<std::uint8_t>& packet) {
  std::vector<std::uint8_t> copy = packet;
  if (TClient* s = session_.load()) s->SendToModule(copy.data(), copy.size());
}

void TNetChanel::ConfigeChanel() {
  const std::uint32_t now = ClientServices().loop->Now();
  auto due = [&] { return configAttempts_ == 0 || platform::TickDiff(now, lastConfigSend_) >= 3000; };
  switch (configState_.load()) {
    case 0:
      configAttempts_ = 0;
      configState_ = 1;
      [[fallthrough]];
    case 1:
      if (due()) {
        SendConfig(wire::EncodeNetSetIp(IP, NETMASK, IPMIN, IPMAX));
        ++configAttempts_;
        lastConfigSend_ = now;
        LogF(3, "TNetChanel::ConfigeChanel(): SET_IP time=%d\r\n", AsInt(now));
      }
      break;
    case 2:
      if (configAttempts_ >= 5) {
        configState_ = 0;  // SET_IP starts over on the next tick
        break;
      }
      if (due()) {
        SendConfig(wire::EncodeNetGetPortInfo());
        ++configAttempts_;
        lastConfigSend_ = now;
        LogF(3, "TNetChanel::ConfigeChanel(): GET_PORT_INFO time=%d\r\n", AsInt(now));
      }
      break;
    default:
      break;
  }
}

void TNetChanel::OnCommandAck(const std::uint8_t* packet, std::size_t size) {
  auto ack = wire::DecodeNetConfigAck(packet, size);
  if (!ack) return;
  if (configState_ == 1 && ack->operation == 0) {
    configAttempts_ = 0;
    configState_ = 2;
  } else if (configState_ == 2 && ack->operation == 1) {
    SetUpAdapter(ack->mac);
  }
}

void TNetChanel::SetUpAdapter(const std::array<std::uint8_t, 6>& mac) {
  moduleMac_ = mac;
  if (!adapter_) return;
  IAdapterControl* control = ClientServices().adapters;
  adapter_->Close();
  if (control != nullptr) {
    control->ConnectAdapter(NETNAME);
    control->EnableAdapter(NETNAME);
  }
  adapter_->SetIpAddress(IP, NETMASK);
  adapter_->SetMtu(GlobalConf().MTU);
  const std::string macText = ethernet::MacText(mac);
  adapter_->SetMacAddress(&macText);
  // The restart makes the new settings take effect.
  if (control != nullptr) {
    control->DisconnectAdapter(NETNAME);
    control->ConnectAdapter(NETNAME);
    control->DisableAdapter(NETNAME);
    control->EnableAdapter(NETNAME);
  }
  if (adapter_->Open()) {
    configState_ = 3;
    LogF(3, "TNetChanel: adapter %s online, MAC %s\r\n", NETNAME.c_str(), macText.c_str());
  }
}

namespace {
std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

const char* IcmpTypeName(std::uint8_t type) {
  switch (type) {
    case 0: return "ICMP_TYPE_ECHO_REPLY";
    case 3: return "ICMP_TYPE_DEST_UNREACHABLE";
    case 4: return "ICMP_TYPE_SOURCE_QUENCH";
    case 5: return "ICMP_TYPE_REDIRECT";
    case 8: return "ICMP_TYPE_ECHO_REQUEST";
    case 11: return "ICMP_TYPE_TIME_EXCEEDED";
    case 12: return "ICMP_TYPE_PARAM_PROBLEM";
    case 13: return "ICMP_TYPE_TIMESTAMP_REQUEST";
    case 14: return "ICMP_TYPE_TIMESTAMP_REPLY";
    case 15: return "ICMP_TYPE_INFO_REQUEST";
    case 16: return "ICMP_TYPE_INFO_REPLY";
    default: return "unknown";
  }
}

constexpr std::size_t kEthHeader = 14;
constexpr std::size_t kIpv4Header = 20;  // options are not looked at

void LogProtocolLine(const std::uint8_t* f, std::size_t n) {
  switch (f[kEthHeader + 9]) {
    case 1:
      if (n >= kEthHeader + kIpv4Header + 8) {
        const std::uint8_t* icmp = f + kEthHeader + kIpv4Header;
        LogF(1, "--Protocol:ICMP,type=%s, ID=%d,SeqNum=%d", IcmpTypeName(icmp[0]), Be16(icmp + 4), Be16(icmp + 6));
      }
      break;
    case 17:
      Log(1, "--Protocol:UDP");
      break;
    case 6:
      Log(1, "--Protocol:TCP");
      break;
    default:
      break;
  }
}

void LogArpLine(const std::uint8_t* f, std::size_t n) {
  if (n < kEthHeader + 28) return;
  const std::uint8_t* a = f + kEthHeader;
  const std::uint16_t op = Be16(a + 6);
  const char* opName = op == 1 ? "ARP_OPCODE_ARP_REQUEST" : op == 2 ? "ARP_OPCODE_ARP_REPLY" : "unknown";
  LogF(1, "--hrd=%d,pro=%d,op=%s,spa=%d.%d.%d.%d,tpa=%d.%d.%d.%d", Be16(a), Be16(a + 2), opName, a[14], a[15], a[16],
       a[17], a[24], a[25], a[26], a[27]);
}
}  // namespace

void TNetChanel::FrameFromAdapter(const std::uint8_t* f, std::size_t n) {
  if (configState_ != 3 || n < kEthHeader) return;
  switch (Be16(f + 12)) {
    case 0x0800: {
      if (n < kEthHeader + kIpv4Header) return;  // no destination to filter on
      std::uint32_t d;
      std::memcpy(&d, f + 30, 4);
      if (!Filter(d)) {
        LogF(3, "Net Chanel: src=%d.%d.%d.%d,dst=%d.%d.%d.%d, ignored", f[26], f[27], f[28], f[29], f[30], f[31], f[32],
             f[33]);
        return;
      }
      LogF(1, "Net Chanel Out: ETH_TYPE_IPV4 src=%d.%d.%d.%d,dst=%d.%d.%d.%d, past", f[26], f[27], f[28], f[29], f[30],
           f[31], f[32], f[33]);
      LogProtocolLine(f, n);
      break;
    }
    case 0x0806:
      Log(1, "Net Chanel Out: ETH_TYPE_ARP");
      LogArpLine(f, n);
      break;
    case 0x8035:
      Log(1, "Net Chanel Out: ETH_TYPE_RARP");
      return;
    case 0x86DD:
      Log(1, "Net Chanel Out: ETH_TYPE_IPV6");
      return;
    default:
      break;
  }
  std::uint8_t out[wire::kHeaderSize + 2 + TTapFrameLimit];
  const std::size_t size = wire::EncodeNetData(out, sizeof out, NextSeqId(), kPortField, f, n);
  if (size == 0) return;  // larger than a datagram can carry
  bytesToModule = bytesToModule + static_cast<double>(n);
  if (TClient* s = session_.load()) s->SendToModule(out, size);
}

void TNetChanel::OnData(std::uint8_t* packet, std::size_t size) {
  if (!open_) return;
  auto data = wire::DecodeNetData(packet, size);
  if (!data) return;
  bytesFromModule = bytesFromModule + static_cast<double>(data->size);
  std::size_t n = data->size;
  if (ethernet::IsVlanTagged(data->frame, n)) {
    if (n < 18) return;  // too short to hold the tag it announces
    n = ethernet::RemoveVlanTag(data->frame, n);
  }
  if (adapter_) adapter_->Write(data->frame, n);
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
