#include "ethernet_port.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/net.h"
#include "platform/tap.h"

namespace murvik::sim {

namespace {

// Larger than any frame an interface can hand over, so an oversized one is seen whole and
// dropped rather than cut to a plausible size.
constexpr std::size_t kReadBuffer = 65536 + 64;
// Frames waiting for the poll loop; beyond that a flood only costs the frames it brings.
constexpr std::size_t kMaxQueued = 1024;

bool IsTapNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Dotted(const Ipv4Octets& a) {
  return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." + std::to_string(a[3]);
}

std::string EtherTypeText(const std::uint8_t* frame) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X%02X", frame[12], frame[13]);
  return text;
}

}  // namespace

bool ParseEthernetKind(const std::string& kind, std::string& tapName) {
  tapName.clear();
  if (kind == "none" || kind == "null") return true;
  if (kind.rfind("tap:", 0) != 0) return false;
  const std::string name = kind.substr(4);
  // The kernel's limit; '%' would let the kernel pick a name we would not know.
  if (name.empty() || name.size() > 15 || name == "." || name == "..") return false;
  for (char c : name)
    if (!IsTapNameChar(c)) return false;
  tapName = name;
  return true;
}

bool ParseMac(const std::string& text, Mac& out) {
  if (text.size() != 17) return false;
  Mac mac{};
  for (std::size_t i = 0; i < 6; ++i) {
    const std::size_t at = 3 * i;
    const int hi = HexDigit(text[at]), lo = HexDigit(text[at + 1]);
    if (hi < 0 || lo < 0) return false;
    if (i < 5 && text[at + 2] != ':' && text[at + 2] != '-') return false;
    mac[i] = static_cast<std::uint8_t>(hi * 16 + lo);
  }
  // The PC gives its adapter this address, which the kernel refuses for these.
  if ((mac[0] & 1) != 0 || mac == Mac{}) return false;
  out = mac;
  return true;
}

std::string MacText(const Mac& mac) {
  char text[18];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return text;
}

// The TAP attachment and its reader thread, which hands every frame to the poll loop: sessions,
// faults and the record stay on one thread.
class TapReader {
 public:
  struct Arrival {
    Bytes frame;           // empty when oversized or failed
    std::size_t size = 0;  // as read
    bool failed = false;   // the reader stopped
  };

  ~TapReader() {
    if (thread_.joinable()) {
      stop_.Signal();
      thread_.join();
    }
  }

  bool Start(const std::string& name, std::string& error) {
    if (!platform::HasNetAdmin()) {
      error = platform::NetAdminMissingText();
      return false;
    }
    if (!tap_.Attach(name, true, &error) || !platform::SetInterfaceUp(name, true, &error)) return false;
    thread_ = std::thread([this] { Run(); });
    return true;
  }

  int WakeFd() const { return wake_.Fd(); }
  long Write(const std::uint8_t* frame, std::size_t size) { return tap_.Write(frame, size); }

  // Clears the wake-up first, so an arrival after it wakes the loop again.
  std::deque<Arrival> Take(std::uint64_t& overflow) {
    wake_.Clear();
    std::lock_guard lock(mutex_);
    overflow = overflow_;
    overflow_ = 0;
    return std::exchange(queue_, {});
  }

 private:
  void Run() {
    Bytes buffer(kReadBuffer);
    for (;;) {
      const long n = tap_.Read(buffer.data(), buffer.size(), stop_.Fd());
      if (n == 0) return;
      Arrival a;
      if (n < 0) {
        a.failed = true;
      } else {
        a.size = static_cast<std::size_t>(n);
        if (a.size <= kMaxEthernetFrame) a.frame.assign(buffer.begin(), buffer.begin() + n);
      }
      {
        std::lock_guard lock(mutex_);
        if (queue_.size() >= kMaxQueued && !a.failed)
          ++overflow_;
        else
          queue_.push_back(std::move(a));
      }
      wake_.Signal();
      // A failing descriptor stays failed: reading on would only spin.
      if (n < 0) return;
    }
  }

  platform::TapAttachment tap_;
  platform::StopEvent stop_;
  platform::StopEvent wake_;
  std::mutex mutex_;
  std::deque<Arrival> queue_;
  std::uint64_t overflow_ = 0;
  std::thread thread_;
};

EthernetPort::EthernetPort(const ModuleConfig& config, Note note)
    : sn_(config.sn), note_(std::move(note)), ignoreSetIp_(config.ignoreSetIp), ignorePortInfo_(config.ignorePortInfo) {
  if (config.mac) {
    mac_ = *config.mac;
  } else {
    // Locally administered and unique per module, so two simulated ports never share one.
    const std::uint32_t id = config.id.value_or(0);
    mac_ = {0x02, 0x00};
    for (int i = 0; i < 4; ++i) mac_[static_cast<std::size_t>(2 + i)] = static_cast<std::uint8_t>(id >> (24 - 8 * i));
  }
}

EthernetPort::~EthernetPort() = default;

std::unique_ptr<EthernetPort> EthernetPort::Make(const ModuleConfig& config, Note note, std::string& error) {
  std::string tap;
  if (!ParseEthernetKind(config.eth, tap) || config.eth == "none") {
    error = "no Ethernet port backend '" + config.eth + "'";
    return nullptr;
  }
  std::unique_ptr<EthernetPort> port(new EthernetPort(config, std::move(note)));
  if (!tap.empty()) {
    port->tapName_ = tap;
    port->reader_ = std::make_unique<TapReader>();
    if (!port->reader_->Start(tap, error)) {
      error = "Ethernet port " + config.eth + ": " + error;
      return nullptr;
    }
  }
  return port;
}

