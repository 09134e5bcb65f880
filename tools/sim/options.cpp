#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "ethernet_port.h"
#include "serial_devices.h"

namespace murvik::sim {

namespace {

bool ParseUnsigned(const std::string& text, std::uint64_t max, std::uint64_t& out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v > max) return false;
  out = v;
  return true;
}

bool ParsePercent(const std::string& text, double& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !(v >= 0 && v <= 100)) return false;
  out = v;
  return true;
}

bool ParseRefusal(const std::string& text, Refusal& out) {
  if (text == "nak") {
    out = Refusal{true, 0};
    return true;
  }
  std::uint64_t v = 0;
  if (!ParseUnsigned(text, 0xFFFF, v)) return false;
  out = Refusal{false, static_cast<std::uint16_t>(v)};
  return true;
}

bool IsAscii(const std::string& s) {
  for (unsigned char c : s)
    if (c < 0x20 || c > 0x7E) return false;
  return true;
}

// One module field from either source; values arrive as text.
bool SetModuleField(ModuleConfig& m, const std::string& key, const std::string& value, std::string& error) {
  std::uint64_t v = 0;
  if (key == "sn") {
    if (value.empty() || value.size() > 31 || !IsAscii(value)) {
      error = "sn must be 1 to 31 printable ASCII characters";
      return false;
    }
    m.sn = value;
  } else if (key == "password") {
    if (value.size() > 15 || !IsAscii(value)) {
      error = "password must be at most 15 printable ASCII characters";
      return false;
    }
    m.password = value;
  } else if (key == "devtype" || key == "devsubtype") {
    if (value.size() > 15 || !IsAscii(value)) {
      error = key + " must be at most 15 printable ASCII characters";
      return false;
    }
    (key == "devtype" ? m.devType : m.devSubType) = value;
  } else if (key == "firmware") {
    if (!ParseUnsigned(value, 0xFFFF, v)) {
      error = "firmware must be 0..65535 (tenths)";
      return false;
    }
    m.firmware = static_cast<std::uint16_t>(v);
  } else if (key == "features") {
    if (!ParseUnsigned(value, 0xFF, v)) {
      error = "features must be 0..255";
      return false;
    }
    m.features = static_cast<std::uint8_t>(v);
  } else if (key == "id") {
    if (!ParseUnsigned(value, 0xFFFFFFFFull, v)) {
      error = "id must be 0..4294967295";
      return false;
    }
    m.id = static_cast<std::uint32_t>(v);
  } else if (key == "refuse") {
    Refusal r;
    if (value == "none" || value.empty()) {
      m.refuse.reset();
    } else if (ParseRefusal(value, r)) {
      m.refuse = r;
    } else {
      error = "refuse must be a NAK_EX reason number or 'nak'";
      return false;
    }
  } else if (key == "online") {
    if (value != "0" && value != "1") {
      error = "online must be 0 or 1";
      return false;
    }
    m.online = value == "1";
  } else if (key == "com1" || key == "com2" || key == "com3") {
    if (value != "none" && !IsSerialDeviceKind(value)) {
      error = key + " must be echo, null, pty, ppi, ppi:ADDR (ADDR 0..126) or none";
      return false;
    }
    m.com[static_cast<std::size_t>(key[3] - '1')] = value;
  } else if (key == "comack") {
    if (value == "new") m.comAck = ConfigAckForm::New;
    else if (value == "old") m.comAck = ConfigAckForm::Old;
    else if (value == "refuse") m.comAck = ConfigAckForm::Refuse;
    else {
      error = "comack must be new, old or refuse";
      return false;
    }
  } else if (key == "eth") {
    std::string tap;
    if (!ParseEthernetKind(value, tap)) {
      error = "eth must be none, null or tap:NAME (NAME 1 to 15 of A-Z a-z 0-9 _ . -)";
      return false;
    }
    m.eth = value;
  } else if (key == "mac") {
    Mac mac{};
    if (!ParseMac(value, mac)) {
      error = "mac must be six hex byte pairs separated by ':' or '-', unicast and not all zero";
      return false;
    }
    m.mac = mac;
  } else if (key == "ignoresetip" || key == "ignoreportinfo") {
    if (!ParseUnsigned(value, 0xFFFFFFFFull, v)) {
      error = key + " must be a count 0..4294967295";
      return false;
    }
    (key == "ignoresetip" ? m.ignoreSetIp : m.ignorePortInfo) = static_cast<std::uint32_t>(v);
  } else {
    error = "unknown module key '" + key + "'";
    return false;
  }
  return true;
}

