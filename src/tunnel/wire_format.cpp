#include "tunnel/wire_format.h"

#include <cstring>

#include "platform/text.h"

namespace murvik::wire {

void WriteHeader(std::uint8_t* out, const Header& h) {
  Put32(out + 0, h.sessionId);
  Put32(out + 4, h.ioServerId);
  Put32(out + 8, h.seqId);
  Put16(out + 12, h.command);
  Put16(out + 14, h.length);
}

std::optional<Header> ReadHeader(const std::uint8_t* d, std::size_t n) {
  if (n < kHeaderSize) return std::nullopt;
  return Header{Get32(d), Get32(d + 4), Get32(d + 8), Get16(d + 12), Get16(d + 14)};
}

bool IsValidDatagram(const std::uint8_t* d, std::size_t n) {
  return n >= kHeaderSize && n == kHeaderSize + Get16(d + 14);
}

void StampIds(std::uint8_t* datagram, std::uint32_t sessionId, std::uint32_t ioServerId) {
  Put32(datagram, sessionId);
  Put32(datagram + 4, ioServerId);
}

namespace {

Bytes Make(std::uint16_t command, std::uint16_t length, std::uint32_t sessionId = 0, std::uint32_t seqId = 0) {
  Bytes b(kHeaderSize + length, 0);
  WriteHeader(b.data(), Header{sessionId, 0, seqId, command, length});
  return b;
}

// UTF-16LE, zero-terminated and zero-padded within fieldBytes.
void PutText16(std::uint8_t* field, std::size_t fieldBytes, std::string_view utf8) {
  std::u16string t = platform::Utf8ToUtf16(utf8);
  std::size_t maxChars = fieldBytes / 2 - 1;
  if (t.size() > maxChars) t.resize(maxChars);
  for (std::size_t i = 0; i < t.size(); ++i) Put16(field + 2 * i, static_cast<std::uint16_t>(t[i]));
}

// ASCII text of a fixed field: up to the first zero, at most the field.
std::string GetAscii(const std::uint8_t* field, std::size_t size) {
  std::size_t len = 0;
  while (len < size && field[len] != 0) ++len;
  return std::string(reinterpret_cast<const char*>(field), len);
}

std::size_t PayloadSize(const std::uint8_t* d, std::size_t n) {
  // Decoders trust neither the length field nor the size alone: the smaller of the two counts.
  std::size_t len = Get16(d + 14);
  return std::min(len, n - kHeaderSize);
}

bool HasPayload(const std::uint8_t* d, std::size_t n, std::size_t need) {
  return n >= kHeaderSize && PayloadSize(d, n) >= need;
}

}  // namespace

Bytes EncodeRegister(std::string_view sn, std::string_view clientName) {
  Bytes b = Make(REGISTER, 128);
  PutText16(b.data() + 16, 64, sn);
  PutText16(b.data() + 80, 32, clientName);
  Put16(b.data() + 112, 0xA55A);
  Put16(b.data() + 114, 0x4001);
  return b;
}

Bytes EncodeRegResponse(std::uint32_t sessionId, std::string_view sn, std::string_view clientName,
                        const Digest& digest) {
  Bytes b = Make(REG_RESPONSE, 128, sessionId);
  PutText16(b.data() + 16, 64, sn);
  PutText16(b.data() + 80, 32, clientName);
  std::memcpy(b.data() + 112, digest.data(), digest.size());
  return b;
}

Bytes EncodeQueryIOServer(std::uint32_t sessionId) {
  Bytes b = Make(QUERY_IOSERVER, 4, sessionId);
  Put16(b.data() + 16, 0);
  Put16(b.data() + 18, 16);
  return b;
}

Bytes EncodePing(std::uint32_t seqId) { return Make(PING, 0, 0, seqId); }
Bytes EncodeQueryParam() { return Make(QUERY_PARAM, 0); }
Bytes EncodeQueryInfo() { return Make(QUERY_INFO, 0); }
Bytes EncodeEcho(std::uint32_t seqId) { return Make(ECHO, 0, 0, seqId); }
Bytes EncodeGoodbyeNak(std::uint32_t sessionId) { return Make(NAK, 0, sessionId); }

Bytes EncodeComDataAck(std::uint32_t seqId, std::uint8_t channelByte) {
  Bytes b = Make(COM_DATA_ACK, 1, 0, seqId);
  b[16] = channelByte;
  return b;
}

Bytes EncodeComConfig(std::uint16_t channel, std::uint16_t plcType, std::uint16_t transMode) {
  Bytes b = Make(COM_CONFIG, 6);
  Put16(b.data() + 16, channel);
  Put16(b.data() + 18, plcType);
  Put16(b.data() + 20, transMode);
  return b;
}

Bytes EncodeNetSetIp(std::uint32_t ip, std::uint32_t mask, std::uint32_t ipMin, std::uint32_t ipMax) {
  Bytes b = Make(NET_CONFIG, 96);
  Put16(b.data() + 16, 0x0020);
  Put16(b.data() + 18, 0);
  // Addresses are already in network order: copy their bytes as they lie in memory.
  std::memcpy(b.data() + 32, &ip, 4);
  std::memcpy(b.data() + 36, &mask, 4);
  std::memcpy(b.data() + 40, &ipMin, 4);
  std::memcpy(b.data() + 44, &ipMax, 4);
  return b;
}

Bytes EncodeNetGetPortInfo() {
  Bytes b = Make(NET_CONFIG, 4);
  Put16(b.data() + 16, 0x0020);
  Put16(b.data() + 18, 1);
  return b;
}

int BaudIndex(std::uint32_t baud) {
  for (std::size_t i = 0; i < kBaudTable.size(); ++i)
    if (kBaudTable[i] == baud) return static_cast<int>(i);
  return -1;
}

std::uint8_t LineByte(const LineSettings& s) {
  std::uint8_t b = 0;
  if (s.byteSize == 8) b |= 0x40;
  if (s.parity == 1) b |= 0x10;
  if (s.parity == 2) b |= 0x20;
  if (s.stopBits == 1) b |= 0x04;
  if (s.stopBits == 2) b |= 0x08;
  return b;
}

std::size_t EncodeComData(std::uint8_t* out, std::size_t capacity, std::uint32_t seqId, std::uint8_t channel,
                          const LineSettings& line, const std::uint8_t* data, std::size_t n) {
  int idx = BaudIndex(line.baudRate);
  std::size_t prefix = idx >= 0 ? 3 : 7;
  std::size_t size = kHeaderSize + prefix + n;
  if (n == 0 || n > kMaxComData || size > capacity) return 0;
  WriteHeader(out, Header{0, 0, seqId, COM_DATA, static_cast<std::uint16_t>(prefix + n)});
  out[16] = channel;
  if (idx >= 0) {
    out[17] = static_cast<std::uint8_t>(0x40 + idx);
    out[18] = LineByte(line);
  } else {
    out[17] = 0x80;
    out[18] = static_cast<std::uint8_t>(line.baudRate >> 16);
    out[19] = static_cast<std::uint8_t>(line.baudRate >> 8);
    out[20] = static_cast<std::uint8_t>(line.baudRate);
    out[21] = LineByte(line);
    out[22] = 0;
  }
  if (n) std::memcpy(out + kHeaderSize + prefix, data, n);
  return size;
}

std::size_t EncodeNetData(std::uint8_t* out, std::size_t capacity, std::uint32_t seqId, std::uint16_t portField,
                          const std::uint8_t* frame, std::size_t n) {
  std::size_t size = kHeaderSize + 2 + n;
  if (n > kMaxPayload - 2 || size > capacity) return 0;
  WriteHeader(out, Header{0, 0, seqId, NET_DATA, static_cast<std::uint16_t>(2 + n)});
  Put16(out + 16, portField);
  if (n) std::memcpy(out + 18, frame, n);
  return size;
}

std::optional<RegChallenge> DecodeRegChallenge(const std::uint8_t* d, std::size_t n) {
  if (!HasPayload(d, n, 128)) return std::nullopt;
  RegChallenge r{Get32(d), {}};
  std::memcpy(r.challenge.data(), d + 112, 32);
  return r;
}

std::optional<std::string> DecodeRedirect(const std::uint8_t* d, std::size_t n) {
  if (!HasPayload(d, n, 17)) return std::nullopt;
  std::size_t end = kHeaderSize + PayloadSize(d, n);
  return GetAscii(d + 33, end - 33);
}

std::optional<QueryIOServerAck> DecodeQueryIOServerAck(const std::uint8_t* d, std::size_t n) {
  if (!HasPayload(d, n, 12)) return std::nullopt;
  return QueryIOServerAck{Get16(d + 16), Get16(d + 18), Get16(d + 20), Get32(d + 24)};
}

std::optional<ParamAck> DecodeParamAck(const std::uint8_t* d, std::size_t n) {
  if (!HasPayload(d, n, 35)) return std::nullopt;
  return ParamAck{GetAscii(d + 16, 16), GetAscii(d + 32, 16), Get16(d + 48), d[50]};
}

std::optional<std::uint16_t> DecodeNakExReason(const std::uint8_t* d, std::size_t n) {
  if (!HasPayload(d, n, 2)) return std::nullopt;
  return Get16(d + 16);
}

std::optional<ComData> DecodeComData(const std::uint8_t* d, std::size_t n) {
  if (!HasPayload(d, n, 1)) return std::nullopt;
  return ComData{Get32(d + 8), d[16], d + 17, PayloadSize(d, n) - 1};
}

std::optional<ComDataAck> DecodeComDataAck(const std::uint8_t* d, std::size_t n) {
  if (!HasPayload(d, n, 1)) return std::nullopt;
  return ComDataAck{Get32(d + 8), d[16]};
}

std::optional<ComConfigAck> DecodeComConfigAck(const std::uint8_t* d, std::size_t n) {
  if (!HasPayload(d, n, 2)) return std::nullopt;
  std::size_t len = PayloadSize(d, n);
  ComConfigAck a{Get16(d + 16), ComConfigAck::Ignored, 0};
  if (len == 2) {
    a.result = ComConfigAck::Accepted;
  } else if (len >= 4) {
    a.status = Get16(d + 18);
    a.result = a.status == 0 ? ComConfigAck::Accepted : ComConfigAck::Refused;
  }
  return a;
}

std::optional<NetData> DecodeNetData(std::uint8_t* d, std::size_t n) {
  if (!HasPayload(d, n, 2 + 14)) return std::nullopt;
  return NetData{d + 18, PayloadSize(d, n) - 2};
}

std::optional<NetConfigAck> DecodeNetConfigAck(const std::uint8_t* d, std::size_t n) {
  if (!HasPayload(d, n, 4)) return std::nullopt;
  NetConfigAck a{Get16(d + 18), {}};
  if (a.operation == 1) {
    if (PayloadSize(d, n) < 12) return std::nullopt;
    std::memcpy(a.mac.data(), d + 22, 6);
  }
  return a;
}

std::optional<InfoAck> DecodeInfoAck(const std::uint8_t* d, std::size_t n) {
  if (!HasPayload(d, n, 4)) return std::nullopt;
  std::size_t end = kHeaderSize + PayloadSize(d, n);
  InfoAck info;
  std::string line;
  for (std::size_t i = 20; i < end && d[i] != 0; ++i) {
    if (d[i] == '\n') {
      info.lines.push_back(line);
      line.clear();
    } else {
      line += static_cast<char>(d[i]);
    }
  }
  return info;  // a last line without LF is not used
}

std::optional<std::uint16_t> PayloadWord0(const std::uint8_t* d, std::size_t n) {
  if (!HasPayload(d, n, 2)) return std::nullopt;
  return Get16(d + 16);
}

std::optional<std::uint8_t> PayloadByte0(const std::uint8_t* d, std::size_t n) {
  if (!HasPayload(d, n, 1)) return std::nullopt;
  return d[16];
}

}  // namespace murvik::wire
