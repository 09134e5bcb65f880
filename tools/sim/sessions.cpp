#include "sessions.h"

namespace murvik::sim {

const char* ServerName(ServerKind kind) { return kind == ServerKind::Login ? "login" : "relay"; }

SessionTable::SessionTable(std::uint64_t seed, std::uint32_t timeoutMs)
    : rng_(seed ^ 0x5e55104e1dULL), timeoutMs_(timeoutMs) {}

Session& SessionTable::Create(std::size_t module, const std::string& clientName, const platform::SockAddrV4& peer,
                              std::uint64_t nowMs) {
  std::uint32_t sid = 0;
  while (sid == 0 || sessions_.count(sid) != 0) sid = static_cast<std::uint32_t>(rng_());
  Session s;
  s.sid = sid;
  s.module = module;
  s.clientName = clientName;
  s.peer = peer;
  s.lastHeardMs = nowMs;
  for (std::size_t i = 0; i < s.challenge.size(); i += 8) {
    std::uint64_t r = rng_();
    for (std::size_t k = 0; k < 8; ++k) s.challenge[i + k] = static_cast<std::uint8_t>(r >> (8 * k));
  }
  return sessions_[sid] = s;
}

Session* SessionTable::Find(std::uint32_t sid, std::uint64_t nowMs) {
  auto it = sessions_.find(sid);
  if (it == sessions_.end() || !Live(it->second, nowMs)) return nullptr;
  return &it->second;
}

void SessionTable::End(std::uint32_t sid) { sessions_.erase(sid); }

bool SessionTable::SamePc(const Session& a, const Session& b) {
  return a.peer == b.peer || (!a.clientName.empty() && a.clientName == b.clientName);
}

bool SessionTable::HeldByOther(const Session& s, std::uint64_t nowMs) const {
  for (const auto& [sid, other] : sessions_) {
    if (sid == s.sid || other.module != s.module || !other.authorized || !Live(other, nowMs)) continue;
    if (!SamePc(s, other)) return true;
  }
  return false;
}

void SessionTable::EndOlderOfSamePc(const Session& s) {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    const Session& other = it->second;
    if (other.sid != s.sid && other.module == s.module && SamePc(s, other))
      it = sessions_.erase(it);
    else
      ++it;
  }
}

std::vector<Session*> SessionTable::OfModule(std::size_t module, std::uint64_t nowMs) {
  std::vector<Session*> out;
  for (auto& [sid, s] : sessions_)
    if (s.module == module && s.authorized && Live(s, nowMs)) out.push_back(&s);
  return out;
}

std::size_t SessionTable::Expire(std::uint64_t nowMs) {
  std::size_t n = 0;
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (!Live(it->second, nowMs)) {
      it = sessions_.erase(it);
      ++n;
    } else {
      ++it;
    }
  }
  return n;
}

std::size_t SessionTable::LiveAuthorized(std::uint64_t nowMs) const {
  std::size_t n = 0;
  for (const auto& [sid, s] : sessions_)
    if (s.authorized && Live(s, nowMs)) ++n;
  return n;
}

}  // namespace murvik::sim