bool CheckModule(const ModuleConfig& m, std::string& error) {
  if (m.sn.empty()) {
    error = "module without sn";
    return false;
  }
  return true;
}

std::string JsonText(const nlohmann::json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_boolean()) return v.get<bool>() ? "1" : "0";
  if (v.is_number_unsigned()) return std::to_string(v.get<std::uint64_t>());
  if (v.is_number_integer()) return std::to_string(v.get<std::int64_t>());
  return v.dump();
}

bool LoadConfig(const std::string& path, Options& o, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read " + path;
    return false;
  }
  nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    error = path + ": not a JSON object";
    return false;
  }
  auto number = [&](const char* key, std::uint64_t max, std::uint64_t& out) {
    if (!j.contains(key)) return true;
    if (!j[key].is_number_unsigned() || j[key].get<std::uint64_t>() > max) {
      error = path + ": " + key + " must be a number up to " + std::to_string(max);
      return false;
    }
    out = j[key].get<std::uint64_t>();
    return true;
  };
  std::uint64_t v = o.loginPort;
  if (!number("login_port", 65535, v)) return false;
  o.loginPort = static_cast<std::uint16_t>(v);
  if (j.contains("relay_port")) {
    if (!number("relay_port", 65535, v)) return false;
    o.relayPort = static_cast<std::uint16_t>(v);
  }
  v = o.seed;
  if (!number("seed", UINT64_MAX, v)) return false;
  o.seed = v;
  v = o.sessionTimeoutS;
  if (!number("session_timeout", 86400, v)) return false;
  o.sessionTimeoutS = static_cast<std::uint32_t>(v);
  for (const char* key : {"drop", "dup"}) {
    if (!j.contains(key)) continue;
    double pct = 0;
    if (!j[key].is_number() || !ParsePercent(JsonText(j[key]), pct)) {
      error = path + ": " + key + " must be a percentage 0..100";
      return false;
    }
    (std::string(key) == "drop" ? o.dropPct : o.dupPct) = pct;
  }
  for (const char* key : {"bind", "redirect_text", "record"}) {
    if (!j.contains(key)) continue;
    if (!j[key].is_string()) {
      error = path + ": " + key + " must be a string";
      return false;
    }
    std::string s = j[key].get<std::string>();
    if (std::string(key) == "bind") o.bind = s;
    else if (std::string(key) == "redirect_text") o.redirectText = s;
    else o.recordPath = s;
  }
  if (j.contains("modules")) {
    if (!j["modules"].is_array()) {
      error = path + ": modules must be an array";
      return false;
    }
    for (const auto& jm : j["modules"]) {
      if (!jm.is_object()) {
        error = path + ": each module must be an object";
        return false;
      }
      if (!jm.contains("password")) {
        error = path + ": module needs a password";
        return false;
      }
      ModuleConfig m;
      for (const auto& [key, value] : jm.items()) {
        if (!SetModuleField(m, key, JsonText(value), error)) {
          error = path + ": " + error;
          return false;
        }
      }
      if (!CheckModule(m, error)) {
        error = path + ": " + error;
        return false;
      }
      o.modules.push_back(m);
    }
  }
  return true;
}

}  // namespace

bool ParseModuleSpec(const std::string& spec, ModuleConfig& out, std::string& error) {
  ModuleConfig m;
  std::stringstream ss(spec);
  std::string item;
  bool havePassword = false;
  while (std::getline(ss, item, ',')) {
    auto eq = item.find('=');
    if (eq == std::string::npos) {
      error = "module item '" + item + "' is not key=value";
      return false;
    }
    std::string key = item.substr(0, eq);
    if (key == "SN") key = "sn";
    if (!SetModuleField(m, key, item.substr(eq + 1), error)) return false;
    if (key == "password") havePassword = true;
  }
  if (!havePassword) {
    error = "module needs a password";
    return false;
  }
  if (!CheckModule(m, error)) return false;
  out = m;
  return true;
}

