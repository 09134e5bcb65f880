#include "commands.h"

#include <sstream>
#include <vector>

#include "server.h"

namespace murvik::sim {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHex(const std::string& text, Bytes& out) {
  if (text.empty() || text.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  return true;
}

}  // namespace

CommandResult RunCommand(Simulator& sim, const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  CommandResult out;
  if (words.empty()) {
    out.reply = "ERR empty command";
    return out;
  }
  std::string canonical = words[0];
  for (std::size_t i = 1; i < words.size(); ++i) canonical += " " + words[i];
  const std::string& verb = words[0];
  auto ok = [&] {
    out.reply = "OK " + canonical;
    return out;
  };
  auto err = [&](const std::string& why) {
    out.reply = "ERR " + why;
    return out;
  };

  if (verb == "quit") {
    if (words.size() != 1) return err("usage: quit");
    out.quit = true;
    return ok();
  }
  if (verb == "stats") {
    if (words.size() != 1) return err("usage: stats");
    out.reply = sim.StatsJson();
    return out;
  }
  if (verb == "send") {
    if (words.size() != 4) return err("usage: send SN PORT HEX");
    Module* m = sim.FindModule(words[1]);
    if (m == nullptr) return err("no module " + words[1]);
    std::string port = words[2];
    if (port.size() == 4 && (port.rfind("COM", 0) == 0 || port.rfind("com", 0) == 0)) port = port.substr(3);
    if (port != "1" && port != "2" && port != "3") return err("PORT must be 1..3 or COM1..COM3");
    Bytes data;
    if (!ParseHex(words[3], data)) return err("HEX must be an even number of hex digits");
    std::string why;
    if (!sim.SendSerial(*m, port[0] - '1', data, why)) return err(why);
    return ok();
  }
  if (verb == "ignore") {
    if (words.size() != 4 || (words[2] != "setip" && words[2] != "portinfo"))
      return err("usage: ignore SN setip|portinfo N");
    Module* m = sim.FindModule(words[1]);
    if (m == nullptr) return err("no module " + words[1]);
    const std::string& text = words[3];
    const bool digits = !text.empty() && text.size() <= 9 && text.find_first_not_of("0123456789") == std::string::npos;
    if (!digits) return err("N must be 0..999999999");
    std::string why;
    if (!sim.IgnoreNetConfig(*m, words[2] == "setip", static_cast<std::uint32_t>(std::stoul(text)), why))
      return err(why);
    return ok();
  }
  const bool needsReason = verb == "nakex";
  const bool known = verb == "offline" || verb == "online" || verb == "lost" || verb == "nak" || verb == "nakex" ||
                     verb == "mute" || verb == "unmute";
  if (!known) return err("unknown command '" + verb + "'");
  if (words.size() != (needsReason ? 3u : 2u))
    return err(needsReason ? "usage: nakex SN REASON" : "usage: " + verb + " SN");
  Module* m = sim.FindModule(words[1]);
  if (m == nullptr) return err("no module " + words[1]);

  if (verb == "offline") {
    sim.SetOffline(*m);
  } else if (verb == "online") {
    m->SetOnline(true);
  } else if (verb == "lost") {
    sim.SendLost(*m);
  } else if (verb == "nak") {
    sim.SendNak(*m);
  } else if (verb == "nakex") {
    const std::string& text = words[2];
    unsigned long reason = 0;
    bool digits = !text.empty() && text.size() <= 5 && text.find_first_not_of("0123456789") == std::string::npos;
    if (digits) reason = std::stoul(text);
    if (!digits || reason > 0xFFFF) return err("REASON must be 0..65535");
    sim.SendNakEx(*m, static_cast<std::uint16_t>(reason));
  } else if (verb == "mute") {
    m->SetMuted(true);
  } else {
    m->SetMuted(false);
  }
  return ok();
}

}  // namespace murvik::sim
