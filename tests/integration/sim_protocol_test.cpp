// murvik-sim against a scripted PC built from the core's encoders and decoders.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "integration/sim_process.h"
#include "platform/net.h"
#include "tunnel/wire_format.h"

namespace {

namespace wire = murvik::wire;
using murvik::platform::SockAddrV4;
using murvik::test::SimProcess;
using Bytes = std::vector<std::uint8_t>;

const std::string kSn = "12345678901";
const std::string kPassword = "secret";
const std::string kModule = "sn=" + kSn + ",password=" + kPassword;

std::string TempPath(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir ? dir : "/tmp") + "/murvik_sim_" + std::to_string(getpid()) + "_" + name;
}

nlohmann::json Stats(SimProcess& sim) {
  auto j = nlohmann::json::parse(sim.Command("stats"), nullptr, false);
  EXPECT_TRUE(j.is_object());
  return j;
}

// Polls the counters until pred holds; the bound only keeps a broken simulator from hanging.
bool WaitForStats(SimProcess& sim, const std::function<bool(const nlohmann::json&)>& pred) {
  for (int i = 0; i < 500; ++i) {
    auto j = Stats(sim);
    if (j.is_object() && pred(j)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// A PC on its own loopback socket.
class Pc {
 public:
  Pc() {
    EXPECT_TRUE(socket_.Open());
    EXPECT_TRUE(socket_.Bind(murvik::platform::Ipv4FromText("127.0.0.1"), 0));
  }
  std::uint16_t Port() const { return socket_.LocalPort(); }

  void Send(std::uint16_t port, const Bytes& d) {
    socket_.SendTo(SockAddrV4{murvik::platform::Ipv4FromText("127.0.0.1"), port}, d.data(), d.size());
  }
  // A module-addressed packet with this session's ids.
  void SendToModule(std::uint16_t port, Bytes d, std::uint32_t ioServerId) {
    wire::StampIds(d.data(), sid, ioServerId);
    Send(port, d);
  }
  std::optional<Bytes> Next(int timeoutMs = 5000) {
    Bytes b(2048);
    SockAddrV4 from;
    long n = socket_.Receive(b.data(), b.size(), &from, -1, timeoutMs);
    if (n < 0) return std::nullopt;
    b.resize(static_cast<std::size_t>(n));
    return b;
  }
  // The next datagram, which must carry the command.
  std::optional<Bytes> Expect(std::uint16_t command) {
    auto d = Next();
    if (!d) {
      ADD_FAILURE() << "no answer, expected 0x" << std::hex << command;
      return std::nullopt;
    }
    EXPECT_TRUE(wire::IsValidDatagram(d->data(), d->size()));
    auto h = wire::ReadHeader(d->data(), d->size());
    if (!h || h->command != command) {
      ADD_FAILURE() << "got 0x" << std::hex << (h ? h->command : 0) << ", expected 0x" << command;
      return std::nullopt;
    }
    return d;
  }
  bool Waiting() const { return socket_.Readable(); }

  // REGISTER and REG_RESPONSE; answers the server's last reply (REG_OK, REDIRECT or a refusal).
  std::optional<Bytes> Register(std::uint16_t port, const std::string& sn, const std::string& password,
                                const std::string& clientName = "TC0123456789AB") {
    Send(port, wire::EncodeRegister(sn, clientName));
    auto first = Next();
    if (!first) return std::nullopt;
    auto challenge = wire::DecodeRegChallenge(first->data(), first->size());
    if (wire::ReadHeader(first->data(), first->size())->command != wire::REG_CHALLENGE || !challenge) return first;
    sid = challenge->sessionId;
    Send(port, wire::EncodeRegResponse(sid, sn, clientName, wire::ChallengeDigest(challenge->challenge, password)));
    return Next();
  }

  std::uint32_t sid = 0;

 private:
  murvik::platform::UdpSocket socket_;
};

std::uint16_t CommandOf(const std::optional<Bytes>& d) {
  if (!d || d->size() < 16) return 0;
  return wire::ReadHeader(d->data(), d->size())->command;
}

std::optional<std::uint16_t> NakExReason(const std::optional<Bytes>& d) {
  if (CommandOf(d) != wire::NAK_EX) return std::nullopt;
  return wire::DecodeNakExReason(d->data(), d->size());
}

struct ModuleCase {
  const char* name;
  std::string spec;
  std::uint32_t id;
  std::string devType, devSubType;
  std::uint16_t firmware;
  std::uint8_t features;
};

class SimModule : public ::testing::TestWithParam<ModuleCase> {};

TEST_P(SimModule, RegistersFindsTheModuleAndAnswersItsPackets) {
  const ModuleCase& c = GetParam();
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--module", c.spec})) << sim.error;
  ASSERT_EQ(sim.relayPort, 0);

  Pc pc;
  pc.Send(sim.loginPort, wire::EncodeRegister(kSn, "TC0123456789AB"));
  auto challengeDatagram = pc.Expect(wire::REG_CHALLENGE);
  ASSERT_TRUE(challengeDatagram);
  ASSERT_EQ(challengeDatagram->size(), 144u);
  auto challenge = wire::DecodeRegChallenge(challengeDatagram->data(), challengeDatagram->size());
  ASSERT_TRUE(challenge);
  EXPECT_NE(challenge->sessionId, 0u);
  EXPECT_NE(challenge->challenge, wire::Challenge{});
  pc.sid = challenge->sessionId;
  pc.Send(sim.loginPort, wire::EncodeRegResponse(pc.sid, kSn, "TC0123456789AB",
                                                 wire::ChallengeDigest(challenge->challenge, kPassword)));
  ASSERT_TRUE(pc.Expect(wire::REG_OK));

  pc.Send(sim.loginPort, wire::EncodeQueryIOServer(pc.sid));
  auto query = pc.Expect(wire::QUERY_IOSERVER_ACK);
  ASSERT_TRUE(query);
  auto ack = wire::DecodeQueryIOServerAck(query->data(), query->size());
  ASSERT_TRUE(ack);
  ASSERT_TRUE(ack->found());
  EXPECT_EQ(ack->firstId, c.id);

  // Wrong ids are ignored: the PING_ACK that follows answers only the well-addressed PING.
  pc.SendToModule(sim.loginPort, wire::EncodePing(5), c.id + 1);
  Bytes foreign = wire::EncodePing(6);
  wire::StampIds(foreign.data(), pc.sid + 1, c.id);
  pc.Send(sim.loginPort, foreign);
  pc.SendToModule(sim.loginPort, wire::EncodePing(7), c.id);
  auto ping = pc.Expect(wire::PING_ACK);
  ASSERT_TRUE(ping);
  EXPECT_EQ(wire::ReadHeader(ping->data(), ping->size())->seqId, 7u);

  pc.SendToModule(sim.loginPort, wire::EncodeQueryParam(), c.id);
  auto paramDatagram = pc.Expect(wire::PARAM_ACK);
  ASSERT_TRUE(paramDatagram);
  auto param = wire::DecodeParamAck(paramDatagram->data(), paramDatagram->size());
  ASSERT_TRUE(param);
  EXPECT_EQ(param->devType, c.devType);
  EXPECT_EQ(param->devSubType, c.devSubType);
  EXPECT_EQ(param->firmware, c.firmware);
  EXPECT_EQ(param->features, c.features);

  // Only a module with feature bit 0 answers QUERY_INFO; the ECHO_ACK shows it was skipped.
  pc.SendToModule(sim.loginPort, wire::EncodeQueryInfo(), c.id);
  if (c.features & 1) {
    auto infoDatagram = pc.Expect(wire::INFO_ACK);
    ASSERT_TRUE(infoDatagram);
    auto info = wire::DecodeInfoAck(infoDatagram->data(), infoDatagram->size());
    ASSERT_TRUE(info);
    ASSERT_EQ(info->lines.size(), 60u);
    for (int line = 52; line < 60; ++line) {
      const std::string& text = info->lines[static_cast<std::size_t>(line)];
      EXPECT_FALSE(text.empty()) << line;
      EXPECT_EQ(text.find_first_not_of("-0123456789"), std::string::npos) << line << ": " << text;
    }
  }
  Bytes echo = wire::EncodeEcho(3);
  wire::StampIds(echo.data(), pc.sid, 0);
  pc.Send(sim.loginPort, echo);
  auto echoAck = pc.Expect(wire::ECHO_ACK);
  ASSERT_TRUE(echoAck);
  EXPECT_EQ(wire::ReadHeader(echoAck->data(), echoAck->size())->seqId, 3u);

  EXPECT_EQ(sim.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Modules, SimModule,
    ::testing::Values(ModuleCase{"Defaults", kModule, 1000, "DLXK2-4G", "N2W", 31, 1},
                      ModuleCase{"Configured", kModule + ",devtype=DLXK5-W,devsubtype=LX,firmware=29,features=0,id=4242",
                                 4242, "DLXK5-W", "LX", 29, 0}),
    [](const auto& info) { return std::string(info.param.name); });

struct RefusalCase {
  const char* name;
  std::string module;
  std::string sn, password;
  std::uint16_t command;
  std::uint16_t reason;  // for NAK_EX
};

class SimRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(SimRefusal, AnswersWithTheRefusal) {
  const RefusalCase& c = GetParam();
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--module", c.module})) << sim.error;
  Pc pc;
  auto reply = pc.Register(sim.loginPort, c.sn, c.password);
  ASSERT_EQ(CommandOf(reply), c.command);
  if (c.command == wire::NAK_EX) {
    EXPECT_EQ(NakExReason(reply), c.reason);
  }
  EXPECT_EQ(sim.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, SimRefusal,
    ::testing::Values(RefusalCase{"WrongPassword", kModule, kSn, "wrong", wire::NAK_EX, 3},
                      RefusalCase{"UnknownSn", kModule, "99999999999", kPassword, wire::NAK_EX, 1},
                      RefusalCase{"ForcedNontrans", kModule + ",refuse=11", kSn, kPassword, wire::NAK_EX, 11},
                      RefusalCase{"ForcedOther", kModule + ",refuse=7", kSn, kPassword, wire::NAK_EX, 7},
                      RefusalCase{"ForcedPlainNak", kModule + ",refuse=nak", kSn, kPassword, wire::NAK, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Sim, SecondPcIsRefusedUntilTheFirstSaysGoodbye) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--module", kModule})) << sim.error;
  Pc first, second;
  ASSERT_EQ(CommandOf(first.Register(sim.loginPort, kSn, kPassword, "TC000000000001")), wire::REG_OK);
  EXPECT_EQ(NakExReason(second.Register(sim.loginPort, kSn, kPassword, "TC000000000002")), 15);
  // The same PC registering again takes its own session over.
  ASSERT_EQ(CommandOf(first.Register(sim.loginPort, kSn, kPassword, "TC000000000001")), wire::REG_OK);

  first.Send(sim.loginPort, wire::EncodeGoodbyeNak(first.sid));
  ASSERT_TRUE(WaitForStats(sim, [](const auto& j) { return j["goodbyes"] == 1; }));
  EXPECT_EQ(CommandOf(second.Register(sim.loginPort, kSn, kPassword, "TC000000000002")), wire::REG_OK);
  EXPECT_EQ(sim.Stop(), 0);
}

struct RedirectCase {
  const char* name;
  std::vector<std::string> extra;
  std::string expected;  // "" = 127.0.0.1:<relay port>
};

class SimRedirect : public ::testing::TestWithParam<RedirectCase> {};

TEST_P(SimRedirect, RedirectsToTheRelayWhichServesTheSession) {
  const RedirectCase& c = GetParam();
  std::vector<std::string> args = {"--module", kModule, "--relay-port", "0"};
  args.insert(args.end(), c.extra.begin(), c.extra.end());
  SimProcess sim;
  ASSERT_TRUE(sim.Start(args)) << sim.error;
  ASSERT_NE(sim.relayPort, 0);

  Pc pc;
  auto reply = pc.Register(sim.loginPort, kSn, kPassword);
  ASSERT_EQ(CommandOf(reply), wire::REDIRECT);
  const std::string expected = c.expected.empty() ? "127.0.0.1:" + std::to_string(sim.relayPort) : c.expected;
  EXPECT_EQ(wire::DecodeRedirect(reply->data(), reply->size()), expected);
  ASSERT_EQ(reply->size(), 33 + expected.size() + 1);
  EXPECT_EQ(reply->back(), 0);

  // Once redirected, the login server no longer answers the module search; the relay does.
  pc.Send(sim.loginPort, wire::EncodeQueryIOServer(pc.sid));
  pc.Send(sim.relayPort, wire::EncodeQueryIOServer(pc.sid));
  auto query = pc.Expect(wire::QUERY_IOSERVER_ACK);
  ASSERT_TRUE(query);
  EXPECT_TRUE(wire::DecodeQueryIOServerAck(query->data(), query->size())->found());
  ASSERT_TRUE(WaitForStats(sim, [](const auto& j) { return j["rx_by_cmd"]["QUERY_IOSERVER"] == 2; }));
  EXPECT_FALSE(pc.Waiting());

  pc.SendToModule(sim.relayPort, wire::EncodePing(1), 1000);
  EXPECT_TRUE(pc.Expect(wire::PING_ACK));
  EXPECT_EQ(sim.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Redirects, SimRedirect,
                         ::testing::Values(RedirectCase{"Default", {}, ""},
                                           RedirectCase{"Overridden", {"--redirect-text", "relay.test:7251"},
                                                        "relay.test:7251"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Sim, CommandsDriveTheModuleAndTheSessions) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--module", kModule})) << sim.error;
  Pc pc;
  ASSERT_EQ(CommandOf(pc.Register(sim.loginPort, kSn, kPassword)), wire::REG_OK);
  auto queryState = [&] {
    pc.Send(sim.loginPort, wire::EncodeQueryIOServer(pc.sid));
    auto d = pc.Expect(wire::QUERY_IOSERVER_ACK);
    return d ? wire::DecodeQueryIOServerAck(d->data(), d->size()) : std::nullopt;
  };

  EXPECT_EQ(sim.Command("offline " + kSn), "OK offline " + kSn);
  auto lost = pc.Expect(wire::IOSERVER_LOST);
  ASSERT_TRUE(lost);
  EXPECT_EQ(wire::ReadHeader(lost->data(), lost->size())->sessionId, pc.sid);
  auto offline = queryState();
  ASSERT_TRUE(offline);
  EXPECT_TRUE(offline->notPresent());
  EXPECT_EQ(offline->total, 0);

  EXPECT_EQ(sim.Command("online " + kSn), "OK online " + kSn);
  auto online = queryState();
  ASSERT_TRUE(online);
  EXPECT_TRUE(online->found());

  EXPECT_EQ(sim.Command("lost " + kSn), "OK lost " + kSn);
  EXPECT_TRUE(pc.Expect(wire::IOSERVER_LOST));
  EXPECT_TRUE(queryState()->found());

  // A muted module ignores PING but still answers QUERY_PARAM.
  EXPECT_EQ(sim.Command("mute " + kSn), "OK mute " + kSn);
  pc.SendToModule(sim.loginPort, wire::EncodePing(1), 1000);
  pc.SendToModule(sim.loginPort, wire::EncodeQueryParam(), 1000);
  EXPECT_TRUE(pc.Expect(wire::PARAM_ACK));
  EXPECT_EQ(sim.Command("unmute " + kSn), "OK unmute " + kSn);
  pc.SendToModule(sim.loginPort, wire::EncodePing(2), 1000);
  auto ping = pc.Expect(wire::PING_ACK);
  ASSERT_TRUE(ping);
  EXPECT_EQ(wire::ReadHeader(ping->data(), ping->size())->seqId, 2u);

  EXPECT_EQ(sim.Command("nakex " + kSn + " 7"), "OK nakex " + kSn + " 7");
  EXPECT_EQ(NakExReason(pc.Next()), 7);
  auto stats = Stats(sim);
  EXPECT_EQ(stats["sessions"], 0);
  EXPECT_EQ(stats["modules"][0]["pings_ignored"], 1);

  ASSERT_EQ(CommandOf(pc.Register(sim.loginPort, kSn, kPassword)), wire::REG_OK);
  EXPECT_EQ(sim.Command("nak " + kSn), "OK nak " + kSn);
  EXPECT_EQ(CommandOf(pc.Next()), wire::NAK);

  for (const char* bad : {"offline 1", "nakex 12345678901", "nakex 12345678901 70000", "fly", "mute"})
    EXPECT_EQ(sim.Command(bad).rfind("ERR ", 0), 0u) << bad;
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(Sim, RecordsEveryDatagramAndSurvivesMalformedOnes) {
  const std::string record = TempPath("record.jsonl");
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--module", kModule, "--record", record})) << sim.error;
  Pc pc;

  Bytes header(16, 0);
  wire::Put16(header.data() + 12, wire::REGISTER);
  auto withLength = [&](std::uint16_t length, std::size_t size) {
    Bytes d = header;
    wire::Put16(d.data() + 14, length);
    d.resize(size, 0xEE);
    return d;
  };
  const std::vector<Bytes> badSize = {
      {},
      {1, 2, 3, 4, 5},
      withLength(8, 20),
      withLength(128, 143),
      withLength(0xFFFF, 2000),
      withLength(0, 17),
  };
  for (const auto& d : badSize) pc.Send(sim.loginPort, d);
  // The right size but wrong fields: ignored, not answered.
  Bytes badMagic = wire::EncodeRegister(kSn, "TC0123456789AB");
  badMagic[112] = 0;
  Bytes unterminated = wire::EncodeRegister(kSn, "TC0123456789AB");
  for (std::size_t i = 16; i < 80; ++i) unterminated[i] = '1';
  for (const auto& d : {badMagic, unterminated, wire::EncodeQueryIOServer(12345), wire::EncodePing(1)})
    pc.Send(sim.loginPort, d);

  ASSERT_EQ(CommandOf(pc.Register(sim.loginPort, kSn, kPassword)), wire::REG_OK);
  auto stats = Stats(sim);
  EXPECT_EQ(stats["bad"], badSize.size());
  EXPECT_EQ(stats["tx"], 2);  // the challenge and REG_OK, nothing for the malformed ones
  EXPECT_EQ(sim.Stop(), 0);

  std::ifstream in(record);
  std::size_t lines = 0, bad = 0, rx = 0, tx = 0;
  for (std::string line; std::getline(in, line); ++lines) {
    auto j = nlohmann::json::parse(line, nullptr, false);
    ASSERT_TRUE(j.is_object()) << line;
    for (const char* key : {"t_ms", "dir", "server", "peer", "len", "hex"}) ASSERT_TRUE(j.contains(key)) << line;
    EXPECT_EQ(j["server"], "login");
    EXPECT_EQ(j["peer"], "127.0.0.1:" + std::to_string(pc.Port()));
    EXPECT_EQ(j["hex"].get<std::string>().size(), 2 * j["len"].get<std::size_t>());
    if (j.value("bad", false)) ++bad;
    (j["dir"] == "rx" ? rx : tx) += 1;
    if (j["len"].get<std::size_t>() >= 16) {
      EXPECT_TRUE(j.contains("cmd") && j.contains("name") && j.contains("seq") && j.contains("sid")) << line;
    }
  }
  EXPECT_EQ(bad, badSize.size());
  EXPECT_EQ(rx, badSize.size() + 4 + 2);
  EXPECT_EQ(tx, 2u);
  std::remove(record.c_str());
}

// Random datagrams carrying a registered session's ids reach every handler with every length.
TEST(Sim, SurvivesRandomDatagramsToEveryHandler) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--module", kModule, "--relay-port", "0", "--redirect-text", "127.0.0.1:1"})) << sim.error;
  Pc pc;
  ASSERT_EQ(CommandOf(pc.Register(sim.loginPort, kSn, kPassword)), wire::REDIRECT);
  const std::uint16_t commands[] = {wire::REGISTER, wire::REG_RESPONSE, wire::QUERY_IOSERVER, wire::PING,
                                    wire::QUERY_PARAM, wire::QUERY_INFO, wire::ECHO, wire::COM_DATA,
                                    wire::COM_DATA_ACK, wire::COM_CONFIG, wire::NET_DATA, wire::NET_CONFIG,
                                    wire::REG_OK, 0x1234};
  std::uint32_t state = 12345;
  auto next = [&] { return state = state * 1103515245u + 12345u, state >> 8; };
  const int kCount = 1500;
  for (int i = 0; i < kCount; ++i) {
    const std::uint16_t command = commands[next() % std::size(commands)];
    std::size_t size = command == wire::REGISTER || command == wire::REG_RESPONSE ? 144 : next() % 40;
    Bytes d(size);
    for (auto& b : d) b = static_cast<std::uint8_t>(next());
    if (size >= 16) {
      wire::Header h{pc.sid, 1000, next(), command, static_cast<std::uint16_t>(size - 16)};
      if (next() % 8 == 0) h.length = static_cast<std::uint16_t>(next());
      wire::WriteHeader(d.data(), h);
    }
    pc.Send(next() % 2 ? sim.loginPort : sim.relayPort, d);
    while (pc.Waiting()) pc.Next();
  }
  ASSERT_TRUE(WaitForStats(sim, [&](const auto& j) { return j["rx"] == kCount + 2; }));
  while (pc.Waiting()) pc.Next();
  pc.SendToModule(sim.relayPort, wire::EncodePing(99), 1000);
  std::optional<Bytes> ack;
  while ((ack = pc.Next()) && CommandOf(ack) != wire::PING_ACK) {
  }
  EXPECT_TRUE(ack);
  EXPECT_EQ(sim.Stop(), 0);
}

struct FaultCase {
  const char* name;
  std::vector<std::string> args;
  int copies;
};

class SimFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(SimFaults, AppliesToEveryDatagramSent) {
  const FaultCase& c = GetParam();
  const std::string record = TempPath(std::string(c.name) + ".jsonl");
  std::vector<std::string> args = {"--module", kModule, "--record", record};
  args.insert(args.end(), c.args.begin(), c.args.end());
  SimProcess sim;
  ASSERT_TRUE(sim.Start(args)) << sim.error;
  Pc pc;
  for (int i = 0; i < 3; ++i) pc.Send(sim.loginPort, wire::EncodeRegister(kSn, "TC0123456789AB"));
  // The simulator sends before it reads the next command, so once it has counted the three
  // requests, every copy it sent is already waiting on the socket.
  ASSERT_TRUE(WaitForStats(sim, [](const auto& j) { return j["rx"] == 3; }));
  int received = 0;
  while (pc.Waiting()) {
    ASSERT_EQ(CommandOf(pc.Next()), wire::REG_CHALLENGE);
    ++received;
  }
  EXPECT_EQ(received, 3 * c.copies);
  EXPECT_EQ(sim.Stop(), 0);

  std::ifstream in(record);
  int dropped = 0;
  for (std::string line; std::getline(in, line);) {
    auto j = nlohmann::json::parse(line, nullptr, false);
    ASSERT_TRUE(j.is_object()) << line;
    if (j.value("dropped", false)) ++dropped;
  }
  EXPECT_EQ(dropped, c.copies == 0 ? 3 : 0);
  std::remove(record.c_str());
}

INSTANTIATE_TEST_SUITE_P(Faults, SimFaults,
                         ::testing::Values(FaultCase{"None", {}, 1}, FaultCase{"DropAll", {"--drop", "100"}, 0},
                                           FaultCase{"DuplicateAll", {"--dup", "100"}, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Sim, ReadsModulesFromAConfigFile) {
  const std::string config = TempPath("config.json");
  {
    std::ofstream out(config);
    out << R"({"login_port": 1, "modules": [{"sn": 12345678901, "password": "secret", "id": 77},
                                          {"sn": "22222222222", "password": "other"}]})";
  }
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--config", config})) << sim.error;  // the added --login-port 0 overrides
  Pc pc;
  ASSERT_EQ(CommandOf(pc.Register(sim.loginPort, kSn, kPassword)), wire::REG_OK);
  pc.Send(sim.loginPort, wire::EncodeQueryIOServer(pc.sid));
  auto query = pc.Expect(wire::QUERY_IOSERVER_ACK);
  ASSERT_TRUE(query);
  EXPECT_EQ(wire::DecodeQueryIOServerAck(query->data(), query->size())->firstId, 77u);
  Pc other;
  EXPECT_EQ(CommandOf(other.Register(sim.loginPort, "22222222222", "other", "TC999999999999")), wire::REG_OK);
  EXPECT_EQ(sim.Stop(), 0);
  std::remove(config.c_str());
}

TEST(Sim, KeepsRunningAfterStandardInputEndsAndStopsOnRequest) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--module", kModule})) << sim.error;
  sim.CloseStdin();
  Pc pc;
  EXPECT_EQ(CommandOf(pc.Register(sim.loginPort, kSn, kPassword)), wire::REG_OK);
  EXPECT_EQ(sim.Stop(), 0);

  SimProcess quitting;
  ASSERT_TRUE(quitting.Start({"--module", kModule})) << quitting.error;
  EXPECT_EQ(quitting.Command("quit"), "OK quit");
  EXPECT_FALSE(quitting.ReadLine(10000));  // output ends with the process
  EXPECT_EQ(quitting.Stop(), 0);
}

}  // namespace
