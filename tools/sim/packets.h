#pragma once
// The simulator's own reading of the datagrams the PC sends and its encoders for the server and
// module answers. Kept apart from the core's decoders so that a mistake there shows up here.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace murvik::sim {

using Bytes = std::vector<std::uint8_t>;

namespace cmd {
constexpr std::uint16_t REGISTER = 0x800C;
constexpr std::uint16_t REG_CHALLENGE = 0x8003;
constexpr std::uint16_t REG_RESPONSE = 0x8004;
constexpr std::uint16_t REG_OK = 0x8005;
constexpr std::uint16_t REDIRECT = 0x800A;
constexpr std::uint16_t QUERY_IOSERVER = 0x8008;
constexpr std::uint16_t QUERY_IOSERVER_ACK = 0xC008;
constexpr std::uint16_t PING = 0xAF00;
constexpr std::uint16_t PING_ACK = 0xAF01;
constexpr std::uint16_t QUERY_PARAM = 0xAF10;
constexpr std::uint16_t PARAM_ACK = 0xAF11;
constexpr std::uint16_t QUERY_INFO = 0xAF12;
constexpr std::uint16_t INFO_ACK = 0xAF13;
constexpr std::uint16_t IOSERVER_LOST = 0xAF81;
constexpr std::uint16_t ECHO = 0xFF02;
constexpr std::uint16_t ECHO_ACK = 0xFF00;
constexpr std::uint16_t NAK = 0xFF01;
constexpr std::uint16_t NAK_EX = 0xFF03;
constexpr std::uint16_t COM_DATA = 0xA000;
constexpr std::uint16_t COM_DATA_FROM_MODULE = 0xA001;
constexpr std::uint16_t COM_DATA_ACK = 0xA002;
constexpr std::uint16_t COM_DATA_ACK_FROM_MODULE = 0xA003;
constexpr std::uint16_t COM_CONFIG = 0xA010;
constexpr std::uint16_t COM_CONFIG_ACK = 0xA011;
constexpr std::uint16_t NET_DATA = 0xA100;
constexpr std::uint16_t NET_DATA_FROM_MODULE = 0xA101;
constexpr std::uint16_t NET_DATA_ACK = 0xA103;
constexpr std::uint16_t NET_CONFIG = 0xA110;
constexpr std::uint16_t NET_CONFIG_ACK = 0xA111;
}  // namespace cmd

// "REGISTER", ... or "UNKNOWN".
const char* CommandName(std::uint16_t command);

constexpr std::size_t kHeader = 16;

struct Head {
  std::uint32_t sid = 0;
  std::uint32_t ioServerId = 0;
  std::uint32_t seq = 0;
  std::uint16_t command = 0;
  std::uint16_t length = 0;
};

// nullopt below 16 bytes.
std::optional<Head> ReadHead(const std::uint8_t* d, std::size_t n);
// size == 16 + length.
bool SizeMatches(const std::uint8_t* d, std::size_t n);

// ---- from the PC ----
// Each decoder checks the exact size and the fixed fields; on failure it answers nullopt and
// says why in `why`.
struct RegisterRequest {
  std::string sn;
  std::string clientName;
};
std::optional<RegisterRequest> DecodeRegister(const std::uint8_t* d, std::size_t n, std::string& why);

struct RegResponse {
  std::uint32_t sid;
  std::string sn;
  std::string clientName;
  std::array<std::uint8_t, 16> digest;
};
std::optional<RegResponse> DecodeRegResponse(const std::uint8_t* d, std::size_t n, std::string& why);

struct QueryIOServer {
  std::uint32_t sid;
  std::uint16_t first;
  std::uint16_t maxCount;
};
std::optional<QueryIOServer> DecodeQueryIOServer(const std::uint8_t* d, std::size_t n, std::string& why);

// PING, QUERY_PARAM, QUERY_INFO, ECHO and the goodbye NAK: a bare 16-byte header.
std::optional<Head> DecodeBare(const std::uint8_t* d, std::size_t n, std::string& why);

using Ipv4Octets = std::array<std::uint8_t, 4>;  // first octet first
using Mac = std::array<std::uint8_t, 6>;

// NET_CONFIG: SET_IP (operation 0, 112 bytes) or GET_PORT_INFO (operation 1, 20 bytes), group
// 0x0020, SEQ_ID 0, reserved bytes zero.
struct PcNetConfig {
  std::uint16_t operation = 0;
  Ipv4Octets ip{}, mask{}, ipMin{}, ipMax{};  // SET_IP only
};
std::optional<PcNetConfig> DecodePcNetConfig(const std::uint8_t* d, std::size_t n, std::string& why);

// The largest frame a port carries, without its frame check sequence.
constexpr std::size_t kMaxEthernetFrame = 1514;
constexpr std::size_t kEthernetHeader = 14;

// NET_DATA from the PC (size already matched to its length): the port field and one frame of
// 14..1514 bytes.
struct PcNetData {
  std::uint16_t portField;
  const std::uint8_t* frame;  // into the datagram
  std::size_t size;
};
std::optional<PcNetData> DecodePcNetData(const std::uint8_t* d, std::size_t n, std::string& why);

// ---- to the PC ----
Bytes Encode(std::uint16_t command, const Bytes& payload, std::uint32_t sid = 0, std::uint32_t ioServerId = 0,
             std::uint32_t seq = 0);
Bytes EncodeRegChallenge(std::uint32_t sid, const std::array<std::uint8_t, 32>& challenge);
Bytes EncodeRegOk(std::uint32_t sid);
// 17 filler bytes, then the zero-terminated text at offset 33.
Bytes EncodeRedirect(std::uint32_t sid, const std::string& target);
// Always 28 bytes; the id field is 0 when count is 0.
Bytes EncodeQueryIOServerAck(std::uint32_t sid, std::uint16_t first, std::uint16_t count, std::uint16_t total,
                             std::uint32_t firstId);
Bytes EncodePingAck(std::uint32_t sid, std::uint32_t ioServerId, std::uint32_t seq);
Bytes EncodeParamAck(std::uint32_t sid, std::uint32_t ioServerId, const std::string& devType,
                     const std::string& devSubType, std::uint16_t firmware, std::uint8_t features);
// 4 filler bytes, then the text.
Bytes EncodeInfoAck(std::uint32_t sid, std::uint32_t ioServerId, const std::string& text);
Bytes EncodeIOServerLost(std::uint32_t sid);
Bytes EncodeEchoAck(std::uint32_t sid, std::uint32_t seq);
Bytes EncodeNak(std::uint32_t sid);
Bytes EncodeNakEx(std::uint32_t sid, std::uint16_t reason);
// Serial port answers; ids are stamped by the module.
enum class ConfigAckForm { New, Old, Refuse };
Bytes EncodeComConfigAck(std::uint16_t channel, ConfigAckForm form);
Bytes EncodeComDataFromModule(std::uint32_t seq, std::uint8_t channel, const std::uint8_t* data, std::size_t n);
Bytes EncodeComDataAckFromModule(std::uint32_t seq, std::uint8_t channel);
// Ethernet port answers: NET_CONFIG_ACK for operation 0 (20 bytes) or 1 (28 bytes, the MAC at 22).
Bytes EncodeNetConfigAck(std::uint16_t operation, const Mac& mac);
// NET_DATA from the module: port field 0, the frame, its frame check sequence.
Bytes EncodeNetDataFromModule(std::uint32_t seq, const std::uint8_t* frame, std::size_t n);

}  // namespace murvik::sim
