#include "tunnel/client_mgr.h"

#include <algorithm>
#include <cstdio>

#include "devices/zn_common_fun.h"
#include "tunnel/com_chanel.h"
#include "tunnel/net_chanel.h"

namespace murvik {

namespace {
std::string Format(const char* fmt, const std::string& a, const std::string& b = std::string()) {
  char buf[1024];
  std::snprintf(buf, sizeof buf, fmt, a.c_str(), b.c_str());
  return buf;
}

bool HasEqualNeighbours(std::vector<std::string>& names) {
  std::sort(names.begin(), names.end());
  return std::adjacent_find(names.begin(), names.end()) != names.end();
}
}  // namespace

TClientMgr::~TClientMgr() { Clear(); }

void TClientMgr::Add(std::unique_ptr<TClient> session) {
  if (session) sessions_.push_back(std::move(session));
}

void TClientMgr::Remove(TClient* session) {
  auto it = std::find_if(sessions_.begin(), sessions_.end(), [&](const auto& p) { return p.get() == session; });
  if (it != sessions_.end())
    sessions_.erase(it);
  else
    delete session;  // a session the caller never handed over is destroyed all the same
}

void TClientMgr::Clear() { sessions_.clear(); }

TClient* TClientMgr::FindByName(const std::string& name) const {
  for (const auto& s : sessions_)
    if (s->NAME == name) return s.get();
  return nullptr;
}

TClient* TClientMgr::FindBySN(const std::string& sn) const {
  for (const auto& s : sessions_)
    if (s->SN == sn) return s.get();
  return nullptr;
}

bool TClientMgr::CheckConflicts(TClient* s) const {
  const std::string& name = s->NAME;
  std::vector<std::string> ports;
  int enabled = 0;
  for (const auto& c : s->channels) {
    if (c->USE == 0) continue;
    ++enabled;
    if (auto* com = dynamic_cast<TComChanel*>(c.get())) ports.push_back(com->VPORT);
  }
  if (enabled == 0) {
    ShowError(Format("\"%s\"模块所有端口已禁用", name));
    return false;
  }
  if (HasEqualNeighbours(ports)) {
    ShowError(Format("\"%s\"模块使用了相同本地串口", name));
    return false;
  }
  for (const auto& other : sessions_) {
    if (!other->IsRunning()) continue;
    for (const auto& c : other->channels) {
      auto* com = dynamic_cast<TComChanel*>(c.get());
      if (com && com->IsOpen()) ports.push_back(com->VPORT);
    }
  }
  if (HasEqualNeighbours(ports)) {
    ShowError(Format("\"%s\"与已运行模块使用了相同本地串口", name));
    return false;
  }
  TNetChanel* net = s->NetChanel();
  if (net && net->USE != 0) {
    for (const auto& other : sessions_) {
      if (!other->IsRunning()) continue;
      TNetChanel* theirs = other->NetChanel();
      if (theirs == nullptr) continue;
      if (theirs->Filter(net->IPMIN) || theirs->Filter(net->IPMAX)) {
        ShowError(Format("%s 与 %s IP地址冲突", name, other->NAME));
        return false;
      }
    }
  }
  return true;
}

}  // namespace murvik
