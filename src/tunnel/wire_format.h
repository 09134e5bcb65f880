#pragma once
// The datagrams between the PC and the login server, relays and modules: a 16-byte little-endian
// header and a payload per command. Encoders build what the PC sends; decoders read what it
// receives and answer nullopt when the datagram is too short for the fields they read.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace murvik::wire {

constexpr std::size_t kHeaderSize = 16;
constexpr std::size_t kMaxDatagram = 1512;  // the largest datagram the PC builds
// What the PC receives: room for a full-size 802.1Q-tagged Ethernet frame with its check
// sequence in a NET_DATA, so a module port on a standard 1500-byte network loses no frame.
constexpr std::size_t kMaxReceivedDatagram = kHeaderSize + 2 + 1522;
constexpr std::size_t kMaxPayload = kMaxDatagram - kHeaderSize;

enum Command : std::uint16_t {
  REGISTER = 0x800C,
  REG_CHALLENGE = 0x8003,
  REG_RESPONSE = 0x8004,
  REG_OK = 0x8005,
  REDIRECT = 0x800A,
  QUERY_IOSERVER = 0x8008,
  QUERY_IOSERVER_ACK = 0xC008,
  PING = 0xAF00,
  PING_ACK = 0xAF01,
  QUERY_PARAM = 0xAF10,
  PARAM_ACK = 0xAF11,
  QUERY_INFO = 0xAF12,
  INFO_ACK = 0xAF13,
  IOSERVER_LOST = 0xAF81,
  ECHO = 0xFF02,
  ECHO_ACK = 0xFF00,
  NAK = 0xFF01,
  NAK_EX = 0xFF03,
  COM_DATA = 0xA000,
  COM_DATA_FROM_MODULE = 0xA001,
  COM_DATA_ACK = 0xA002,
  COM_DATA_ACK_FROM_MODULE = 0xA003,
  COM_CONFIG = 0xA010,
  COM_CONFIG_ACK = 0xA011,
  NET_DATA = 0xA100,
  NET_DATA_FROM_MODULE = 0xA101,
  NET_DATA_ACK = 0xA103,
  NET_CONFIG = 0xA110,
  NET_CONFIG_ACK = 0xA111,
};

struct Header {
  std::uint32_t sessionId = 0;
  std::uint32_t ioServerId = 0;
  std::uint32_t seqId = 0;
  std::uint16_t command = 0;
  std::uint16_t length = 0;
};

// Little-endian field access that never depends on the host's layout.
inline std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void Put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void WriteHeader(std::uint8_t* out, const Header& h);
// nullopt when fewer than 16 bytes.
std::optional<Header> ReadHeader(const std::uint8_t* data, std::size_t size);
// The size check every received datagram passes: size == 16 + length.
bool IsValidDatagram(const std::uint8_t* data, std::size_t size);
// Writes the session id and IOServer id into an encoded datagram (the session's send operations).
void StampIds(std::uint8_t* datagram, std::uint32_t sessionId, std::uint32_t ioServerId);

using Bytes = std::vector<std::uint8_t>;
using Challenge = std::array<std::uint8_t, 32>;
using Digest = std::array<std::uint8_t, 16>;

// ---- PC to server / module ----
// The SN field holds at most 31 UTF-16 characters and the client name at most 15; longer texts
// are cut so the terminating zero always fits.
Bytes EncodeRegister(std::string_view sn, std::string_view clientName);
Bytes EncodeRegResponse(std::uint32_t sessionId, std::string_view sn, std::string_view clientName, const Digest& digest);
Bytes EncodeQueryIOServer(std::uint32_t sessionId);
Bytes EncodePing(std::uint32_t seqId);        // ids stamped on send
Bytes EncodeQueryParam();
Bytes EncodeQueryInfo();
Bytes EncodeEcho(std::uint32_t seqId);
Bytes EncodeGoodbyeNak(std::uint32_t sessionId);
Bytes EncodeComDataAck(std::uint32_t seqId, std::uint8_t channelByte);
Bytes EncodeComConfig(std::uint16_t channel, std::uint16_t plcType, std::uint16_t transMode);
Bytes EncodeNetSetIp(std::uint32_t ip, std::uint32_t mask, std::uint32_t ipMin, std::uint32_t ipMax);
Bytes EncodeNetGetPortInfo();

// Line settings in the serial API's codes: parity 0 none, 1 odd, 2 even; stop bits 0 one,
// 1 one and a half, 2 two.
struct LineSettings {
  std::uint32_t baudRate = 9600;
  int byteSize = 8;
  int parity = 0;
  int stopBits = 0;
};
constexpr std::array<std::uint32_t, 16> kBaudTable = {110,   300,   600,   1200,  1800,  2400,  4800,   9600,
                                                      14400, 19200, 38400, 43000, 56000, 115200, 128000, 256000};
