#pragma once
// One emulated module: its identity, its online and mute switches, and the answers it gives to
// the packets addressed to it. Each of its ports (COM1..COM3, Ethernet) may get a backend that
// answers that port's data packets.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "options.h"
#include "packets.h"

namespace murvik::sim {

struct PortAnswer {
  std::vector<Bytes> packets;
  std::string note;              // why a packet was ignored
  nlohmann::ordered_json fields;  // extra fields of the packet's record line
};

// What a port does with the packets for it; the session id and IOServer id of each answer are
// written by the module.
class PortBackend {
 public:
  // Sends a packet of the module's own accord to the module's PC sessions; answers how many.
  using Sink = std::function<std::size_t(Bytes packet)>;

  virtual ~PortBackend() = default;
  virtual void OnPacket(const Head& head, const std::uint8_t* data, std::size_t size, PortAnswer& out) = 0;
  // About every 100 ms.
  virtual void OnTick(std::uint64_t /*nowMs*/) {}
  // A descriptor to watch, and what to do when it is readable; -1 for none.
  virtual int Fd() const { return -1; }
  virtual void OnReadable() {}
  virtual nlohmann::ordered_json Stats() const { return nullptr; }

  void SetSink(Sink sink) { sink_ = std::move(sink); }

 protected:
  std::size_t ToSessions(Bytes packet) { return sink_ ? sink_(std::move(packet)) : 0; }

 private:
  Sink sink_;
};

struct Port {
  enum Kind { Serial, Ethernet } kind;
  int channel;  // 0..2 for COM1..COM3, 0 for the Ethernet port
  std::unique_ptr<PortBackend> backend;  // none: the port's packets are ignored
};

class Module {
 public:
  explicit Module(ModuleConfig config);

  const ModuleConfig& Config() const { return config_; }
  const std::string& Sn() const { return config_.sn; }
  std::uint32_t Id() const { return *config_.id; }

  bool online() const { return online_; }
  void SetOnline(bool on) { online_ = on; }
  bool muted() const { return muted_; }
  void SetMuted(bool on) { muted_ = on; }

  // Answers a module-addressed packet that the server has already matched to this module.
  // nullopt with `note` set when the module stays silent.
  std::optional<std::vector<Bytes>> Answer(const Head& head, const std::uint8_t* data, std::size_t size,
                                           std::string& note, nlohmann::ordered_json& fields);

  std::array<Port, 4>& Ports() { return ports_; }

  // The text of INFO_ACK: 60 lines, 52..59 carrying the port, Wi-Fi and uplink figures.
  std::string InfoText() const;

  std::uint64_t pings = 0;
  std::uint64_t pingsIgnored = 0;

 private:
  Port* PortFor(const Head& head, const std::uint8_t* data, std::size_t size);

  ModuleConfig config_;
  bool online_;
  bool muted_ = false;
  std::array<Port, 4> ports_;
};

}  // namespace murvik::sim
