#include "server.h"

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "ethernet_port.h"
#include "platform/poll_loop.h"
#include "serial_port.h"
#include "tunnel/wire_format.h"

namespace murvik::sim {

namespace {

constexpr std::size_t kNoModule = static_cast<std::size_t>(-1);

bool IsModuleAddressed(std::uint16_t command) {
  switch (command) {
    case cmd::PING:
    case cmd::QUERY_PARAM:
    case cmd::QUERY_INFO:
    case cmd::COM_DATA:
    case cmd::COM_DATA_ACK:
    case cmd::COM_CONFIG:
    case cmd::NET_DATA:
    case cmd::NET_CONFIG: return true;
    default: return false;
  }
}

std::string RefusalName(const Refusal& r) { return r.plainNak ? "NAK" : "NAK_EX " + std::to_string(r.reason); }

}  // namespace

Simulator::Simulator(Options options)
    : options_(std::move(options)),
      sessions_(options_.seed, options_.sessionTimeoutS * 1000u),
      faults_(options_.seed, options_.dropPct, options_.dupPct) {
  for (const auto& m : options_.modules) modules_.push_back(std::make_unique<Module>(m));
}

bool Simulator::Open(std::string& error) {
  auto addr = platform::ParseIpv4(options_.bind);
  if (!addr) {
    error = "bad --bind address '" + options_.bind + "'";
    return false;
  }
  auto open = [&](platform::UdpSocket& s, std::uint16_t port, const char* what) {
    if (!s.Open() || !s.Bind(*addr, port)) {
      error = std::string("cannot listen for the ") + what + " on " + options_.bind + ":" + std::to_string(port) +
              ": " + std::strerror(errno);
      return false;
    }
    s.SetReceiveBuffer(1 << 20);
    return true;
  };
  if (!open(login_, options_.loginPort, "login server")) return false;
  if (options_.relayPort && !open(relay_, *options_.relayPort, "relay")) return false;
  if (!options_.recordPath.empty() && !recorder_.Open(options_.recordPath)) {
    error = "cannot write " + options_.recordPath + ": " + std::strerror(errno);
    return false;
  }
  return OpenPorts(error);
}

bool Simulator::OpenPorts(std::string& error) {
  for (auto& owned : modules_) {
    Module* m = owned.get();
    for (int ch = 0; ch < 3; ++ch) {
      const std::string& kind = m->Config().com[static_cast<std::size_t>(ch)];
      if (kind == "none") continue;
      auto device = MakeSerialDevice(kind, error);
      if (!device) {
        error = "module " + m->Sn() + " COM" + std::to_string(ch + 1) + ": " + error;
        return false;
      }
      auto port = std::make_unique<SerialPort>(ch, m->Config().comAck, std::move(device));
      port->SetSink([this, m](Bytes packet) {
        for (int i = 0; i < 4; ++i) packet[4 + i] = static_cast<std::uint8_t>(m->Id() >> (8 * i));
        return SendToSessions(*m, packet, false);
      });
      m->Ports()[static_cast<std::size_t>(ch)].backend = std::move(port);
    }
    if (m->Config().eth == "none") continue;
    auto eth = EthernetPort::Make(
        m->Config(), [this](nlohmann::ordered_json fields) { recorder_.WriteNote("tap", fields); }, error);
    if (!eth) {
      error = "module " + m->Sn() + " " + error;
      return false;
    }
    eth->SetSink([this, m](Bytes packet) -> std::size_t {
      // An offline module hears nothing on its port and so has nothing to pass on.
      if (!m->online()) return 0;
      for (int i = 0; i < 4; ++i) packet[4 + i] = static_cast<std::uint8_t>(m->Id() >> (8 * i));
      return SendToSessions(*m, packet, false);
    });
    m->Ports()[3].backend = std::move(eth);
  }
  return true;
}

void Simulator::Tick() {
  const std::uint64_t now = platform::MonotonicMs();
  for (auto& m : modules_)
    for (auto& p : m->Ports())
      if (p.backend) p.backend->OnTick(now);
}

std::vector<std::pair<int, PortBackend*>> Simulator::PortFds() {
  std::vector<std::pair<int, PortBackend*>> out;
  for (auto& m : modules_)
    for (auto& p : m->Ports())
      if (p.backend && p.backend->Fd() >= 0) out.emplace_back(p.backend->Fd(), p.backend.get());
  return out;
}

std::vector<std::string> Simulator::Announcements() {
  std::vector<std::string> out;
  for (auto& m : modules_) {
    for (auto& p : m->Ports()) {
      auto* serial = dynamic_cast<SerialPort*>(p.backend.get());
      if (serial != nullptr && !serial->Device().Path().empty())
        out.push_back("PTY COM" + std::to_string(p.channel + 1) + " " + serial->Device().Path());
      auto* eth = dynamic_cast<EthernetPort*>(p.backend.get());
      if (eth != nullptr && !eth->TapName().empty())
        out.push_back("ETH " + m->Sn() + " tap=" + eth->TapName() + " mac=" + MacText(eth->PortMac()));
    }
  }
  return out;
}

bool Simulator::SendSerial(Module& m, int channel, const Bytes& data, std::string& error) {
  auto* serial = channel >= 0 && channel < 3
                     ? dynamic_cast<SerialPort*>(m.Ports()[static_cast<std::size_t>(channel)].backend.get())
                     : nullptr;
  if (serial == nullptr) {
    error = "COM" + std::to_string(channel + 1) + " has no serial backend";
    return false;
  }
  if (!m.online()) {
    error = "module offline";
    return false;
  }
  return serial->SendToPc(data.data(), data.size(), error);
}

bool Simulator::IgnoreNetConfig(Module& m, bool setIp, std::uint32_t n, std::string& error) {
  auto* eth = dynamic_cast<EthernetPort*>(m.Ports()[3].backend.get());
  if (eth == nullptr) {
    error = "module " + m.Sn() + " has no Ethernet port";
    return false;
  }
  if (setIp)
    eth->IgnoreSetIp(n);
  else
    eth->IgnorePortInfo(n);
  return true;
}

std::uint16_t Simulator::Port(ServerKind kind) const {
  const auto& s = Socket(kind);
  return s.IsOpen() ? s.LocalPort() : 0;
}

std::size_t Simulator::ModuleIndex(const std::string& sn) const {
  for (std::size_t i = 0; i < modules_.size(); ++i)
    if (modules_[i]->Sn() == sn) return i;
  return kNoModule;
}

Module* Simulator::FindModule(const std::string& sn) {
  std::size_t i = ModuleIndex(sn);
  return i == kNoModule ? nullptr : modules_[i].get();
}

std::string Simulator::RedirectText() const {
  if (options_.redirectText) return *options_.redirectText;
  return "127.0.0.1:" + std::to_string(Port(ServerKind::Relay));
}

void Simulator::OnReadable(ServerKind kind) {
  // Big enough that an oversized datagram is seen whole and fails the size check honestly.
  static std::uint8_t buf[65536];
  auto& socket = Socket(kind);
  for (int i = 0; i < 256; ++i) {  // bounded, so standard input is not starved
    platform::SockAddrV4 peer;
    long n = socket.TryReceive(buf, sizeof buf, &peer);
    if (n < 0) return;
    Handle(kind, peer, buf, static_cast<std::size_t>(n));
  }
}

void Simulator::Handle(ServerKind kind, const platform::SockAddrV4& peer, const std::uint8_t* data,
                       std::size_t size) {
  ++stats_.rx;
  const char* server = ServerName(kind);
  if (!SizeMatches(data, size)) {
    ++stats_.bad;
    RecordFlags flags;
    flags.bad = true;
    flags.note = size < kHeader ? "shorter than the header" : "size differs from 16 + length";
    recorder_.Write("rx", server, peer, data, size, flags);
    return;
  }
  const Head head = *ReadHead(data, size);
  ++stats_.rxByName[CommandName(head.command)];

  Reply reply;
  if (head.command == cmd::REGISTER || head.command == cmd::REG_RESPONSE) {
    if (kind != ServerKind::Login)
      reply.note = "registration belongs to the login server";
    else if (head.command == cmd::REGISTER)
      reply = OnRegister(peer, data, size);
    else
      reply = OnRegResponse(data, size);
  } else {
    reply = OnSessionPacket(kind, peer, head, data, size);
  }
  if (reply.packets.empty()) ++stats_.ignored;

  RecordFlags flags;
  flags.note = reply.note;
  flags.fields = std::move(reply.fields);
  recorder_.Write("rx", server, peer, data, size, flags);
  for (const auto& p : reply.packets) Send(kind, peer, p);
}

Simulator::Reply Simulator::OnRegister(const platform::SockAddrV4& peer, const std::uint8_t* data,
                                       std::size_t size) {
  Reply r;
  std::string why;
  auto req = DecodeRegister(data, size, why);
  if (!req) {
    r.note = "malformed REGISTER: " + why;
    return r;
  }
  const std::size_t index = ModuleIndex(req->sn);
  if (index == kNoModule) {
    ++stats_.refusals["NAK_EX 1"];
    r.note = "unknown SN " + req->sn;
    r.packets.push_back(EncodeNakEx(0, 1));
    return r;
  }
  const Session& s = sessions_.Create(index, req->clientName, peer, platform::MonotonicMs());
  r.packets.push_back(EncodeRegChallenge(s.sid, s.challenge));
  return r;
}

Simulator::Reply Simulator::OnRegResponse(const std::uint8_t* data, std::size_t size) {
  Reply r;
  std::string why;
  auto resp = DecodeRegResponse(data, size, why);
  if (!resp) {
    r.note = "malformed REG_RESPONSE: " + why;
    return r;
  }
  const std::uint64_t now = platform::MonotonicMs();
  Session* s = sessions_.Find(resp->sid, now);
  if (s == nullptr) {
    r.note = "unknown session";
    return r;
  }
  s->lastHeardMs = now;
  Module& m = *modules_[s->module];
  if (resp->sn != m.Sn()) {
    r.note = "SN " + resp->sn + " differs from the REGISTER's " + m.Sn();
    return r;
  }
  const wire::Digest expected = wire::ChallengeDigest(s->challenge, m.Config().password);
  auto refuse = [&](const Refusal& how, const std::string& note) {
    ++stats_.refusals[RefusalName(how)];
    r.note = note;
    r.packets.push_back(how.plainNak ? EncodeNak(resp->sid) : EncodeNakEx(resp->sid, how.reason));
    sessions_.End(resp->sid);
    return r;
  };
  if (std::memcmp(expected.data(), resp->digest.data(), expected.size()) != 0)
    return refuse(Refusal{false, 3}, "wrong digest");
  if (m.Config().refuse) return refuse(*m.Config().refuse, "refusal configured");
  if (sessions_.HeldByOther(*s, now)) return refuse(Refusal{false, 15}, "module held by another PC");

  s->authorized = true;
  sessions_.EndOlderOfSamePc(*s);
  if (HasRelay()) {
    r.packets.push_back(EncodeRedirect(resp->sid, RedirectText()));
  } else {
    r.packets.push_back(EncodeRegOk(resp->sid));
  }
  return r;
}

Simulator::Reply Simulator::OnSessionPacket(ServerKind kind, const platform::SockAddrV4& peer, const Head& head,
                                            const std::uint8_t* data, std::size_t size) {
  Reply r;
  const bool known = head.command == cmd::QUERY_IOSERVER || head.command == cmd::ECHO || head.command == cmd::NAK ||
                     IsModuleAddressed(head.command);
  if (!known) {
    r.note = "not a command the PC sends";
    return r;
  }
  const std::uint64_t now = platform::MonotonicMs();
  Session* s = sessions_.Find(head.sid, now);
  if (s == nullptr) {
    r.note = "unknown session";
    return r;
  }
  s->lastHeardMs = now;
  s->peer = peer;
  s->server = kind;
  std::string why;
  if (head.command == cmd::NAK) {
    if (!DecodeBare(data, size, why)) {
      r.note = "malformed NAK: " + why;
      return r;
    }
    ++stats_.goodbyes;
    sessions_.End(head.sid);
    r.note = "goodbye";
    return r;
  }
  if (!s->authorized) {
    r.note = "session not registered";
    return r;
  }
  if (!Serves(kind)) {
    r.note = "the relay serves this session";
    return r;
  }
  Module& m = *modules_[s->module];
  if (head.command == cmd::QUERY_IOSERVER) {
    auto q = DecodeQueryIOServer(data, size, why);
    if (!q) {
      r.note = "malformed QUERY_IOSERVER: " + why;
    } else if (!m.online()) {
      r.packets.push_back(EncodeQueryIOServerAck(head.sid, q->first, 0, 0, 0));
    } else if (q->first > 0 || q->maxCount == 0) {
      r.packets.push_back(EncodeQueryIOServerAck(head.sid, q->first, 0, 1, 0));
    } else {
      r.packets.push_back(EncodeQueryIOServerAck(head.sid, 0, 1, 1, m.Id()));
    }
    return r;
  }
  if (head.command == cmd::ECHO) {
    if (!DecodeBare(data, size, why)) {
      r.note = "malformed ECHO: " + why;
    } else if (head.ioServerId != 0) {
      r.note = "ECHO with an IOServer id";
    } else {
      r.packets.push_back(EncodeEchoAck(head.sid, head.seq));
    }
    return r;
  }
  if (head.ioServerId != m.Id()) {
    r.note = "wrong IOServer id " + std::to_string(head.ioServerId);
    return r;
  }
  if (auto answers = m.Answer(head, data, size, r.note, r.fields)) r.packets = std::move(*answers);
  return r;
}

void Simulator::Send(ServerKind kind, const platform::SockAddrV4& peer, const Bytes& packet) {
  const char* server = ServerName(kind);
  const Fate fate = faults_.Next();
  if (fate == Fate::Drop) {
    ++stats_.dropped;
    RecordFlags flags;
    flags.dropped = true;
    recorder_.Write("tx", server, peer, packet.data(), packet.size(), flags);
    return;
  }
  const int copies = fate == Fate::SendTwice ? 2 : 1;
  if (copies == 2) ++stats_.duplicated;
  for (int i = 0; i < copies; ++i) {
    Socket(kind).SendTo(peer, packet.data(), packet.size());
    ++stats_.tx;
    if (auto h = ReadHead(packet.data(), packet.size())) ++stats_.txByName[CommandName(h->command)];
    recorder_.Write("tx", server, peer, packet.data(), packet.size());
  }
}

std::size_t Simulator::SendToSessions(Module& m, const Bytes& packet, bool endSessions) {
  std::size_t index = ModuleIndex(m.Sn());
  auto targets = sessions_.OfModule(index, platform::MonotonicMs());
  std::vector<std::uint32_t> ended;
  for (Session* s : targets) {
    Bytes p = packet;
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(s->sid >> (8 * i));
    Send(s->server, s->peer, p);
    ended.push_back(s->sid);
  }
  if (endSessions)
    for (auto sid : ended) sessions_.End(sid);
  return targets.size();
}

std::size_t Simulator::SetOffline(Module& m) {
  m.SetOnline(false);
  return SendToSessions(m, EncodeIOServerLost(0), false);
}

std::size_t Simulator::SendLost(Module& m) { return SendToSessions(m, EncodeIOServerLost(0), false); }

std::size_t Simulator::SendNak(Module& m) { return SendToSessions(m, EncodeNak(0), true); }

std::size_t Simulator::SendNakEx(Module& m, std::uint16_t reason) {
  return SendToSessions(m, EncodeNakEx(0, reason), true);
}

void Simulator::Sweep() { stats_.expired += sessions_.Expire(platform::MonotonicMs()); }

std::string Simulator::StatsJson() {
  const std::uint64_t now = platform::MonotonicMs();
  nlohmann::ordered_json j;
  j["rx"] = stats_.rx;
  j["tx"] = stats_.tx;
  j["dropped"] = stats_.dropped;
  j["duplicated"] = stats_.duplicated;
  j["bad"] = stats_.bad;
  j["ignored"] = stats_.ignored;
  j["goodbyes"] = stats_.goodbyes;
  j["expired"] = stats_.expired;
  j["sessions"] = sessions_.LiveAuthorized(now);
  j["rx_by_cmd"] = stats_.rxByName;
  j["tx_by_cmd"] = stats_.txByName;
  j["refusals"] = stats_.refusals;
  auto mods = nlohmann::ordered_json::array();
  for (std::size_t i = 0; i < modules_.size(); ++i) {
    const Module& m = *modules_[i];
    nlohmann::ordered_json jm;
    jm["sn"] = m.Sn();
    jm["id"] = m.Id();
    jm["online"] = m.online();
    jm["muted"] = m.muted();
    jm["sessions"] = sessions_.OfModule(i, now).size();
    jm["pings"] = m.pings;
    jm["pings_ignored"] = m.pingsIgnored;
    auto ports = nlohmann::ordered_json::array();
    for (const auto& p : modules_[i]->Ports())
      if (p.backend && p.kind == Port::Serial) ports.push_back(p.backend->Stats());
    jm["ports"] = ports;
    const auto& eth = modules_[i]->Ports()[3].backend;
    jm["eth"] = eth ? eth->Stats() : nlohmann::ordered_json(nullptr);
    mods.push_back(jm);
  }
  j["modules"] = mods;
  return j.dump();
}

}  // namespace murvik::sim
