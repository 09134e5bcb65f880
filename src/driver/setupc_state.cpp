#include "driver/setupc_state.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/paths.h"

namespace murvik::driver {

PairRecord* PairState::Find(int index) {
  for (auto& p : pairs) {
    if (p.index == index) return &p;
  }
  return nullptr;
}

int PairState::FreeIndex() const {
  int index = 0;
  while (std::any_of(pairs.begin(), pairs.end(), [&](const PairRecord& p) { return p.index == index; })) ++index;
  return index;
}

bool PairState::ComTaken(int com) const {
  if (com < 0 || com > 255) return true;
  return (comDb[static_cast<std::size_t>(com / 8)] >> (com % 8)) & 1;
}

void PairState::SetCom(int com, bool taken) {
  if (com < 0 || com > 255) return;
  auto bit = static_cast<std::uint8_t>(1u << (com % 8));
  auto& byte = comDb[static_cast<std::size_t>(com / 8)];
  byte = static_cast<std::uint8_t>(taken ? (byte | bit) : (byte & ~bit));
}

int PairState::FreeCom() const {
  for (int com = 1; com <= 255; ++com) {
    if (!ComTaken(com)) return com;
  }
  return 0;
}

std::string StateToJson(const PairState& state) {
  static const char* hex = "0123456789abcdef";
  std::string db;
  for (auto b : state.comDb) {
    db += hex[b >> 4];
    db += hex[b & 15];
  }
  nlohmann::json j;
  j["ComDB"] = db;
  j["pairs"] = nlohmann::json::array();
  for (const auto& p : state.pairs) j["pairs"].push_back({{"index", p.index}, {"com", p.com}, {"pins", p.pins}});
  return j.dump(2) + "\n";
}

std::optional<PairState> StateFromJson(const std::string& text) {
  auto j = nlohmann::json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  PairState state;
  try {
    std::string db = j.value("ComDB", std::string());
    for (std::size_t i = 0; i + 1 < db.size() && i / 2 < state.comDb.size(); i += 2)
      state.comDb[i / 2] = static_cast<std::uint8_t>(std::stoul(db.substr(i, 2), nullptr, 16));
    for (const auto& p : j.value("pairs", nlohmann::json::array())) {
      PairRecord r;
      r.index = p.at("index").get<int>();
      r.com = p.at("com").get<int>();
      if (p.contains("pins")) r.pins = p["pins"].get<decltype(r.pins)>();
      state.pairs.push_back(std::move(r));
    }
  } catch (const std::exception&) {
    return std::nullopt;
  }
  std::sort(state.pairs.begin(), state.pairs.end(),
            [](const PairRecord& a, const PairRecord& b) { return a.index < b.index; });
  return state;
}

std::string StateFilePath() { return platform::JoinPath(platform::DriverStateDir(), "pairs.json"); }
std::string StateLockPath() { return platform::JoinPath(platform::DriverStateDir(), "pairs.lock"); }

PairState LoadState() {
  std::string text;
  if (!platform::ReadFile(StateFilePath(), &text)) return {};
  auto state = StateFromJson(text);
  if (!state) {
    std::fprintf(stderr, "setupc: %s is damaged, starting empty\n", StateFilePath().c_str());
    return {};
  }
  return *state;
}

bool SaveState(const PairState& state, std::string* errorText) {
  return platform::WriteFileAtomic(StateFilePath(), StateToJson(state), 0600, errorText);
}

}  // namespace murvik::driver
