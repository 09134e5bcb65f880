#pragma once
// The persistent record of the port pairs: which pair indexes exist, the COM number of each A
// end, the pin options last asked for, and the bitmap of taken COM numbers.
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace murvik::driver {

struct PairRecord {
  int index = 0;
  int com = 0;
  // Per end ("CNCA", "CNCB"): option name -> value, as the change command set them.
  std::map<std::string, std::map<std::string, std::string>> pins;
};

struct PairState {
  std::vector<PairRecord> pairs;  // ascending index
  // Bit n (byte n / 8, bit n % 8) set = COMn taken.
  std::array<std::uint8_t, 32> comDb{};

  PairRecord* Find(int index);
  int FreeIndex() const;
  // Lowest free COM number from COM1; 0 when all are taken.
  int FreeCom() const;
  bool ComTaken(int com) const;
  void SetCom(int com, bool taken);
};

std::string StateToJson(const PairState& state);
// nullopt when the text is not a state record.
std::optional<PairState> StateFromJson(const std::string& text);

// The state file and its lock file in the driver state directory.
std::string StateFilePath();
std::string StateLockPath();
// An absent file is an empty state; a damaged one too (with a message on stderr).
PairState LoadState();
bool SaveState(const PairState& state, std::string* errorText);

}  // namespace murvik::driver