int EthernetPort::Fd() const { return reader_ ? reader_->WakeFd() : -1; }

void EthernetPort::OnPacket(const Head& head, const std::uint8_t* data, std::size_t size, PortAnswer& out) {
  switch (head.command) {
    case cmd::NET_CONFIG:
      OnConfig(data, size, out);
      break;
    case cmd::NET_DATA:
      OnData(data, size, out);
      break;
    default:
      out.note = "not an Ethernet port packet";
      break;
  }
}

void EthernetPort::OnConfig(const std::uint8_t* data, std::size_t size, PortAnswer& out) {
  std::string why;
  auto c = DecodePcNetConfig(data, size, why);
  if (!c) {
    ++count_.configsMalformed;
    out.note = "malformed NET_CONFIG: " + why;
    return;
  }
  if (c->operation == 0) {
    out.fields["operation"] = "SET_IP";
    out.fields["ip"] = Dotted(c->ip);
    out.fields["mask"] = Dotted(c->mask);
    out.fields["ipmin"] = Dotted(c->ipMin);
    out.fields["ipmax"] = Dotted(c->ipMax);
    ++count_.setIps;
    if (ignoreSetIp_ > 0) {
      --ignoreSetIp_;
      ++count_.setIpsIgnored;
      out.note = "SET_IP left unanswered as configured";
      return;
    }
    plan_ = *c;
  } else {
    out.fields["operation"] = "GET_PORT_INFO";
    ++count_.portInfos;
    if (ignorePortInfo_ > 0) {
      --ignorePortInfo_;
      ++count_.portInfosIgnored;
      out.note = "GET_PORT_INFO left unanswered as configured";
      return;
    }
  }
  out.packets.push_back(EncodeNetConfigAck(c->operation, mac_));
}

void EthernetPort::OnData(const std::uint8_t* data, std::size_t size, PortAnswer& out) {
  std::string why;
  auto f = DecodePcNetData(data, size, why);
  if (!f) {
    ++count_.rxMalformed;
    out.note = "malformed NET_DATA: " + why;
    return;
  }
  out.fields["frame_size"] = f->size;
  out.fields["ethertype"] = EtherTypeText(f->frame);
  out.fields["port_field"] = f->portField;
  if (reader_ && reader_->Write(f->frame, f->size) != static_cast<long>(f->size)) {
    ++count_.rxWriteFailed;
    out.note = "TAP write failed: " + std::string(std::strerror(errno));
    return;
  }
  ++count_.rxFrames;
  count_.rxBytes += f->size;
}

void EthernetPort::OnReadable() {
  if (!reader_) return;
  std::uint64_t overflow = 0;
  auto arrivals = reader_->Take(overflow);
  count_.txOverflow += overflow;
  for (const auto& a : arrivals) {
    if (a.failed) {
      readerStopped_ = true;
      note_({{"sn", sn_}, {"tap", tapName_}, {"note", "reading the TAP interface failed; the port reads no more"}});
    } else if (a.frame.empty()) {
      ++count_.txOversized;
      note_({{"sn", sn_},
             {"tap", tapName_},
             {"frame_size", a.size},
             {"note", "frame of " + std::to_string(a.size) + " bytes exceeds " + std::to_string(kMaxEthernetFrame) +
                          ", dropped"}});
    } else {
      ToPc(a.frame);
    }
  }
}

void EthernetPort::ToPc(const Bytes& frame) {
  const std::uint32_t seq = txSeq_ + 1 == 0 ? 1 : txSeq_ + 1;
  if (ToSessions(EncodeNetDataFromModule(seq, frame.data(), frame.size())) == 0) {
    ++count_.txNoSession;
    note_({{"sn", sn_},
           {"tap", tapName_},
           {"frame_size", frame.size()},
           {"note", "not sent: no PC session attached, or the module is offline"}});
    return;
  }
  txSeq_ = seq;
  ++count_.txFrames;
  count_.txBytes += frame.size();
}

nlohmann::ordered_json EthernetPort::Stats() const {
  nlohmann::ordered_json j;
  j["backend"] = reader_ ? "tap" : "null";
  if (reader_) j["tap"] = tapName_;
  j["mac"] = MacText(mac_);
  if (plan_) {
    j["plan"] = {{"ip", Dotted(plan_->ip)},
                 {"mask", Dotted(plan_->mask)},
                 {"ipmin", Dotted(plan_->ipMin)},
                 {"ipmax", Dotted(plan_->ipMax)}};
  } else {
    j["plan"] = nullptr;
  }
  j["set_ips"] = count_.setIps;
  j["set_ips_ignored"] = count_.setIpsIgnored;
  j["ignore_set_ip"] = ignoreSetIp_;
  j["port_infos"] = count_.portInfos;
  j["port_infos_ignored"] = count_.portInfosIgnored;
  j["ignore_port_info"] = ignorePortInfo_;
  j["configs_malformed"] = count_.configsMalformed;
  j["rx_frames"] = count_.rxFrames;
  j["rx_bytes"] = count_.rxBytes;
  j["rx_malformed"] = count_.rxMalformed;
  j["rx_write_failed"] = count_.rxWriteFailed;
  j["tx_frames"] = count_.txFrames;
  j["tx_bytes"] = count_.txBytes;
  j["tx_no_session"] = count_.txNoSession;
  j["tx_oversized"] = count_.txOversized;
  j["tx_overflow"] = count_.txOverflow;
  j["reading"] = reader_ != nullptr && !readerStopped_;
  return j;
}

}  // namespace murvik::sim