ParseResult ParseCommandLine(int argc, char** argv, Options& out, std::string& error) {
  std::vector<std::string> args(argv + 1, argv + argc);
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--help" || args[i] == "-h") return ParseResult::Help;
    if (args[i] == "--config") {
      if (i + 1 >= args.size()) {
        error = "--config needs a file";
        return ParseResult::Error;
      }
      if (!LoadConfig(args[i + 1], o, error)) return ParseResult::Error;
    }
  }
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (i + 1 >= args.size()) {
      error = "unknown argument or missing value: " + a;
      return ParseResult::Error;
    }
    const std::string& v = args[++i];
    std::uint64_t n = 0;
    auto bad = [&](const std::string& what) {
      error = a + " " + what + " (got '" + v + "')";
      return ParseResult::Error;
    };
    if (a == "--config") {
      // already read
    } else if (a == "--bind") {
      o.bind = v;
    } else if (a == "--login-port") {
      if (!ParseUnsigned(v, 65535, n)) return bad("needs a port 0..65535");
      o.loginPort = static_cast<std::uint16_t>(n);
    } else if (a == "--relay-port") {
      if (!ParseUnsigned(v, 65535, n)) return bad("needs a port 0..65535");
      o.relayPort = static_cast<std::uint16_t>(n);
    } else if (a == "--redirect-text") {
      o.redirectText = v;
    } else if (a == "--module") {
      ModuleConfig m;
      if (!ParseModuleSpec(v, m, error)) {
        error = "--module " + v + ": " + error;
        return ParseResult::Error;
      }
      bool replaced = false;
      for (auto& existing : o.modules) {
        if (existing.sn == m.sn) {
          existing = m;
          replaced = true;
        }
      }
      if (!replaced) o.modules.push_back(m);
    } else if (a == "--seed") {
      if (!ParseUnsigned(v, UINT64_MAX, n)) return bad("needs a number");
      o.seed = n;
    } else if (a == "--drop") {
      if (!ParsePercent(v, o.dropPct)) return bad("needs a percentage 0..100");
    } else if (a == "--dup") {
      if (!ParsePercent(v, o.dupPct)) return bad("needs a percentage 0..100");
    } else if (a == "--record") {
      o.recordPath = v;
    } else if (a == "--session-timeout") {
      if (!ParseUnsigned(v, 86400, n) || n == 0) return bad("needs seconds 1..86400");
      o.sessionTimeoutS = static_cast<std::uint32_t>(n);
    } else {
      error = "unknown argument: " + a;
      return ParseResult::Error;
    }
  }
  std::set<std::string> sns;
  std::set<std::uint32_t> ids;
  std::set<std::string> taps;
  for (std::size_t i = 0; i < o.modules.size(); ++i) {
    auto& m = o.modules[i];
    if (!sns.insert(m.sn).second) {
      error = "module " + m.sn + " configured twice";
      return ParseResult::Error;
    }
    if (!m.id) m.id = 1000 + static_cast<std::uint32_t>(i);
    if (!ids.insert(*m.id).second) {
      error = "module id " + std::to_string(*m.id) + " used twice";
      return ParseResult::Error;
    }
    // Two attachments to one interface would fail at start; say why here instead.
    std::string tap;
    if (ParseEthernetKind(m.eth, tap) && !tap.empty() && !taps.insert(tap).second) {
      error = "TAP interface " + tap + " given to two modules";
      return ParseResult::Error;
    }
  }
  out = o;
  return ParseResult::Run;
}

