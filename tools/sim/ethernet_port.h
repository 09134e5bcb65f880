#pragma once
// The Ethernet port of a module: the PC's NET_CONFIG handshake, and NET_DATA both ways between
// the PC and what sits on the port (nothing, or a TAP interface of this machine).
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "module.h"
#include "options.h"
#include "packets.h"

namespace murvik::sim {

// "none", "null" or "tap:NAME"; `tapName` is NAME, or empty.
bool ParseEthernetKind(const std::string& kind, std::string& tapName);
// "00:1A:2B:3C:4D:5E" or with '-'; unicast and not all zero, as a port address must be.
bool ParseMac(const std::string& text, Mac& out);
std::string MacText(const Mac& mac);

class TapReader;

class EthernetPort : public PortBackend {
 public:
  // Extra record lines ("dir":"tap") about frames that never became a datagram.
  using Note = std::function<void(nlohmann::ordered_json fields)>;

  // For a module whose eth is "null" or "tap:NAME"; a TAP interface is made, brought up and
  // read from here on. nullptr with `error` set when that fails.
  static std::unique_ptr<EthernetPort> Make(const ModuleConfig& config, Note note, std::string& error);
  ~EthernetPort() override;

  void OnPacket(const Head& head, const std::uint8_t* data, std::size_t size, PortAnswer& out) override;
  // The reader's wake-up descriptor: frames from the interface are sent from the poll loop.
  int Fd() const override;
  void OnReadable() override;
  nlohmann::ordered_json Stats() const override;

  const std::string& TapName() const { return tapName_; }
  const Mac& PortMac() const { return mac_; }
  void IgnoreSetIp(std::uint32_t n) { ignoreSetIp_ = n; }
  void IgnorePortInfo(std::uint32_t n) { ignorePortInfo_ = n; }

 private:
  EthernetPort(const ModuleConfig& config, Note note);
  void OnConfig(const std::uint8_t* data, std::size_t size, PortAnswer& out);
  void OnData(const std::uint8_t* data, std::size_t size, PortAnswer& out);
  void ToPc(const Bytes& frame);

  std::string sn_;
  std::string tapName_;  // empty for the null port
  Mac mac_;
  Note note_;
  std::unique_ptr<TapReader> reader_;
  std::uint32_t ignoreSetIp_;
  std::uint32_t ignorePortInfo_;
  std::uint32_t txSeq_ = 0;
  std::optional<PcNetConfig> plan_;  // of the last SET_IP answered
  bool readerStopped_ = false;

  struct Counters {
    std::uint64_t setIps = 0, setIpsIgnored = 0, portInfos = 0, portInfosIgnored = 0, configsMalformed = 0,
                  rxFrames = 0, rxBytes = 0, rxMalformed = 0, rxWriteFailed = 0, txFrames = 0, txBytes = 0,
                  txNoSession = 0, txOversized = 0, txOverflow = 0;
  } count_;
};

}  // namespace murvik::sim
