#include "packets.h"

#include <cstring>

#include "tunnel/ethernet_frame.h"

namespace murvik::sim {

namespace {

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
void PutLe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void PutLe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void AppendUtf8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// A fixed UTF-16LE field: text, a terminating zero inside the field, zeros to its end.
bool ReadUtf16Field(const std::uint8_t* p, std::size_t bytes, std::string& out, std::string& why, const char* name) {
  out.clear();
  std::size_t units = bytes / 2;
  std::size_t i = 0;
  for (; i < units; ++i) {
    std::uint32_t c = Le16(p + 2 * i);
    if (c == 0) break;
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units) {
      std::uint32_t lo = Le16(p + 2 * (i + 1));
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00));
        ++i;
        continue;
      }
    }
    AppendUtf8(out, (c >= 0xD800 && c <= 0xDFFF) ? 0xFFFD : c);
  }
  if (i == units) {
    why = std::string(name) + " not zero-terminated";
    return false;
  }
  for (std::size_t b = 2 * i; b < bytes; ++b) {
    if (p[b] != 0) {
      why = std::string(name) + " not zero-padded";
      return false;
    }
  }
  return true;
}

bool AllZero(const std::uint8_t* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (p[i] != 0) return false;
  return true;
}

// Exact size and the header fields every PC packet of this kind must carry.
bool CheckShape(const std::uint8_t* d, std::size_t n, std::size_t size, bool ioServerIdZero, bool seqZero,
                std::string& why) {
  if (n != size) {
    why = "size " + std::to_string(n) + ", expected " + std::to_string(size);
    return false;
  }
  if (ioServerIdZero && Le32(d + 4) != 0) {
    why = "IOServer id not 0";
    return false;
  }
  if (seqZero && Le32(d + 8) != 0) {
    why = "SEQ_ID not 0";
    return false;
  }
  return true;
}

void WriteText(Bytes& out, std::size_t offset, const std::string& text, std::size_t field) {
  std::size_t n = std::min(text.size(), field - 1);
  std::memcpy(out.data() + offset, text.data(), n);
}

}  // namespace

const char* CommandName(std::uint16_t command) {
  switch (command) {
    case cmd::REGISTER: return "REGISTER";
    case cmd::REG_CHALLENGE: return "REG_CHALLENGE";
    case cmd::REG_RESPONSE: return "REG_RESPONSE";
    case cmd::REG_OK: return "REG_OK";
    case cmd::REDIRECT: return "REDIRECT";
    case cmd::QUERY_IOSERVER: return "QUERY_IOSERVER";
    case cmd::QUERY_IOSERVER_ACK: return "QUERY_IOSERVER_ACK";
    case cmd::PING: return "PING";
    case cmd::PING_ACK: return "PING_ACK";
    case cmd::QUERY_PARAM: return "QUERY_PARAM";
    case cmd::PARAM_ACK: return "PARAM_ACK";
    case cmd::QUERY_INFO: return "QUERY_INFO";
    case cmd::INFO_ACK: return "INFO_ACK";
    case cmd::IOSERVER_LOST: return "IOSERVER_LOST";
    case cmd::ECHO: return "ECHO";
    case cmd::ECHO_ACK: return "ECHO_ACK";
    case cmd::NAK: return "NAK";
    case cmd::NAK_EX: return "NAK_EX";
    case cmd::COM_DATA: return "COM_DATA";
    case cmd::COM_DATA_FROM_MODULE: return "COM_DATA_FROM_MODULE";
    case cmd::COM_DATA_ACK: return "COM_DATA_ACK";
    case cmd::COM_DATA_ACK_FROM_MODULE: return "COM_DATA_ACK_FROM_MODULE";
    case cmd::COM_CONFIG: return "COM_CONFIG";
    case cmd::COM_CONFIG_ACK: return "COM_CONFIG_ACK";
    case cmd::NET_DATA: return "NET_DATA";
    case cmd::NET_DATA_FROM_MODULE: return "NET_DATA_FROM_MODULE";
    case cmd::NET_DATA_ACK: return "NET_DATA_ACK";
    case cmd::NET_CONFIG: return "NET_CONFIG";
    case cmd::NET_CONFIG_ACK: return "NET_CONFIG_ACK";
    default: return "UNKNOWN";
  }
}

std::optional<Head> ReadHead(const std::uint8_t* d, std::size_t n) {
  if (n < kHeader) return std::nullopt;
  return Head{Le32(d), Le32(d + 4), Le32(d + 8), Le16(d + 12), Le16(d + 14)};
}

bool SizeMatches(const std::uint8_t* d, std::size_t n) { return n >= kHeader && n == kHeader + Le16(d + 14); }

