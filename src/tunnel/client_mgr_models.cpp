// Creating sessions with the channels of their model.
#include "config/module_tables.h"
#include "tunnel/client_mgr.h"
#include "tunnel/com_chanel.h"
#include "tunnel/net_chanel.h"

namespace murvik {

std::unique_ptr<TClient> TClientMgr::CreateIOServer(std::int32_t row) {
  if (row < 0 || static_cast<std::size_t>(row) >= kIOServerInfo.size()) return nullptr;
  const TIOServerInfo& info = kIOServerInfo[static_cast<std::size_t>(row)];
  auto session = std::make_unique<TClient>(info.modelId);
  if (info.serialPorts >= 3)
    for (const char* dport : {"COM1", "COM2", "COM3"}) session->channels.push_back(std::make_unique<TComChanel>(dport));
  if (info.ethernetPorts >= 1) session->channels.push_back(std::make_unique<TNetChanel>());
  return session;
}

std::unique_ptr<TClient> TClientMgr::FindModel(std::int32_t modelId) {
  for (std::size_t row = 0; row < kIOServerInfo.size(); ++row)
    if (kIOServerInfo[row].modelId == modelId) return CreateIOServer(static_cast<std::int32_t>(row));
  return nullptr;
}

void TClientMgr::FillModelNames(std::vector<std::string>& names) {
  for (const auto& row : kIOServerInfo) names.emplace_back(row.modelName);
}

}  // namespace murvik
