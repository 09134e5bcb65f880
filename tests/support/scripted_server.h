#pragma once
// A scripted login server / relay for session tests: a loopback UDP socket that receives what the
// session sends and answers with hand-built server packets.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/net.h"
#include "tunnel/wire_format.h"

namespace murvik {
class TClient;
namespace platform {
class ManualLoop;
}
}  // namespace murvik

namespace murvik::test {

struct Datagram {
  std::vector<std::uint8_t> bytes;
  murvik::platform::SockAddrV4 from;
  wire::Header header() const { return *wire::ReadHeader(bytes.data(), bytes.size()); }
  std::uint16_t command() const { return header().command; }
};

class ScriptedServer {
 public:
  ScriptedServer();
  std::uint16_t Port() const { return port_; }
  // The next datagram within timeoutMs, or nullopt.
  std::optional<Datagram> Next(int timeoutMs = 2000);
  // Skips datagrams until one with the command arrives.
  std::optional<Datagram> NextOf(std::uint16_t command, int timeoutMs = 2000);
  // Whether nothing arrives within a short quiet period.
  bool Quiet(int ms = 30);
  void Send(const std::vector<std::uint8_t>& bytes);
  void SendTo(const murvik::platform::SockAddrV4& to, const std::vector<std::uint8_t>& bytes);
  murvik::platform::SockAddrV4 LastPeer() const { return peer_; }

 private:
  murvik::platform::UdpSocket socket_;
  std::uint16_t port_ = 0;
  murvik::platform::SockAddrV4 peer_{};
};

// Server-side packets.
std::vector<std::uint8_t> Packet(std::uint16_t command, const std::vector<std::uint8_t>& payload,
                                 std::uint32_t sessionId = 0, std::uint32_t seqId = 0, std::uint32_t ioServerId = 0);
std::vector<std::uint8_t> RegChallenge(std::uint32_t sessionId, const wire::Challenge& challenge);
std::vector<std::uint8_t> Redirect(const std::string& target);
std::vector<std::uint8_t> QueryAck(std::uint16_t first, std::uint16_t count, std::uint16_t total, std::uint32_t id);
std::vector<std::uint8_t> ParamAck(const std::string& devType, const std::string& devSubType, std::uint16_t firmware,
                                   std::uint8_t features);
std::vector<std::uint8_t> NakEx(std::uint16_t reason);

// Sends a server packet to the session and lets the loop drain it; false when the receive thread
// did not hand it over in time.
bool DeliverTo(murvik::platform::ManualLoop& loop, ScriptedServer& server, const std::vector<std::uint8_t>& bytes);
// Starts a session whose LOGNAME/LOGPORT name the server and takes it to registration state 4
// (session id 5), the module search under way.
bool RegisterWith(murvik::platform::ManualLoop& loop, ScriptedServer& server, TClient& session);

}  // namespace murvik::test