std::optional<RegisterRequest> DecodeRegister(const std::uint8_t* d, std::size_t n, std::string& why) {
  if (!CheckShape(d, n, 144, true, true, why)) return std::nullopt;
  if (Le32(d) != 0) {
    why = "session id not 0";
    return std::nullopt;
  }
  RegisterRequest r;
  if (!ReadUtf16Field(d + 16, 64, r.sn, why, "SN") || !ReadUtf16Field(d + 80, 32, r.clientName, why, "client name"))
    return std::nullopt;
  if (Le16(d + 112) != 0xA55A) {
    why = "bad magic";
    return std::nullopt;
  }
  if (Le16(d + 114) != 0x4001) {
    why = "bad client code";
    return std::nullopt;
  }
  if (!AllZero(d + 116, 28)) {
    why = "bytes 116..143 not zero";
    return std::nullopt;
  }
  return r;
}

std::optional<RegResponse> DecodeRegResponse(const std::uint8_t* d, std::size_t n, std::string& why) {
  if (!CheckShape(d, n, 144, true, true, why)) return std::nullopt;
  RegResponse r;
  r.sid = Le32(d);
  if (!ReadUtf16Field(d + 16, 64, r.sn, why, "SN") || !ReadUtf16Field(d + 80, 32, r.clientName, why, "client name"))
    return std::nullopt;
  std::memcpy(r.digest.data(), d + 112, 16);
  if (!AllZero(d + 128, 16)) {
    why = "bytes 128..143 not zero";
    return std::nullopt;
  }
  return r;
}

std::optional<QueryIOServer> DecodeQueryIOServer(const std::uint8_t* d, std::size_t n, std::string& why) {
  if (!CheckShape(d, n, 20, true, true, why)) return std::nullopt;
  return QueryIOServer{Le32(d), Le16(d + 16), Le16(d + 18)};
}

std::optional<Head> DecodeBare(const std::uint8_t* d, std::size_t n, std::string& why) {
  if (!CheckShape(d, n, kHeader, false, false, why)) return std::nullopt;
  return ReadHead(d, n);
}

std::optional<PcNetConfig> DecodePcNetConfig(const std::uint8_t* d, std::size_t n, std::string& why) {
  if (n < kHeader + 4) {
    why = "size " + std::to_string(n) + ", shorter than group and operation";
    return std::nullopt;
  }
  if (Le16(d + 16) != 0x0020) {
    why = "group " + std::to_string(Le16(d + 16)) + ", expected 32";
    return std::nullopt;
  }
  PcNetConfig c;
  c.operation = Le16(d + 18);
  switch (c.operation) {
    case 0:
      if (!CheckShape(d, n, 112, false, true, why)) return std::nullopt;
      if (!AllZero(d + 20, 12) || !AllZero(d + 48, 64)) {
        why = "reserved bytes of SET_IP not zero";
        return std::nullopt;
      }
      std::memcpy(c.ip.data(), d + 32, 4);
      std::memcpy(c.mask.data(), d + 36, 4);
      std::memcpy(c.ipMin.data(), d + 40, 4);
      std::memcpy(c.ipMax.data(), d + 44, 4);
      return c;
    case 1:
      if (!CheckShape(d, n, 20, false, true, why)) return std::nullopt;
      return c;
    default:
      why = "unknown operation " + std::to_string(c.operation);
      return std::nullopt;
  }
}

std::optional<PcNetData> DecodePcNetData(const std::uint8_t* d, std::size_t n, std::string& why) {
  if (n < kHeader + 2 + kEthernetHeader) {
    why = "payload of " + std::to_string(n < kHeader ? 0 : n - kHeader) + " bytes holds no Ethernet header";
    return std::nullopt;
  }
  const std::size_t payload = n - kHeader;
  if (payload - 2 > kMaxEthernetFrame) {
    why = "frame of " + std::to_string(payload - 2) + " bytes exceeds " + std::to_string(kMaxEthernetFrame);
    return std::nullopt;
  }
  return PcNetData{Le16(d + 16), d + 18, payload - 2};
}

Bytes Encode(std::uint16_t command, const Bytes& payload, std::uint32_t sid, std::uint32_t ioServerId,
             std::uint32_t seq) {
  Bytes out(kHeader + payload.size());
  PutLe32(out.data(), sid);
  PutLe32(out.data() + 4, ioServerId);
  PutLe32(out.data() + 8, seq);
  PutLe16(out.data() + 12, command);
  PutLe16(out.data() + 14, static_cast<std::uint16_t>(payload.size()));
  if (!payload.empty()) std::memcpy(out.data() + kHeader, payload.data(), payload.size());
  return out;
}

