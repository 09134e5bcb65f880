// The configuration record operations of a session: copying, and the queries on its channels,
// devices and relays.
#include <algorithm>

#include "tunnel/client.h"
#include "tunnel/com_chanel.h"
#include "tunnel/net_chanel.h"

namespace murvik {

namespace {
constexpr std::size_t kNetChanelPosition = 3;
}

bool TClient::CopyConfigTo(TClient* target) const {
  if (target == nullptr || target->model != model) return false;
  // Copying onto itself would clear the device list before reading it.
  if (target == this) return true;
  target->LOGNAME = LOGNAME;
  target->LOGPORT = LOGPORT;
  target->SN = SN;
  target->PWD = PWD;
  target->NAME = NAME;
  target->BRIEF = BRIEF;
  target->relays = relays;
  target->selectedRelayId = selectedRelayId;
  const std::size_t n = std::min(channels.size(), target->channels.size());
  for (std::size_t i = 0; i < n; ++i) channels[i]->CopySettingsTo(target->channels[i].get());
  return true;
}

bool TClient::HasNetChanel() const {
  return std::any_of(channels.begin(), channels.end(), [](const auto& c) { return c->kind == TChanel::kNetwork; });
}

TNetChanel* TClient::NetChanel() const {
  if (channels.size() <= kNetChanelPosition) return nullptr;
  TChanel* c = channels[kNetChanelPosition].get();
  return c->kind == TChanel::kNetwork ? static_cast<TNetChanel*>(c) : nullptr;
}

TComChanel* TClient::ComChanelByNumber(int number) const {
  for (const auto& c : channels) {
    if (c->kind != TChanel::kSerial) continue;
    auto* com = static_cast<TComChanel*>(c.get());
    if (com->ChannelNumber() == number) return com;
  }
  return nullptr;
}

int TClient::NetDeviceCount() const {
  const TNetChanel* net = NetChanel();
  return net ? static_cast<int>(net->devices.size()) : 0;
}

TNetDevice* TClient::GetNetDevice(int position) const {
  const TNetChanel* net = NetChanel();
  if (net == nullptr || position < 0 || static_cast<std::size_t>(position) >= net->devices.size()) return nullptr;
  return net->devices[static_cast<std::size_t>(position)].get();
}

TNetDevice* TClient::FindNetDevice(const std::string& name) const {
  const TNetChanel* net = NetChanel();
  if (net == nullptr) return nullptr;
  for (const auto& d : net->devices)
    if (d->name == name) return d.get();
  return nullptr;
}

std::unique_ptr<TNetDevice> TClient::RemoveNetDevice(TNetDevice* device) {
  TNetChanel* net = NetChanel();
  if (net == nullptr || device == nullptr) return nullptr;
  auto it = std::find_if(net->devices.begin(), net->devices.end(), [&](const auto& d) { return d.get() == device; });
  if (it == net->devices.end()) return nullptr;
  const auto p = static_cast<std::int32_t>(it - net->devices.begin());
  std::unique_ptr<TNetDevice> taken = std::move(*it);
  net->devices.erase(it);
  // Only the selected device itself clears the selection; one behind it keeps its number.
  if (p + 1 == net->selectedDevice) net->selectedDevice = 0;
  return taken;
}

const TransServerItem* TClient::SelectedRelay() const {
  for (const auto& r : relays)
    if (r.id == selectedRelayId) return &r;
  return nullptr;
}

}  // namespace murvik
