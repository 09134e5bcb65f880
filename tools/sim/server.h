#pragma once
// The login server and the optional relay in one process: their sockets, the session rules, and
// the control plane (module search, echo, goodbye) answered by whichever server serves the PC.
#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "faults.h"
#include "module.h"
#include "options.h"
#include "packets.h"
#include "platform/net.h"
#include "recorder.h"
#include "sessions.h"

namespace murvik::sim {

class Simulator {
 public:
  explicit Simulator(Options options);

  // Binds the sockets and opens the record file.
  bool Open(std::string& error);
  bool HasRelay() const { return relay_.IsOpen(); }
  int Fd(ServerKind kind) const { return Socket(kind).Fd(); }
  std::uint16_t Port(ServerKind kind) const;

  // Reads every waiting datagram of that server's socket.
  void OnReadable(ServerKind kind);
  // Forgets silent sessions; call about once a second.
  void Sweep();
  // Retransmissions of the serial ports; call about every 100 ms.
  void Tick();
  // The descriptors of the port backends (ptys) and what to call when one is readable.
  std::vector<std::pair<int, PortBackend*>> PortFds();
  // Lines to print before READY: "PTY COM<n> <slave path>" and "ETH <SN> tap=<name> mac=<MAC>",
  // modules in order.
  std::vector<std::string> Announcements();
  // Bytes from a module's serial port (channel 0..2) to its PC sessions.
  bool SendSerial(Module& m, int channel, const Bytes& data, std::string& error);
  // The next n SET_IP (or GET_PORT_INFO) the module's Ethernet port leaves unanswered.
  bool IgnoreNetConfig(Module& m, bool setIp, std::uint32_t n, std::string& error);

  Module* FindModule(const std::string& sn);
  // Each answers the number of PC sessions it sent to.
  std::size_t SetOffline(Module& m);
  std::size_t SendLost(Module& m);
  std::size_t SendNak(Module& m);
  std::size_t SendNakEx(Module& m, std::uint16_t reason);

  std::string StatsJson();

 private:
  struct Reply {
    std::vector<Bytes> packets;
    std::string note;  // why nothing (or a refusal) was sent
    nlohmann::ordered_json fields;  // extra fields of the record line
  };

  platform::UdpSocket& Socket(ServerKind kind) { return kind == ServerKind::Login ? login_ : relay_; }
  const platform::UdpSocket& Socket(ServerKind kind) const { return kind == ServerKind::Login ? login_ : relay_; }
  // The server that answers the control plane: the relay when there is one.
  bool Serves(ServerKind kind) const { return HasRelay() == (kind == ServerKind::Relay); }
  std::size_t ModuleIndex(const std::string& sn) const;

  void Handle(ServerKind kind, const platform::SockAddrV4& peer, const std::uint8_t* data, std::size_t size);
  Reply OnRegister(const platform::SockAddrV4& peer, const std::uint8_t* data, std::size_t size);
  Reply OnRegResponse(const std::uint8_t* data, std::size_t size);
  Reply OnSessionPacket(ServerKind kind, const platform::SockAddrV4& peer, const Head& head, const std::uint8_t* data,
                        std::size_t size);
  void Send(ServerKind kind, const platform::SockAddrV4& peer, const Bytes& packet);
  std::size_t SendToSessions(Module& m, const Bytes& packet, bool endSessions);
  std::string RedirectText() const;
  bool OpenPorts(std::string& error);

  Options options_;
  std::vector<std::unique_ptr<Module>> modules_;
  SessionTable sessions_;
  FaultInjector faults_;
  Recorder recorder_;
  platform::UdpSocket login_;
  platform::UdpSocket relay_;

  struct Stats {
    std::uint64_t rx = 0, tx = 0, dropped = 0, duplicated = 0, bad = 0, ignored = 0, goodbyes = 0, expired = 0;
    std::map<std::string, std::uint64_t> rxByName, txByName, refusals;
  } stats_;
};

}  // namespace murvik::sim