Bytes EncodeRegChallenge(std::uint32_t sid, const std::array<std::uint8_t, 32>& challenge) {
  Bytes payload(128, 0);
  std::memcpy(payload.data() + 96, challenge.data(), challenge.size());  // datagram offsets 112..143
  return Encode(cmd::REG_CHALLENGE, payload, sid);
}

Bytes EncodeRegOk(std::uint32_t sid) { return Encode(cmd::REG_OK, {}, sid); }

Bytes EncodeRedirect(std::uint32_t sid, const std::string& target) {
  Bytes payload(17, 0);
  payload.insert(payload.end(), target.begin(), target.end());
  payload.push_back(0);
  return Encode(cmd::REDIRECT, payload, sid);
}

Bytes EncodeQueryIOServerAck(std::uint32_t sid, std::uint16_t first, std::uint16_t count, std::uint16_t total,
                             std::uint32_t firstId) {
  Bytes payload(12, 0);
  PutLe16(payload.data(), first);
  PutLe16(payload.data() + 2, count);
  PutLe16(payload.data() + 4, total);
  PutLe32(payload.data() + 8, firstId);
  return Encode(cmd::QUERY_IOSERVER_ACK, payload, sid);
}

Bytes EncodePingAck(std::uint32_t sid, std::uint32_t ioServerId, std::uint32_t seq) {
  return Encode(cmd::PING_ACK, {}, sid, ioServerId, seq);
}

Bytes EncodeParamAck(std::uint32_t sid, std::uint32_t ioServerId, const std::string& devType,
                     const std::string& devSubType, std::uint16_t firmware, std::uint8_t features) {
  Bytes out = Encode(cmd::PARAM_ACK, Bytes(35, 0), sid, ioServerId);
  WriteText(out, 16, devType, 16);
  WriteText(out, 32, devSubType, 16);
  PutLe16(out.data() + 48, firmware);
  out[50] = features;
  return out;
}

Bytes EncodeInfoAck(std::uint32_t sid, std::uint32_t ioServerId, const std::string& text) {
  Bytes payload(4, 0);
  payload.insert(payload.end(), text.begin(), text.end());
  return Encode(cmd::INFO_ACK, payload, sid, ioServerId);
}

Bytes EncodeIOServerLost(std::uint32_t sid) { return Encode(cmd::IOSERVER_LOST, {}, sid); }

Bytes EncodeEchoAck(std::uint32_t sid, std::uint32_t seq) { return Encode(cmd::ECHO_ACK, {}, sid, 0, seq); }

Bytes EncodeNak(std::uint32_t sid) { return Encode(cmd::NAK, {}, sid); }

Bytes EncodeNakEx(std::uint32_t sid, std::uint16_t reason) {
  Bytes payload(2);
  PutLe16(payload.data(), reason);
  return Encode(cmd::NAK_EX, payload, sid);
}

Bytes EncodeComConfigAck(std::uint16_t channel, ConfigAckForm form) {
  Bytes payload(form == ConfigAckForm::Old ? 2 : 4, 0);
  PutLe16(payload.data(), channel);
  if (form == ConfigAckForm::Refuse) PutLe16(payload.data() + 2, 5);
  return Encode(cmd::COM_CONFIG_ACK, payload);
}

Bytes EncodeComDataFromModule(std::uint32_t seq, std::uint8_t channel, const std::uint8_t* data, std::size_t n) {
  Bytes payload(1 + n);
  payload[0] = channel;
  if (n > 0) std::memcpy(payload.data() + 1, data, n);
  return Encode(cmd::COM_DATA_FROM_MODULE, payload, 0, 0, seq);
}

Bytes EncodeComDataAckFromModule(std::uint32_t seq, std::uint8_t channel) {
  return Encode(cmd::COM_DATA_ACK_FROM_MODULE, Bytes{channel}, 0, 0, seq);
}

Bytes EncodeNetConfigAck(std::uint16_t operation, const Mac& mac) {
  Bytes payload(4, 0);
  PutLe16(payload.data(), 0x0020);
  PutLe16(payload.data() + 2, operation);
  if (operation == 1) {
    payload.insert(payload.end(), {0, 0});
    payload.insert(payload.end(), mac.begin(), mac.end());  // datagram offset 22
  }
  return Encode(cmd::NET_CONFIG_ACK, payload);
}

Bytes EncodeNetDataFromModule(std::uint32_t seq, const std::uint8_t* frame, std::size_t n) {
  Bytes payload(2, 0);
  payload.insert(payload.end(), frame, frame + n);
  const std::uint32_t fcs = ethernet::Crc32(frame, n);
  for (int i = 0; i < 4; ++i) payload.push_back(static_cast<std::uint8_t>(fcs >> (8 * i)));  // LSB first
  return Encode(cmd::NET_DATA_FROM_MODULE, payload, 0, 0, seq);
}

}  // namespace murvik::sim
