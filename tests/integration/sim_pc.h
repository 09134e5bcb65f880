#pragma once
// The PC end of one session against murvik-sim on loopback, as the simulator's tests drive it by
// hand: a UDP socket, the login server's port, registration, and the session id it gave.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/net.h"
#include "tunnel/wire_format.h"

namespace murvik::test {

using Bytes = std::vector<std::uint8_t>;

inline std::uint16_t Le16(const Bytes& d, std::size_t at) {
  return static_cast<std::uint16_t>(d[at] | (d[at + 1] << 8));
}
inline std::uint32_t Le32(const Bytes& d, std::size_t at) {
  return static_cast<std::uint32_t>(d[at]) | (static_cast<std::uint32_t>(d[at + 1]) << 8) |
         (static_cast<std::uint32_t>(d[at + 2]) << 16) | (static_cast<std::uint32_t>(d[at + 3]) << 24);
}

class SimPc {
 public:
  // The IOServer id the simulator gives its first module.
  static constexpr std::uint32_t kModuleId = 1000;
  // Fetches the answer the exchange waits for, by its command; nullopt when none comes.
  using Fetch = std::function<std::optional<Bytes>(std::uint16_t command)>;

  SimPc() {
    socket_.Open();
    socket_.Bind(platform::Ipv4FromText("127.0.0.1"), 0);
  }

  void Send(const Bytes& d) {
    socket_.SendTo(platform::SockAddrV4{platform::Ipv4FromText("127.0.0.1"), port_}, d.data(), d.size());
  }
  // Stamped with the session id and the module's id.
  void ToModule(Bytes d) {
    wire::StampIds(d.data(), sid, kModuleId);
    Send(d);
  }
  // The next datagram within timeoutMs.
  std::optional<Bytes> Receive(int timeoutMs) {
    Bytes b(2048);
    platform::SockAddrV4 from;
    long n = socket_.Receive(b.data(), b.size(), &from, -1, timeoutMs);
    if (n < 0) return std::nullopt;
    b.resize(static_cast<std::size_t>(n));
    return b;
  }
  // REGISTER to the login server on port, the challenge answered, REG_OK.
  bool Register(std::uint16_t port, const std::string& sn, const std::string& password, const Fetch& fetch) {
    port_ = port;
    const std::string client = "TC0123456789AB";
    Send(wire::EncodeRegister(sn, client));
    auto challenge = fetch(wire::REG_CHALLENGE);
    if (!challenge || challenge->size() != 144 || Le16(*challenge, 12) != wire::REG_CHALLENGE) return false;
    sid = Le32(*challenge, 0);
    wire::Challenge c;
    std::copy(challenge->begin() + 112, challenge->end(), c.begin());
    Send(wire::EncodeRegResponse(sid, sn, client, wire::ChallengeDigest(c, password)));
    auto ok = fetch(wire::REG_OK);
    return ok && ok->size() >= 16 && Le16(*ok, 12) == wire::REG_OK;
  }

  std::uint32_t sid = 0;

 protected:
  platform::UdpSocket socket_;
  std::uint16_t port_ = 0;
};

}  // namespace murvik::test