// Index into kBaudTable, or -1.
int BaudIndex(std::uint32_t baud);
std::uint8_t LineByte(const LineSettings& s);
constexpr std::size_t kMaxComData = 512;
// COM_DATA from the PC into out (at least 23 + n bytes); answers the datagram size, 0 when it
// does not fit.
std::size_t EncodeComData(std::uint8_t* out, std::size_t capacity, std::uint32_t seqId, std::uint8_t channel,
                          const LineSettings& line, const std::uint8_t* data, std::size_t n);
// NET_DATA from the PC: the port field and one frame; answers the size, 0 when it does not fit.
std::size_t EncodeNetData(std::uint8_t* out, std::size_t capacity, std::uint32_t seqId, std::uint16_t portField,
                          const std::uint8_t* frame, std::size_t n);

// ---- server / module to PC ----
struct RegChallenge {
  std::uint32_t sessionId;
  Challenge challenge;
};
std::optional<RegChallenge> DecodeRegChallenge(const std::uint8_t* d, std::size_t n);

// The zero-terminated ASCII target at offset 33 ("host" or "host:port"); the text may also end
// at the end of the datagram.
std::optional<std::string> DecodeRedirect(const std::uint8_t* d, std::size_t n);

struct QueryIOServerAck {
  std::uint16_t first;
  std::uint16_t count;
  std::uint16_t total;
  std::uint32_t firstId;  // valid only when found()
  bool found() const { return first + count == total && count == 1; }
  bool notPresent() const { return count == 0; }
};
std::optional<QueryIOServerAck> DecodeQueryIOServerAck(const std::uint8_t* d, std::size_t n);

struct ParamAck {
  std::string devType;
  std::string devSubType;
  std::uint16_t firmware;
  std::uint8_t features;
};
// Needs payload bytes up to the feature byte (offset 50).
std::optional<ParamAck> DecodeParamAck(const std::uint8_t* d, std::size_t n);

std::optional<std::uint16_t> DecodeNakExReason(const std::uint8_t* d, std::size_t n);

struct ComData {
  std::uint32_t seqId;
  std::uint8_t channel;
  const std::uint8_t* data;  // into the datagram
  std::size_t size;
};
std::optional<ComData> DecodeComData(const std::uint8_t* d, std::size_t n);

struct ComDataAck {
  std::uint32_t seqId;
  std::uint8_t channel;
};
std::optional<ComDataAck> DecodeComDataAck(const std::uint8_t* d, std::size_t n);

struct ComConfigAck {
  std::uint16_t channel;
  enum Result { Accepted, Refused, Ignored } result;
  std::uint16_t status;
};
std::optional<ComConfigAck> DecodeComConfigAck(const std::uint8_t* d, std::size_t n);

struct NetData {
  std::uint8_t* frame;  // into the (mutable) datagram, so the tag can be removed in place
  std::size_t size;
};
// nullopt when the payload holds fewer than 2 + 14 bytes.
std::optional<NetData> DecodeNetData(std::uint8_t* d, std::size_t n);

struct NetConfigAck {
  std::uint16_t operation;
  std::array<std::uint8_t, 6> mac;  // only for operation 1
};
// nullopt below 4 payload bytes, or below 12 for a GET_PORT_INFO answer.
std::optional<NetConfigAck> DecodeNetConfigAck(const std::uint8_t* d, std::size_t n);

struct InfoAck {
  std::vector<std::string> lines;  // complete lines only
};
std::optional<InfoAck> DecodeInfoAck(const std::uint8_t* d, std::size_t n);

// The first payload word of COM_CONFIG_ACK (the serial channel it answers), for dispatch.
std::optional<std::uint16_t> PayloadWord0(const std::uint8_t* d, std::size_t n);
// The first payload byte (the channel byte of COM_DATA / COM_DATA_ACK).
std::optional<std::uint8_t> PayloadByte0(const std::uint8_t* d, std::size_t n);

// ---- challenge digest ----
// One MD5 compression step from the session key value over the 32 challenge bytes followed by the
// UTF-16LE password, zero-padded to 32 bytes (at most 15 characters are used).
Digest ChallengeDigest(const Challenge& challenge, std::string_view password);
// The plain MD5 compression function over one 64-byte block (RFC 1321), exposed for tests.
void Md5Compress(std::uint32_t state[4], const std::uint8_t block[64]);

}  // namespace murvik::wire
