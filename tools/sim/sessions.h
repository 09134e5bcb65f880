#pragma once
// The PC sessions that the login server hands out, shared with the relay: session id, module,
// challenge, the PC's address and when it was last heard.
#include <array>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/net.h"

namespace murvik::sim {

enum class ServerKind { Login, Relay };
const char* ServerName(ServerKind kind);

struct Session {
  std::uint32_t sid = 0;
  std::size_t module = 0;  // index into the simulator's modules
  std::string clientName;
  platform::SockAddrV4 peer;
  ServerKind server = ServerKind::Login;  // where the PC last talked to us
  std::array<std::uint8_t, 32> challenge{};
  bool authorized = false;  // passed REG_RESPONSE
  std::uint64_t lastHeardMs = 0;
};

class SessionTable {
 public:
  SessionTable(std::uint64_t seed, std::uint32_t timeoutMs);

  // A new session with a fresh non-zero id and a fresh challenge.
  Session& Create(std::size_t module, const std::string& clientName, const platform::SockAddrV4& peer,
                  std::uint64_t nowMs);
  // A session that has not timed out, or nullptr.
  Session* Find(std::uint32_t sid, std::uint64_t nowMs);
  void End(std::uint32_t sid);
  // Whether a live authorized session of another PC holds the module. A PC is the same when its
  // address or its client name matches: the name is kept per PC, so a restarted program is
  // recognised.
  bool HeldByOther(const Session& s, std::uint64_t nowMs) const;
  // Ends the other sessions of the same PC for the same module (a PC that registers again).
  void EndOlderOfSamePc(const Session& s);
  // The live authorized sessions of a module.
  std::vector<Session*> OfModule(std::size_t module, std::uint64_t nowMs);
  // Forgets timed-out sessions; answers how many.
  std::size_t Expire(std::uint64_t nowMs);
  std::size_t LiveAuthorized(std::uint64_t nowMs) const;

 private:
  bool Live(const Session& s, std::uint64_t nowMs) const { return nowMs - s.lastHeardMs < timeoutMs_; }
  static bool SamePc(const Session& a, const Session& b);

  std::mt19937_64 rng_;
  std::uint32_t timeoutMs_;
  std::map<std::uint32_t, Session> sessions_;
};

}  // namespace murvik::sim
