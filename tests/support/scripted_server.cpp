#include "support/scripted_server.h"

#include <cstring>
#include <stdexcept>

#include "platform/manual_loop.h"
#include "tunnel/client.h"

namespace murvik::test {

using murvik::platform::SockAddrV4;

ScriptedServer::ScriptedServer() {
  if (!socket_.Open() || !socket_.Bind(murvik::platform::Ipv4FromText("127.0.0.1"), 0))
    throw std::runtime_error("cannot bind the scripted server");
  port_ = socket_.LocalPort();
}

std::optional<Datagram> ScriptedServer::Next(int timeoutMs) {
  Datagram d;
  d.bytes.resize(2048);
  long n = socket_.Receive(d.bytes.data(), d.bytes.size(), &d.from, -1, timeoutMs);
  if (n < 0) return std::nullopt;
  d.bytes.resize(static_cast<std::size_t>(n));
  peer_ = d.from;
  return d;
}

std::optional<Datagram> ScriptedServer::NextOf(std::uint16_t command, int timeoutMs) {
  for (;;) {
    auto d = Next(timeoutMs);
    if (!d || (d->bytes.size() >= 16 && d->command() == command)) return d;
  }
}

bool ScriptedServer::Quiet(int ms) { return !Next(ms).has_value(); }

void ScriptedServer::Send(const std::vector<std::uint8_t>& bytes) { SendTo(peer_, bytes); }

void ScriptedServer::SendTo(const SockAddrV4& to, const std::vector<std::uint8_t>& bytes) {
  socket_.SendTo(to, bytes.data(), bytes.size());
}

std::vector<std::uint8_t> Packet(std::uint16_t command, const std::vector<std::uint8_t>& payload,
                                 std::uint32_t sessionId, std::uint32_t seqId, std::uint32_t ioServerId) {
  std::vector<std::uint8_t> b(16 + payload.size());
  wire::WriteHeader(b.data(), wire::Header{sessionId, ioServerId, seqId, command,
                                           static_cast<std::uint16_t>(payload.size())});
  if (!payload.empty()) std::memcpy(b.data() + 16, payload.data(), payload.size());
  return b;
}

std::vector<std::uint8_t> RegChallenge(std::uint32_t sessionId, const wire::Challenge& challenge) {
  std::vector<std::uint8_t> payload(128, 0);
  std::memcpy(payload.data() + 96, challenge.data(), 32);
  return Packet(wire::REG_CHALLENGE, payload, sessionId);
}

std::vector<std::uint8_t> Redirect(const std::string& target) {
  std::vector<std::uint8_t> payload(17, 0);
  payload.insert(payload.end(), target.begin(), target.end());
  payload.push_back(0);
  return Packet(wire::REDIRECT, payload);
}

std::vector<std::uint8_t> QueryAck(std::uint16_t first, std::uint16_t count, std::uint16_t total, std::uint32_t id) {
  std::vector<std::uint8_t> payload(12, 0);
  wire::Put16(payload.data(), first);
  wire::Put16(payload.data() + 2, count);
  wire::Put16(payload.data() + 4, total);
  wire::Put32(payload.data() + 8, id);
  return Packet(wire::QUERY_IOSERVER_ACK, payload);
}

std::vector<std::uint8_t> ParamAck(const std::string& devType, const std::string& devSubType, std::uint16_t firmware,
                                   std::uint8_t features) {
  std::vector<std::uint8_t> payload(35, 0);
  std::memcpy(payload.data(), devType.data(), std::min<std::size_t>(devType.size(), 15));
  std::memcpy(payload.data() + 16, devSubType.data(), std::min<std::size_t>(devSubType.size(), 15));
  wire::Put16(payload.data() + 32, firmware);
  payload[34] = features;
  return Packet(wire::PARAM_ACK, payload);
}

std::vector<std::uint8_t> NakEx(std::uint16_t reason) {
  std::vector<std::uint8_t> payload(2);
  wire::Put16(payload.data(), reason);
  return Packet(wire::NAK_EX, payload);
}

bool DeliverTo(murvik::platform::ManualLoop& loop, ScriptedServer& server, const std::vector<std::uint8_t>& bytes) {
  server.Send(bytes);
  if (!loop.WaitForPosted(2000)) return false;
  loop.RunPending();
  return true;
}

bool RegisterWith(murvik::platform::ManualLoop& loop, ScriptedServer& server, TClient& session) {
  return session.Start() && server.NextOf(wire::REGISTER) && DeliverTo(loop, server, RegChallenge(5, {})) &&
         server.NextOf(wire::REG_RESPONSE) && DeliverTo(loop, server, Packet(wire::REG_OK, {})) &&
         server.NextOf(wire::QUERY_IOSERVER) && session.RegState() == 4;
}

}  // namespace murvik::test