const char* UsageText() {
  return "usage: murvik-sim [options]\n"
         "Simulates the far side of the tunnel: a login server, an optional relay and the\n"
         "modules behind them, on UDP. Prints 'READY login=<port> relay=<port or 0>' once\n"
         "every socket listens, then reads commands on standard input. Stops on SIGTERM,\n"
         "SIGINT or the 'quit' command (not at the end of standard input).\n"
         "\n"
         "options:\n"
         "  --bind ADDR            IPv4 address to listen on (default 127.0.0.1)\n"
         "  --login-port N         login server port (default 7250; 0 picks a free one)\n"
         "  --relay-port N         run a relay on port N (0 picks a free one); the login\n"
         "                         server then answers a good REG_RESPONSE with REDIRECT\n"
         "  --redirect-text TEXT   target text of REDIRECT (default 127.0.0.1:<relay port>)\n"
         "  --module SPEC          add a module; SPEC is key=value items separated by commas:\n"
         "                           sn=SN              serial number (required)\n"
         "                           password=PWD       password, at most 15 characters (required)\n"
         "                           devtype=TEXT       default DLXK2-4G\n"
         "                           devsubtype=TEXT    default N2W\n"
         "                           firmware=N         version in tenths, default 31 (V3.1)\n"
         "                           features=N         feature bits, default 1 (answers QUERY_INFO)\n"
         "                           id=N               IOServer id, default 1000 + module index\n"
         "                           refuse=R           answer a good REG_RESPONSE with NAK_EX\n"
         "                                              reason R (1, 3, 11, 15, ...) or 'nak'\n"
         "                           online=0|1         start offline (default 1)\n"
         "                           com1=K, com2=K, com3=K\n"
         "                                              what sits on that serial port:\n"
         "                                              echo  returns every data byte to the PC\n"
         "                                              null  swallows them (default)\n"
         "                                              pty   a pseudo-terminal: prints\n"
         "                                                    'PTY COM<n> <slave path>' before\n"
         "                                                    READY (modules in order); the PC's\n"
         "                                                    bytes are written to it, what a\n"
         "                                                    program writes to the slave goes\n"
         "                                                    to the PC\n"
         "                                              ppi   a PPI station (S7-200 slave) at\n"
         "                                                    address 2; ppi:ADDR puts it at\n"
         "                                                    ADDR (0..126). It answers SD1 FDL\n"
         "                                                    status (10 DA SA 49 ..) with\n"
         "                                                    10 SA DA 00 .., an SD2 request\n"
         "                                                    with E5, and the next SD1 poll\n"
         "                                                    (FC 5C/7C/6C) with the SD2 response\n"
         "                                                    (ROSCTR 3 to a job, 7 to user data,\n"
         "                                                    the request's PDU reference), or\n"
         "                                                    E5 when none waits. Frames for other\n"
         "                                                    addresses, too short, badly framed\n"
         "                                                    or with a wrong FCS get no answer\n"
         "                                                    and are counted under the port's\n"
         "                                                    \"device\" stats. Each COM_DATA is\n"
         "                                                    one burst: frames are not joined\n"
         "                                                    across datagrams. With PlcType 2 in\n"
         "                                                    COM_CONFIG the module polls for the\n"
         "                                                    response of a ROSCTR 1 or 7 request\n"
         "                                                    itself and sends it unasked, in a\n"
         "                                                    COM_DATA of its own after the E5's\n"
         "                                                    (what the PC's assistance expects)\n"
         "                                              none  the port ignores its packets\n"
         "                           comack=new|old|refuse\n"
         "                                              COM_CONFIG_ACK form: new (length 4,\n"
         "                                              status 0; default), old (length 2),\n"
         "                                              refuse (status 5)\n"
         "                         A serial port ignores data until the PC's COM_CONFIG is\n"
         "                         accepted; in download mode (TransMode 1) it acknowledges\n"
         "                         every COM_DATA and delivers a back-to-back repeat once.\n"
         "                           eth=none|null|tap:NAME\n"
         "                                              the Ethernet port: none ignores its\n"
         "                                              packets (default); null answers\n"
         "                                              NET_CONFIG and swallows frames;\n"
         "                                              tap:NAME makes the TAP interface NAME\n"
         "                                              (needs CAP_NET_ADMIN), brings it up\n"
         "                                              without an address and prints\n"
         "                                              'ETH <SN> tap=<NAME> mac=<MAC>' before\n"
         "                                              READY. Frames (14..1514 bytes) of the\n"
         "                                              PC's NET_DATA are written into it; what\n"
         "                                              the interface sends goes to the PC as\n"
         "                                              NET_DATA with its CRC-32 frame check\n"
         "                                              sequence, while a PC session is attached\n"
         "                                              and the module is online (else counted\n"
         "                                              as tx_no_session). The\n"
         "                                              interface may be moved into another\n"
         "                                              namespace (ip link set NAME netns NS)\n"
         "                                              while the simulator runs\n"
         "                           mac=00:1A:2B:3C:4D:5E\n"
         "                                              the Ethernet port's MAC, given in the\n"
         "                                              GET_PORT_INFO answer; default 02:00\n"
         "                                              and the IOServer id (id 1000:\n"
         "                                              02:00:00:00:03:E8)\n"
         "                           ignoresetip=N, ignoreportinfo=N\n"
         "                                              leave the first N SET_IP / GET_PORT_INFO\n"
         "                                              unanswered (default 0)\n"
         "  --config FILE          JSON configuration; the flags above override it:\n"
         "                           {\"login_port\":7250,\"relay_port\":7251,\"redirect_text\":\"..\",\n"
         "                            \"bind\":\"..\",\"seed\":1,\"drop\":0,\"dup\":0,\"record\":\"..\",\n"
         "                            \"modules\":[{\"sn\":\"12345678901\",\"password\":\"secret\",...}]}\n"
         "  --seed N               seed of the fault injection (default 1)\n"
         "  --drop PCT             drop PCT percent of the datagrams the simulator sends\n"
         "  --dup PCT              send PCT percent of them twice\n"
         "  --record FILE          write every datagram received and sent as a JSON line;\n"
         "                         a COM_DATA line carries baud, bits, parity and stop,\n"
         "                         a NET_DATA line frame_size, ethertype and port_field,\n"
         "                         a SET_IP line ip, mask, ipmin and ipmax; lines with\n"
         "                         \"dir\":\"tap\" note frames the TAP interface gave that\n"
         "                         were not sent (no session, offline, oversized) and a\n"
         "                         reader that stopped\n"
         "  --session-timeout S    seconds of silence that end a PC session (default 30)\n"
         "  --help                 this text\n"
         "\n"
         "commands on standard input (answered 'OK <command>' or 'ERR <why>'):\n"
         "  offline SN             module goes offline: IOSERVER_LOST to its PC sessions,\n"
         "                         QUERY_IOSERVER then finds nothing\n"
         "  online SN              module comes back\n"
         "  lost SN                one IOSERVER_LOST to its PC sessions, module stays online\n"
         "  nak SN                 NAK to its PC sessions (ends them)\n"
         "  nakex SN REASON        NAK_EX with REASON to its PC sessions (ends them)\n"
         "  mute SN / unmute SN    module stops / resumes answering PING\n"
         "  ignore SN setip|portinfo N\n"
         "                         the module's Ethernet port leaves the next N SET_IP or\n"
         "                         GET_PORT_INFO unanswered (0 answers again)\n"
         "  send SN PORT HEX       bytes (hex, e.g. 0102ff) from the module's serial port\n"
         "                         PORT (1..3 or COM1..COM3) to the PC, once the PC has\n"
         "                         configured it; download mode retransmits each frame every\n"
         "                         second until acknowledged, at most 10 sends\n"
         "  stats                  one JSON line of counters, with per-port counters and the\n"
         "                         line settings of the last frame under modules[].ports\n"
         "                         and the Ethernet port's under modules[].eth\n"
         "  quit                   stop\n"
         "\n"
         "examples:\n"
         "  murvik-sim --module sn=12345678901,password=secret\n"
         "  murvik-sim --login-port 0 --relay-port 0 --module sn=12345678901,password=secret \\\n"
         "             --module sn=12345678902,password=other,firmware=29 --record /tmp/sim.jsonl\n"
         "  murvik-sim --config sim.json --drop 10 --seed 7\n";
}

}  // namespace murvik::sim
