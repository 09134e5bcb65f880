#pragma once
// The line commands read on standard input. Each answers one line: "OK <command>",
// "ERR <why>", or for stats the JSON line itself.
#include <string>

namespace murvik::sim {

class Simulator;

struct CommandResult {
  std::string reply;
  bool quit = false;
};

CommandResult RunCommand(Simulator& sim, const std::string& line);

}  // namespace murvik::sim
