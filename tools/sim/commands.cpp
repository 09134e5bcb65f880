#include "commands.h"

#include <sstream>
#include <vector>

#include "server.h"

namespace murvik::sim {

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
