#pragma once
// Command line and configuration file of murvik-sim.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "packets.h"

namespace murvik::sim {

// How a module answers a correct REG_RESPONSE when told to refuse.
struct Refusal {
  bool plainNak = false;      // a NAK instead of NAK_EX
  std::uint16_t reason = 0;   // NAK_EX reason
};

struct ModuleConfig {
  std::string sn;
  std::string password;
  std::string devType = "DLXK2-4G";
  std::string devSubType = "N2W";
  std::uint16_t firmware = 31;  // tenths
  std::uint8_t features = 1;
  std::optional<std::uint32_t> id;  // default 1000 + index
  std::optional<Refusal> refuse;
  bool online = true;
  // What sits on COM1..COM3: "echo", "null", "pty", "ppi" or "ppi:ADDR" (a PPI station at 2 or
  // ADDR), or "none" (the port ignores its packets).
  std::array<std::string, 3> com = {"null", "null", "null"};
  ConfigAckForm comAck = ConfigAckForm::New;
  // The Ethernet port: "none" (its packets are ignored), "null" (answers the configuration,
  // swallows frames) or "tap:NAME" (a TAP interface made at start).
  std::string eth = "none";
  std::optional<Mac> mac;  // unset: 02:00 followed by the IOServer id
  // SET_IP and GET_PORT_INFO requests left unanswered before the port answers again.
  std::uint32_t ignoreSetIp = 0;
  std::uint32_t ignorePortInfo = 0;
};

struct Options {
  std::string bind = "127.0.0.1";
  std::uint16_t loginPort = 7250;
  std::optional<std::uint16_t> relayPort;  // no relay unless set
  std::optional<std::string> redirectText;
  std::uint64_t seed = 1;
  double dropPct = 0;
  double dupPct = 0;
  std::string recordPath;
  std::uint32_t sessionTimeoutS = 30;
  std::vector<ModuleConfig> modules;
};

enum class ParseResult { Run, Help, Error };

// Reads --config first, then lets the other flags override it. Module ids left unset become
// 1000 + index.
ParseResult ParseCommandLine(int argc, char** argv, Options& out, std::string& error);
// Parses one --module value ("sn=..,password=..,...").
bool ParseModuleSpec(const std::string& spec, ModuleConfig& out, std::string& error);
const char* UsageText();

}  // namespace murvik::sim
