#pragma once
// The three fixed tables that give configuration values their names.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace murvik {

struct TIOServerInfo {
  std::int32_t modelId;
  const char* modelName;
  std::int32_t serialPorts;
  std::int32_t ethernetPorts;
};
// Row i has model id i.
extern const std::array<TIOServerInfo, 2> kIOServerInfo;

struct TCOMPlc {
  bool offered;
  std::int32_t plcType;
  const char* displayName;
  const char* englishName;
};
extern const std::array<TCOMPlc, 5> kCOMPlc;
// Display name of the first row with that id; "" when none.
std::string PlcTypeName(std::int32_t plcType);

struct TTransModeName {
  const char* displayName;
  const char* key;
};
// The transfer mode value is the row position: 0 transparent, 1 download.
extern const std::array<TTransModeName, 2> kTransModeName;
std::string TransModeName(std::int32_t mode);

// Device type "PAVANO" belongs to this model id, which no row carries.
constexpr std::int32_t kModelPavano = 100;

}  // namespace murvik
