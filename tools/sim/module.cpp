#include "module.h"

namespace murvik::sim {

Module::Module(ModuleConfig config)
    : config_(std::move(config)),
      online_(config_.online),
      ports_{Port{Port::Serial, 0, nullptr}, Port{Port::Serial, 1, nullptr}, Port{Port::Serial, 2, nullptr},
             Port{Port::Ethernet, 0, nullptr}} {}

std::string Module::InfoText() const {
  std::string text;
  for (int i = 0; i < 52; ++i) {
    switch (i) {
      case 0: text += "SN=" + config_.sn; break;
      case 1: text += "DevType=" + config_.devType; break;
      case 2: text += "DevSubType=" + config_.devSubType; break;
      case 3:
        text += "Firmware=V" + std::to_string(config_.firmware / 10) + "." + std::to_string(config_.firmware % 10);
        break;
      default: text += "item" + std::to_string(i) + "=0"; break;
    }
    text += '\n';
  }
  // Port roles, WAN, LAN1, LAN2 links, Wi-Fi state and signal, cellular signal, uplink (4G).
  for (const char* v : {"0", "1", "1", "0", "1", "76", "23", "4"}) {
    text += v;
    text += '\n';
  }
  return text;
}

Port* Module::PortFor(const Head& head, const std::uint8_t* data, std::size_t size) {
  switch (head.command) {
    case cmd::COM_DATA:
    case cmd::COM_DATA_ACK:
    case cmd::COM_CONFIG: {
      if (size <= kHeader) return nullptr;
      const std::uint8_t channel = data[kHeader];
      return channel < 3 ? &ports_[channel] : nullptr;
    }
    case cmd::NET_DATA:
    case cmd::NET_CONFIG: return &ports_[3];
    default: return nullptr;
  }
}

std::optional<std::vector<Bytes>> Module::Answer(const Head& head, const std::uint8_t* data, std::size_t size,
                                                 std::string& note, nlohmann::ordered_json& fields) {
  if (!online_) {
    note = "module offline";
    return std::nullopt;
  }
  std::string why;
  switch (head.command) {
    case cmd::PING:
      if (!DecodeBare(data, size, why)) break;
      if (muted_) {
        ++pingsIgnored;
        note = "module muted";
        return std::nullopt;
      }
      ++pings;
      return std::vector<Bytes>{EncodePingAck(head.sid, Id(), head.seq)};
    case cmd::QUERY_PARAM:
      if (!DecodeBare(data, size, why)) break;
      return std::vector<Bytes>{
          EncodeParamAck(head.sid, Id(), config_.devType, config_.devSubType, config_.firmware, config_.features)};
    case cmd::QUERY_INFO:
      if (!DecodeBare(data, size, why)) break;
      if ((config_.features & 1) == 0) {
        note = "module has no information query";
        return std::nullopt;
      }
      return std::vector<Bytes>{EncodeInfoAck(head.sid, Id(), InfoText())};
    default: {
      Port* port = PortFor(head, data, size);
      if (port == nullptr || port->backend == nullptr) {
        note = "no port backend";
        return std::nullopt;
      }
      PortAnswer out;
      port->backend->OnPacket(head, data, size, out);
      note = std::move(out.note);
      fields = std::move(out.fields);
      auto& answers = out.packets;
      for (auto& a : answers) {
        if (a.size() < kHeader) continue;
        for (int i = 0; i < 4; ++i) {
          a[i] = static_cast<std::uint8_t>(head.sid >> (8 * i));
          a[4 + i] = static_cast<std::uint8_t>(Id() >> (8 * i));
        }
      }
      if (answers.empty()) return std::nullopt;
      return std::move(answers);
    }
  }
  note = "malformed " + std::string(CommandName(head.command)) + ": " + why;
  return std::nullopt;
}

}  // namespace murvik::sim
