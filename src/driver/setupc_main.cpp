// driver/setupc: creates, lists, changes and removes virtual serial port pairs. Each pair has a
// holder process that keeps its hidden end, so the visible path works with no session running.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "driver/setupc_state.h"
#include "platform/paths.h"
#include "platform/serial_pair.h"

namespace {

using murvik::driver::PairRecord;
using murvik::driver::PairState;
namespace platform = murvik::platform;

const char kUsage[] =
    "Usage: setupc <command>\n"
    "  LIST                          list the port pairs, one line per port end\n"
    "  INSTALL PortName=COM# -       create a pair; its A end gets the lowest free COM name\n"
    "  INSTALL PortName=COM<n> -     create a pair whose A end is COM<n>\n"
    "  remove <n>                    remove pair n\n"
    "  change CNCA<n>|CNCB<n> <opts> record pin options (cts=...,dsr=...) of one port end\n"
    "  hold <n>                      keep the hidden end of pair n (started by the other commands)\n"
    "  --help                        this text\n"
    "Linux pseudo-terminals have no modem lines: pin options are recorded, not wired.\n";

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool ParseNumber(const std::string& s, int* out) {
  if (s.empty() || s.size() > 6 || s.find_first_not_of("0123456789") != std::string::npos) return false;
  *out = std::stoi(s);
  return true;
}

std::string Options(const std::map<std::string, std::string>& pins) {
  std::string out;
  for (const auto& [name, value] : pins) out += "," + name + "=" + value;
  return out;
}

void PrintPair(const PairRecord& p) {
  auto a = p.pins.find("CNCA");
  auto b = p.pins.find("CNCB");
  std::printf("       CNCA%d PortName=COM#,RealPortName=COM%d%s\n", p.index, p.com,
              a == p.pins.end() ? "" : Options(a->second).c_str());
  std::printf("       CNCB%d PortName=-%s\n", p.index, b == p.pins.end() ? "" : Options(b->second).c_str());
}

// Starts the pair's holder when none answers, and waits until one does.
bool EnsureHolder(int index) {
  std::string state = platform::DriverStateDir();
  if (platform::PairHolderRunning(state, index)) return true;
  std::string self = platform::JoinPath(platform::ProgramDir(), "setupc");
  if (!platform::StartDetached({self, "hold", std::to_string(index)})) return false;
  for (int i = 0; i < 200; ++i) {
    if (platform::PairHolderRunning(state, index)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

bool Save(const PairState& state) {
  std::string error;
  if (murvik::driver::SaveState(state, &error)) return true;
  std::fprintf(stderr, "setupc: cannot write %s: %s\n", murvik::driver::StateFilePath().c_str(), error.c_str());
  return false;
}

int List() {
  platform::FileLock lock(murvik::driver::StateLockPath());
  PairState state = murvik::driver::LoadState();
  for (const auto& p : state.pairs) {
    if (!EnsureHolder(p.index)) std::fprintf(stderr, "setupc: pair %d: holder did not start\n", p.index);
    PrintPair(p);
  }
  return 0;
}

int Install(const std::vector<std::string>& args) {
  if (args.size() != 2 || Upper(args[0]).rfind("PORTNAME=COM", 0) != 0) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  platform::FileLock lock(murvik::driver::StateLockPath());
  PairState state = murvik::driver::LoadState();
  std::string wanted = Upper(args[0]).substr(12);
  int com = 0;
  if (wanted == "#") {
    com = state.FreeCom();
  } else if (!ParseNumber(wanted, &com) || com < 1 || com > 255 || state.ComTaken(com)) {
    std::fprintf(stderr, "setupc: COM%s is not free\n", wanted.c_str());
    return 1;
  }
  if (com == 0) {
    std::fputs("setupc: no free COM number\n", stderr);
    return 1;
  }
  PairRecord pair;
  pair.index = state.FreeIndex();
  pair.com = com;
  state.SetCom(com, true);
  state.pairs.push_back(pair);
  std::sort(state.pairs.begin(), state.pairs.end(),
            [](const PairRecord& a, const PairRecord& b) { return a.index < b.index; });
  if (!Save(state)) return 1;
  if (!EnsureHolder(pair.index)) std::fprintf(stderr, "setupc: pair %d: holder did not start\n", pair.index);
  PrintPair(pair);
  return 0;
}

int Remove(const std::vector<std::string>& args) {
  int index = 0;
  if (args.size() != 1 || !ParseNumber(args[0], &index)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  platform::FileLock lock(murvik::driver::StateLockPath());
  PairState state = murvik::driver::LoadState();
  PairRecord* pair = state.Find(index);
  if (pair == nullptr) {
    std::fprintf(stderr, "setupc: no pair %d\n", index);
    return 1;
  }
  platform::StopPairHolder(platform::DriverStateDir(), index);
  std::remove(platform::PairVisiblePath(platform::DevDir(), pair->com).c_str());
  state.SetCom(pair->com, false);
  std::erase_if(state.pairs, [&](const PairRecord& p) { return p.index == index; });
  return Save(state) ? 0 : 1;
}

int Change(const std::vector<std::string>& args) {
  if (args.size() != 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::string end = Upper(args[0]);
  int index = 0;
  if (end.size() < 5 || (end.rfind("CNCA", 0) != 0 && end.rfind("CNCB", 0) != 0) || !ParseNumber(end.substr(4), &index)) {
    std::fprintf(stderr, "setupc: bad port end %s\n", args[0].c_str());
    return 2;
  }
  platform::FileLock lock(murvik::driver::StateLockPath());
  PairState state = murvik::driver::LoadState();
  PairRecord* pair = state.Find(index);
  if (pair == nullptr) {
    std::fprintf(stderr, "setupc: no pair %d\n", index);
    return 1;
  }
  auto& pins = pair->pins[end.substr(0, 4)];
  std::string opts = args[1];
  std::size_t pos = 0;
  while (pos <= opts.size()) {
    std::size_t comma = opts.find(',', pos);
    if (comma == std::string::npos) comma = opts.size();
    std::string field = opts.substr(pos, comma - pos);
    pos = comma + 1;
    auto eq = field.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    pins[field.substr(0, eq)] = field.substr(eq + 1);
  }
  if (!Save(state)) return 1;
  PrintPair(*pair);
  return 0;
}

int Hold(const std::vector<std::string>& args) {
  int index = 0;
  if (args.size() != 1 || !ParseNumber(args[0], &index)) return 2;
  PairState state = murvik::driver::LoadState();
  PairRecord* pair = state.Find(index);
  if (pair == nullptr) return 1;
  return platform::RunPairHolder(platform::DriverStateDir(), platform::DevDir(), index, pair->com);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    std::fputs(kUsage, args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  std::string command = Upper(args[0]);
  std::vector<std::string> rest(args.begin() + 1, args.end());
  platform::MakeDirs(platform::DriverStateDir());
  if (command == "LIST") return List();
  if (command == "INSTALL") return Install(rest);
  if (command == "REMOVE") return Remove(rest);
  if (command == "CHANGE") return Change(rest);
  if (command == "HOLD") return Hold(rest);
  std::fprintf(stderr, "setupc: unknown command %s\n", args[0].c_str());
  std::fputs(kUsage, stderr);
  return 2;
}
