#include "config/module_tables.h"

namespace murvik {

const std::array<TIOServerInfo, 2> kIOServerInfo = {{
    {0, "K2系列", 3, 1},
    {1, "K5系列", 3, 1},
}};

const std::array<TCOMPlc, 5> kCOMPlc = {{
    {false, 0, "", ""},
    {true, 1, "默认", ""},
    {true, 2, "S7-200系列", "S7-200"},
    {false, 3, "台达DVP系列", "DELTA DVP"},
    {true, 4, "三菱Q系列", "MITSUBISHI QnCPU"},
}};

const std::array<TTransModeName, 2> kTransModeName = {{
    {"透明模式", ""},
    {"下载模式", "download"},
}};

std::string PlcTypeName(std::int32_t plcType) {
  for (const auto& row : kCOMPlc)
    if (row.plcType == plcType) return row.displayName;
  return std::string();
}

std::string TransModeName(std::int32_t mode) {
  if (mode < 0 || static_cast<std::size_t>(mode) >= kTransModeName.size()) return std::string();
  return kTransModeName[static_cast<std::size_t>(mode)].displayName;
}

}  // namespace murvik
