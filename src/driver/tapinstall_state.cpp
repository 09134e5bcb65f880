#include "driver/tapinstall_state.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <set>

#include "platform/paths.h"
#include "platform/random.h"

namespace murvik::driver {

namespace {

constexpr char kInstancePrefix[] = "ROOT\\NET\\";
constexpr int kMaxInterfaceDigits = 4;

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool Digits(const std::string& s, std::size_t from, std::size_t count) {
  if (s.size() != from + count) return false;
  return std::all_of(s.begin() + static_cast<long>(from), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string InstanceId(int n) {
  char text[32];
  std::snprintf(text, sizeof text, "%s%04d", kInstancePrefix, n);
  return text;
}

bool ValidInstanceId(const std::string& s) {
  return s.rfind(kInstancePrefix, 0) == 0 && Digits(s, sizeof kInstancePrefix - 1, 4);
}

bool ValidGuid(const std::string& s) {
  if (s.size() != 38 || s.front() != '{' || s.back() != '}') return false;
  for (std::size_t i = 1; i < 37; ++i) {
    bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    if (dash ? s[i] != '-' : !std::isxdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

// Only names of our own pattern: the tool brings recorded interfaces up and down.
bool ValidConnectionName(const std::string& s) {
  const std::size_t prefix = sizeof kInterfacePrefix - 1;
  if (s.rfind(kInterfacePrefix, 0) != 0 || s.size() <= prefix || s.size() > prefix + kMaxInterfaceDigits) return false;
  return Digits(s, prefix, s.size() - prefix);
}

// A colon or a line break would break the find lines the manager parses.
bool ValidText(const std::string& s, bool blanksAllowed) {
  if (s.empty()) return false;
  return std::none_of(s.begin(), s.end(), [&](char c) {
    auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F || c == ':' || (!blanksAllowed && c == ' ');
  });
}

}  // namespace

AdapterRecord* AdapterState::Find(const std::string& instanceId) {
  const std::string wanted = Upper(instanceId);
  for (auto& a : adapters) {
    if (Upper(a.instanceId) == wanted) return &a;
  }
  return nullptr;
}

std::string AdapterState::FreeInstanceId() const {
  for (int n = 0; n <= 9999; ++n) {
    std::string id = InstanceId(n);
    if (std::none_of(adapters.begin(), adapters.end(), [&](const AdapterRecord& a) { return Upper(a.instanceId) == id; }))
      return id;
  }
  return std::string();
}

std::string AdapterDescription(int n) {
  return n <= 1 ? std::string(kAdapterDescription) : std::string(kAdapterDescription) + " #" + std::to_string(n);
}

std::string AdapterState::FreeDescription() const {
  for (int n = 1;; ++n) {
    std::string text = AdapterDescription(n);
    if (std::none_of(adapters.begin(), adapters.end(), [&](const AdapterRecord& a) { return a.description == text; }))
      return text;
  }
}

std::string AdapterState::FreeConnectionName(const std::function<bool(const std::string&)>& inUse) const {
  for (int n = 0; n < 10000; ++n) {
    std::string name = kInterfacePrefix + std::to_string(n);
    bool recorded =
        std::any_of(adapters.begin(), adapters.end(), [&](const AdapterRecord& a) { return a.connectionName == name; });
    if (!recorded && !(inUse && inUse(name))) return name;
  }
  return std::string();
}

std::string NewAdapterGuid() {
  unsigned char b[16];
  if (platform::SecureRandom(b, sizeof b) != sizeof b) return std::string();
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4: random
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
  char text[40];
  std::snprintf(text, sizeof text, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return text;
}

std::string AdapterStateToJson(const AdapterState& state) {
  nlohmann::json j;
  j["adapters"] = nlohmann::json::array();
  for (const auto& a : state.adapters) {
    j["adapters"].push_back({{"InstanceId", a.instanceId},
                             {"InstanceGuid", a.guid},
                             {"Description", a.description},
                             {"ComponentId", a.componentId},
                             {"ConnectionName", a.connectionName},
                             {"Disabled", a.disabled}});
  }
  return j.dump(2) + "\n";
}

std::optional<AdapterState> AdapterStateFromJson(const std::string& text) {
  auto j = nlohmann::json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  AdapterState state;
  std::set<std::string> ids, names;
  try {
    const auto& list = j.at("adapters");
    if (!list.is_array()) return std::nullopt;
    for (const auto& a : list) {
      AdapterRecord r;
      r.instanceId = a.at("InstanceId").get<std::string>();
      r.guid = a.at("InstanceGuid").get<std::string>();
      r.description = a.at("Description").get<std::string>();
      r.componentId = a.at("ComponentId").get<std::string>();
      r.connectionName = a.at("ConnectionName").get<std::string>();
      r.disabled = a.value("Disabled", false);
      if (!ValidInstanceId(r.instanceId) || !ValidGuid(r.guid) || !ValidText(r.description, true) ||
          !ValidText(r.componentId, false) || !ValidConnectionName(r.connectionName))
        return std::nullopt;
      if (!ids.insert(Upper(r.instanceId)).second || !names.insert(r.connectionName).second) return std::nullopt;
      state.adapters.push_back(std::move(r));
    }
  } catch (const std::exception&) {
    return std::nullopt;
  }
  std::sort(state.adapters.begin(), state.adapters.end(),
            [](const AdapterRecord& a, const AdapterRecord& b) { return a.instanceId < b.instanceId; });
  return state;
}

std::string AdapterStateFilePath() { return platform::JoinPath(platform::DriverStateDir(), "adapters.json"); }
std::string AdapterStateLockPath() { return platform::JoinPath(platform::DriverStateDir(), "adapters.lock"); }

std::optional<AdapterState> LoadAdapterState(std::string* errorText) {
  const std::string path = AdapterStateFilePath();
  std::string text;
  if (!platform::ReadFile(path, &text)) {
    if (!platform::FileExists(path)) return AdapterState{};
    if (errorText != nullptr) *errorText = "cannot read " + path;
    return std::nullopt;
  }
  auto state = AdapterStateFromJson(text);
  if (!state && errorText != nullptr) *errorText = path + " is damaged; fix or delete it";
  return state;
}

bool SaveAdapterState(const AdapterState& state, std::string* errorText) {
  return platform::WriteFileAtomic(AdapterStateFilePath(), AdapterStateToJson(state), 0600, errorText);
}

}  // namespace murvik::driver
