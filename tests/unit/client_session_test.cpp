// The session state machine on the manual loop against a scripted server on loopback.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "config/client_name_mgr.h"
#include "diagnostics/server_log.h"
#include "platform/key_store.h"
#include "platform/manual_loop.h"
#include "support/scripted_server.h"
#include "tunnel/chanel.h"
#include "tunnel/client.h"
#include "tunnel/wire_format.h"

namespace murvik {
namespace {

using test::Datagram;
using test::ScriptedServer;

class FakeChanel : public TChanel {
 public:
  FakeChanel() : TChanel(kSerial) { USE = 1; }
  bool Open(TClient*) override { ++opens; return openResult; }
  bool Close() override { ++closes; return true; }
  void Reset() override { ++resets; }
  bool IsReady() override { return true; }
  void OnTimer() override { ++ticks; }
  int opens = 0, closes = 0, resets = 0, ticks = 0;
  bool openResult = true;
};

constexpr std::uint32_t kSid = 0x11223344;
constexpr std::uint32_t kModuleId = 1234;
const wire::Challenge kChallenge = [] {
  wire::Challenge c{};
  for (int i = 0; i < 32; ++i) c[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return c;
}();

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("murvik-session-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    store_ = std::make_unique<platform::KeyStore>((dir_ / "keys.json").string());
    names_ = std::make_unique<TClientNameMgr>(*store_);
    ClientServices() = TClientServices{};
    ClientServices().loop = &loop;
    ClientServices().names = names_.get();
    SetLogObserver([this](int, std::string_view text) {
      std::lock_guard lock(logMutex_);
      logs.emplace_back(text);
    });
    s = std::make_unique<TClient>(0);
    s->LOGNAME = "127.0.0.1";
    s->LOGPORT = login.Port();
    s->SN = "12345678901";
    s->PWD = "secret";
    auto ch = std::make_unique<FakeChanel>();
    chan = ch.get();
    s->channels.push_back(std::move(ch));
  }
  void TearDown() override {
    // Test bodies hook their locals into the state callback; they are gone by now.
    if (s) s->onStateChanged = nullptr;
    s.reset();
    SetLogObserver(nullptr);
    ClientServices() = TClientServices{};
    std::filesystem::remove_all(dir_);
  }

  // Sends a server packet to the session and lets the loop drain it.
  void Deliver(const std::vector<std::uint8_t>& bytes, ScriptedServer* from = nullptr) {
    ASSERT_TRUE(test::DeliverTo(loop, from ? *from : login, bytes))
        << "the receive thread did not hand the datagram over";
  }
  bool Logged(const std::string& line) {
    std::lock_guard lock(logMutex_);
    for (const auto& l : logs)
      if (l == line) return true;
    return false;
  }

  void Register() {
    ASSERT_TRUE(s->Start());
    auto reg = login.NextOf(wire::REGISTER);
    ASSERT_TRUE(reg);
    Deliver(test::RegChallenge(kSid, kChallenge));
    auto resp = login.NextOf(wire::REG_RESPONSE);
    ASSERT_TRUE(resp);
    Deliver(test::Packet(wire::REG_OK, {}));
    ASSERT_EQ(s->RegState(), 4);
    ASSERT_TRUE(login.NextOf(wire::QUERY_IOSERVER));
  }
  void Online() {
    Register();
    Deliver(test::QueryAck(0, 1, 1, kModuleId));
    ASSERT_TRUE(login.NextOf(wire::QUERY_PARAM));
    Deliver(test::ParamAck("DLXK2-4G", "N2W", 31, 1));
    ASSERT_EQ(s->LinkState(), 2);
  }

  platform::ManualLoop loop;
  ScriptedServer login;
  std::unique_ptr<TClient> s;
  FakeChanel* chan = nullptr;
  std::vector<std::string> logs;

 private:
  std::filesystem::path dir_;
  std::unique_ptr<platform::KeyStore> store_;
  std::unique_ptr<TClientNameMgr> names_;
  std::mutex logMutex_;
};

TEST_F(SessionTest, RegistersFindsAndChecksTheModuleThenSaysGoodbye) {
  ASSERT_TRUE(s->Start());
  EXPECT_EQ(chan->opens, 1);
  auto reg = login.NextOf(wire::REGISTER);
  ASSERT_TRUE(reg);
  ASSERT_EQ(reg->bytes.size(), 144u);
  EXPECT_EQ(reg->bytes[16], '1');
  EXPECT_EQ(reg->bytes[80], 'T');  // the stored client name, "TC" + 12 hex digits
  EXPECT_EQ(s->RegState(), 1);

  Deliver(test::RegChallenge(kSid, kChallenge));
  auto resp = login.NextOf(wire::REG_RESPONSE);
  ASSERT_TRUE(resp);
  EXPECT_EQ(resp->header().sessionId, kSid);
  auto digest = wire::ChallengeDigest(kChallenge, "secret");
  EXPECT_TRUE(std::equal(digest.begin(), digest.end(), resp->bytes.begin() + 112));
  EXPECT_EQ(std::vector<std::uint8_t>(resp->bytes.begin() + 16, resp->bytes.begin() + 112),
            std::vector<std::uint8_t>(reg->bytes.begin() + 16, reg->bytes.begin() + 112));

  Deliver(test::Packet(wire::REG_OK, {}));
  EXPECT_TRUE(Logged("DoRegOK()\r\n"));
  auto query = login.NextOf(wire::QUERY_IOSERVER);
  ASSERT_TRUE(query);
  EXPECT_EQ(query->header().sessionId, kSid);
  EXPECT_EQ(query->header().ioServerId, 0u);

  Deliver(test::QueryAck(0, 1, 1, kModuleId));
  auto qp = login.NextOf(wire::QUERY_PARAM);
  ASSERT_TRUE(qp);
  EXPECT_EQ(qp->header().sessionId, kSid);
  EXPECT_EQ(qp->header().ioServerId, kModuleId);

  Deliver(test::ParamAck("DLXK2-4G", "N2W", 31, 1));
  EXPECT_EQ(s->LinkState(), 2);
  EXPECT_EQ(s->DevType(), "DLXK2-4G");
  EXPECT_EQ(s->FirmwareVersion(), 31);
  EXPECT_TRUE(s->FirstPortFlag());
  EXPECT_TRUE(s->SecondPortFlag());
  EXPECT_TRUE(s->WifiFlag());
  EXPECT_FALSE(s->CellularFlag());
  EXPECT_TRUE(s->InfoQueryFlag());
  EXPECT_TRUE(Logged("DevType:DLXK2-4G, DevSubType:N2W\r\n"));

  loop.Advance(200);
  EXPECT_GE(chan->ticks, 1);  // channels tick while online
  EXPECT_GT(s->BytesSent(), 0);
  EXPECT_GT(s->BytesReceived(), 0);

  s->Stop();
  auto nak1 = login.NextOf(wire::NAK);
  auto nak2 = login.NextOf(wire::NAK);
  ASSERT_TRUE(nak1 && nak2);
  EXPECT_EQ(nak1->bytes.size(), 16u);
  EXPECT_EQ(nak1->header().sessionId, kSid);
  EXPECT_EQ(nak1->header().ioServerId, 0u);
  EXPECT_TRUE(login.Quiet());
  EXPECT_FALSE(s->IsRunning());
  EXPECT_EQ(s->RegState(), 0);
  EXPECT_EQ(chan->closes, 1);
}

TEST_F(SessionTest, SameClientNameOnEveryRegistration) {
  ASSERT_TRUE(s->Start());
  auto first = login.NextOf(wire::REGISTER);
  loop.Advance(3000);  // no challenge: registration starts again
  auto second = login.NextOf(wire::REGISTER);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(std::vector<std::uint8_t>(first->bytes.begin() + 80, first->bytes.begin() + 112),
            std::vector<std::uint8_t>(second->bytes.begin() + 80, second->bytes.begin() + 112));
}

TEST_F(SessionTest, RegistrationTimeoutsFollowTheQuietPeriods) {
  ASSERT_TRUE(s->Start());
  ASSERT_TRUE(login.NextOf(wire::REGISTER));
  loop.Advance(2950);
  EXPECT_TRUE(login.Quiet());
  loop.Advance(50);
  ASSERT_TRUE(login.NextOf(wire::REGISTER));  // state 1 after 3 s

  Deliver(test::RegChallenge(kSid, kChallenge));
  ASSERT_TRUE(login.NextOf(wire::REG_RESPONSE));
  loop.Advance(4950);
  EXPECT_TRUE(login.Quiet());
  loop.Advance(50);
  ASSERT_TRUE(login.NextOf(wire::REGISTER));  // state 2 after 5 s
  EXPECT_EQ(s->RegState(), 1);
}

TEST_F(SessionTest, OutOfStatePacketsAreIgnored) {
  ASSERT_TRUE(s->Start());
  ASSERT_TRUE(login.NextOf(wire::REGISTER));
  Deliver(test::Packet(wire::REG_OK, {}));  // REG_OK in state 1
  EXPECT_EQ(s->RegState(), 1);
  Deliver(test::RegChallenge(kSid, kChallenge));
  ASSERT_TRUE(login.NextOf(wire::REG_RESPONSE));
  Deliver(test::RegChallenge(kSid + 1, kChallenge));  // a second challenge in state 2
  EXPECT_TRUE(login.Quiet());
  EXPECT_EQ(s->RegState(), 2);
}

TEST_F(SessionTest, ModuleSearchAndParameterQueryRepeatAndGiveUp) {
  Register();
  loop.Advance(1000);
  ASSERT_TRUE(login.NextOf(wire::QUERY_IOSERVER));  // link 0: every second

  Deliver(test::QueryAck(0, 1, 1, kModuleId));
  ASSERT_TRUE(login.NextOf(wire::QUERY_PARAM));
  Deliver(test::QueryAck(0, 1, 1, kModuleId));  // found again in link 1: no second BeginQueryParam
  EXPECT_TRUE(login.Quiet());
  for (int i = 2; i <= 5; ++i) {
    loop.Advance(1000);
    ASSERT_TRUE(login.NextOf(wire::QUERY_PARAM)) << i;
  }
  int resetsBefore = chan->resets;
  loop.Advance(1000);  // the fifth went unanswered: back to the search
  auto q = login.Next();
  ASSERT_TRUE(q);
  EXPECT_EQ(q->command(), wire::QUERY_IOSERVER);
  EXPECT_EQ(s->LinkState(), 0);
  EXPECT_EQ(chan->resets, resetsBefore + 1);
}

TEST_F(SessionTest, AckCombinationsOtherThanFoundOrAbsentChangeNothing) {
  Register();
  Deliver(test::QueryAck(0, 2, 2, kModuleId));
  EXPECT_EQ(s->LinkState(), 0);
  EXPECT_TRUE(login.Quiet());
  Deliver(test::QueryAck(0, 1, 1, kModuleId));
  ASSERT_TRUE(login.NextOf(wire::QUERY_PARAM));
  Deliver(test::QueryAck(0, 0, 0, 0));  // not present any more
  EXPECT_EQ(s->LinkState(), 0);
  EXPECT_TRUE(login.NextOf(wire::QUERY_IOSERVER));
}

TEST_F(SessionTest, KeepAlivePingsAndTenLostPingsDropTheLink) {
  Online();
  loop.Advance(4950);
  EXPECT_TRUE(login.Quiet());
  loop.Advance(50);
  auto ping = login.NextOf(wire::PING);
  ASSERT_TRUE(ping);
  EXPECT_EQ(ping->header().seqId, 0u);
  EXPECT_EQ(ping->header().ioServerId, kModuleId);
  Deliver(test::Packet(wire::PING_ACK, {}, kSid, 0));
  EXPECT_TRUE(Logged("DoPingIOServerAck():SeqID=0, time=" + std::to_string(loop.Now()) + "\r\n"));

  loop.Advance(5000);
  ASSERT_TRUE(login.NextOf(wire::PING));  // seq 1, unanswered from now on
  for (std::uint32_t seq = 2; seq <= 10; ++seq) {
    loop.Advance(1000);
    auto p = login.NextOf(wire::PING);
    ASSERT_TRUE(p) << seq;
    EXPECT_EQ(p->header().seqId, seq);
  }
  int resetsBefore = chan->resets;
  loop.Advance(1000);
  ASSERT_TRUE(login.NextOf(wire::QUERY_IOSERVER));
  EXPECT_EQ(s->LinkState(), 0);
  EXPECT_EQ(s->FirmwareVersion(), -1);
  EXPECT_EQ(chan->resets, resetsBefore + 1);
}

TEST_F(SessionTest, LostModuleGoesBackToTheSearchWithoutStopping) {
  Online();
  Deliver(test::Packet(wire::IOSERVER_LOST, {}));
  EXPECT_TRUE(s->IsRunning());
  EXPECT_EQ(s->LinkState(), 0);
  EXPECT_TRUE(login.NextOf(wire::QUERY_IOSERVER));
  Deliver(test::QueryAck(0, 1, 1, kModuleId));
  ASSERT_TRUE(login.NextOf(wire::QUERY_PARAM));
  Deliver(test::ParamAck("DLXK2", "", 30, 0));
  EXPECT_EQ(s->LinkState(), 2);
  EXPECT_TRUE(s->WifiFlag());  // hardware flags are never cleared
}

TEST_F(SessionTest, HookSuppressesPingsAndConsumesPackets) {
  Online();
  int seen = 0;
  s->InstallHook(
      [&](const std::uint8_t* p, std::size_t, void* ctx) {
        ++seen;
        EXPECT_EQ(ctx, &seen);
        return wire::Get16(p + 12) == wire::PING_ACK;
      },
      &seen);
  loop.Advance(6000);
  EXPECT_TRUE(login.Quiet());  // no PING while the hook is installed
  s->RemoveHook();
  loop.Advance(100);
  ASSERT_TRUE(login.NextOf(wire::PING));
  s->InstallHook([&](const std::uint8_t* p, std::size_t, void*) { ++seen; return wire::Get16(p + 12) == wire::PING_ACK; },
                 nullptr);
  Deliver(test::Packet(wire::PING_ACK, {}, kSid, 0));
  EXPECT_EQ(seen, 1);
  s->RemoveHook();
  loop.Advance(1000);  // the consumed answer did not count: the ping is repeated after 1 s
  EXPECT_TRUE(login.NextOf(wire::PING));
}

struct RefusalCase {
  const char* name;
  int atState;  // 1, 2 or 4
  std::vector<std::uint8_t> packet;
  int errorCode;    // -1: registration starts again instead
  const char* logLine;
};

class SessionRefusalTest : public SessionTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(SessionRefusalTest, StopsWithTheErrorCodeOrRegistersAgain) {
  const RefusalCase& c = GetParam();
  ASSERT_TRUE(s->Start());
  ASSERT_TRUE(login.NextOf(wire::REGISTER));
  if (c.atState >= 2) {
    Deliver(test::RegChallenge(kSid, kChallenge));
    ASSERT_TRUE(login.NextOf(wire::REG_RESPONSE));
  }
  if (c.atState == 4) {
    Deliver(test::Packet(wire::REG_OK, {}));
    ASSERT_TRUE(login.NextOf(wire::QUERY_IOSERVER));
  }
  int resetsBefore = chan->resets;
  Deliver(c.packet);
  EXPECT_TRUE(Logged(c.logLine));
  if (c.errorCode >= 0) {
    EXPECT_FALSE(s->IsRunning());
    EXPECT_EQ(s->ErrorCode(), c.errorCode);
    EXPECT_EQ(s->RegState(), 0);
  } else {
    EXPECT_TRUE(s->IsRunning());
    EXPECT_EQ(s->ErrorCode(), 0);
    EXPECT_TRUE(login.NextOf(wire::REGISTER));  // at once, to the login server
    EXPECT_GT(chan->resets, resetsBefore);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, SessionRefusalTest,
    ::testing::Values(RefusalCase{"NakWhileRegistering", 1, test::Packet(wire::NAK, {}), 2, "DoNAK()\r\n"},
                      RefusalCase{"NakAfterResponse", 2, test::Packet(wire::NAK, {}), 3, "DoNAK()\r\n"},
                      RefusalCase{"NakWhenRegistered", 4, test::Packet(wire::NAK, {}), -1, "DoNAK()\r\n"},
                      RefusalCase{"Unregistered", 2, test::NakEx(1), 2, "unregister device ID\r\n"},
                      RefusalCase{"Password", 2, test::NakEx(3), 3, "password error\r\n"},
                      RefusalCase{"NonTrans", 4, test::NakEx(11), 5, "nontrans error\r\n"},
                      RefusalCase{"MultiClient", 4, test::NakEx(15), 4, "multi client error\r\n"},
                      RefusalCase{"OtherReason", 4, test::NakEx(7), -1, "DoNAKEx()\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

struct CheckCase {
  const char* name;
  int model;
  const char* devType;
  const char* devSubType;
  std::uint16_t firmware;
  int errorCode;  // 0: online
  bool first, second, wifi, cellular;
};

class SessionModuleCheckTest : public SessionTest, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(SessionModuleCheckTest, TypeFirmwareAndHardwareFlags) {
  const CheckCase& c = GetParam();
  s = std::make_unique<TClient>(c.model);
  s->LOGNAME = "127.0.0.1";
  s->LOGPORT = login.Port();
  s->SN = "12345678901";
  s->PWD = "secret";
  chan = nullptr;
  Register();
  Deliver(test::QueryAck(0, 1, 1, kModuleId));
  ASSERT_TRUE(login.NextOf(wire::QUERY_PARAM));
  Deliver(test::ParamAck(c.devType, c.devSubType, c.firmware, 0));
  EXPECT_EQ(s->ErrorCode(), c.errorCode);
  EXPECT_EQ(s->IsRunning(), c.errorCode == 0);
  EXPECT_EQ(s->FirstPortFlag(), c.first);
  EXPECT_EQ(s->SecondPortFlag(), c.second);
  EXPECT_EQ(s->WifiFlag(), c.wifi);
  EXPECT_EQ(s->CellularFlag(), c.cellular);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, SessionModuleCheckTest,
    ::testing::Values(CheckCase{"K5OnModel0", 0, "DLXK5-W", "", 31, 7, false, false, false, false},
                      CheckCase{"OldFirmware", 0, "DLXK2", "N", 29, 6, true, false, false, false},
                      CheckCase{"FirmwareThirty", 0, "DLXK2", "N2W", 30, 0, true, true, true, false},
                      CheckCase{"Cellular", 0, "DLXK2", "Q", 40, 0, false, false, false, true},
                      CheckCase{"Model1Flags", 1, "DLXK5-WL", "", 31, 0, true, true, true, true},
                      CheckCase{"PavanoNeverMatches", 1, "PAVANO", "", 31, 7, false, false, false, false},
                      CheckCase{"OtherTypesPass", 1, "XYZ", "", 31, 0, true, true, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionTest, RedirectMovesTheSessionToTheRelayAndBackAfterThirtyQueries) {
  ScriptedServer relay;
  const std::string target = "127.0.0.1:" + std::to_string(relay.Port());
  s->relays = {{7, "east", "", "other:1"}, {9, "west", "fast", target}};
  ASSERT_TRUE(s->Start());
  ASSERT_TRUE(login.NextOf(wire::REGISTER));
  Deliver(test::RegChallenge(kSid, kChallenge));
  ASSERT_TRUE(login.NextOf(wire::REG_RESPONSE));
  Deliver(test::Redirect(target));
  EXPECT_EQ(s->RegState(), 3);
  EXPECT_EQ(s->selectedRelayId, 9);
  auto q = relay.NextOf(wire::QUERY_IOSERVER);
  ASSERT_TRUE(q);
  EXPECT_EQ(q->header().sessionId, kSid);
  for (int i = 2; i <= 30; ++i) {
    loop.Advance(2000);
    ASSERT_TRUE(relay.NextOf(wire::QUERY_IOSERVER)) << i;
  }
  EXPECT_TRUE(login.Quiet(5));
  loop.Advance(100);
  EXPECT_TRUE(login.NextOf(wire::REGISTER));
  EXPECT_EQ(s->RegState(), 1);
}

TEST_F(SessionTest, FoundAtTheRelayCompletesTheRegistration) {
  ScriptedServer relay;
  ASSERT_TRUE(s->Start());
  ASSERT_TRUE(login.NextOf(wire::REGISTER));
  Deliver(test::RegChallenge(kSid, kChallenge));
  ASSERT_TRUE(login.NextOf(wire::REG_RESPONSE));
  Deliver(test::Redirect("127.0.0.1:" + std::to_string(relay.Port())));
  ASSERT_TRUE(relay.NextOf(wire::QUERY_IOSERVER));
  Deliver(test::QueryAck(0, 1, 1, kModuleId), &relay);
  EXPECT_EQ(s->RegState(), 4);
  EXPECT_EQ(s->LinkState(), 1);
  EXPECT_TRUE(relay.NextOf(wire::QUERY_PARAM));
  EXPECT_EQ(s->selectedRelayId, 0);  // no listed entry carries that address
}

TEST_F(SessionTest, BadAndShortDatagramsAreDroppedWithALine) {
  std::vector<std::uint8_t> bad(20, 0);
  wire::Put16(bad.data() + 12, wire::REG_OK);
  wire::Put16(bad.data() + 14, 8);
  s->Dispatch(bad.data(), bad.size());  // stopped: everything is dropped silently
  EXPECT_FALSE(Logged("recived bad packet\r\n"));

  Register();
  Deliver(bad);
  EXPECT_TRUE(Logged("recived bad packet\r\n"));
  Deliver(test::QueryAck(0, 1, 1, kModuleId));
  ASSERT_TRUE(login.NextOf(wire::QUERY_PARAM));
  Deliver(test::Packet(wire::PARAM_ACK, std::vector<std::uint8_t>(10, 'D')));
  EXPECT_EQ(s->LinkState(), 1);
  Deliver(test::Packet(wire::NAK_EX, {1}));
  EXPECT_TRUE(s->IsRunning());
  Deliver(test::Packet(wire::QUERY_IOSERVER_ACK, {0, 0}));
  EXPECT_EQ(s->LinkState(), 1);
  bool sawShortLine = false;
  for (const auto& l : logs) sawShortLine |= l.find("too short") != std::string::npos;
  EXPECT_TRUE(sawShortLine);
}

TEST_F(SessionTest, ChannelOpenFailureStopsTheStartWithoutAnErrorCode) {
  chan->openResult = false;
  EXPECT_FALSE(s->Start());
  EXPECT_FALSE(s->IsRunning());
  EXPECT_EQ(s->ErrorCode(), 0);
  EXPECT_EQ(chan->closes, 1);
  EXPECT_TRUE(login.Quiet());
}

TEST_F(SessionTest, UnresolvableHostFailsAfterSixAttempts) {
  s->LOGNAME = "no-such-host.invalid";
  const std::uint32_t before = loop.Now();
  EXPECT_FALSE(s->Start());
  EXPECT_EQ(s->ErrorCode(), 1);
  EXPECT_EQ(loop.Now() - before, 6000u);  // a one-second wait after each of six look-ups
}

TEST_F(SessionTest, StopBeforeRegistrationSendsNoGoodbye) {
  ASSERT_TRUE(s->Start());
  ASSERT_TRUE(login.NextOf(wire::REGISTER));
  Deliver(test::RegChallenge(kSid, kChallenge));
  ASSERT_TRUE(login.NextOf(wire::REG_RESPONSE));
  s->Stop();
  EXPECT_TRUE(login.Quiet());
  s->Stop();  // safe when not running
}

TEST_F(SessionTest, StateChangesAreReported) {
  std::vector<std::tuple<int, int, int>> seen;
  s->onStateChanged = [&](TClient& c) { seen.emplace_back(c.RegState(), c.LinkState(), c.ErrorCode()); };
  Online();
  Deliver(test::NakEx(3));
  std::vector<std::tuple<int, int, int>> expected = {{1, 0, 0}, {2, 0, 0}, {4, 0, 0},
                                                     {4, 1, 0}, {4, 2, 0}, {0, 0, 3}};
  EXPECT_EQ(seen, expected);
}

// Bursts straight into the ring while the loop is not draining: order kept, nothing lost below the
// ring's capacity, and a full ring never lets the writer overtake unread slots.
TEST_F(SessionTest, RingKeepsOrderUnderBursts) {
  Register();
  std::vector<std::uint32_t> seen;
  s->InstallHook(
      [&](const std::uint8_t* p, std::size_t, void*) {
        if (wire::Get16(p + 12) != wire::ECHO_ACK) return false;
        seen.push_back(wire::Get32(p + 8));
        return true;
      },
      nullptr);
  auto drainAll = [&](std::size_t expected) {
    for (int i = 0; i < 200 && seen.size() < expected; ++i) {
      loop.WaitForPosted(20);
      loop.RunPending();
    }
  };
  std::uint32_t seq = 0;
  for (int batch = 0; batch < 5; ++batch) {
    // Paced so the socket buffer never overflows; the loop does not drain meanwhile.
    for (int i = 0; i < 1000; ++i) {
      login.Send(test::Packet(wire::ECHO_ACK, {}, kSid, seq++));
      if (i % 50 == 49) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    drainAll(seq);
  }
  ASSERT_EQ(seen.size(), seq);
  for (std::uint32_t i = 0; i < seq; ++i) ASSERT_EQ(seen[i], i);

  seen.clear();
  // More than the ring holds: the rest waits in the socket until the loop has drained.
  for (int i = 0; i < 1100; ++i) {
    login.Send(test::Packet(wire::ECHO_ACK, {}, kSid, 100000 + i));
    if (i % 50 == 49) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  drainAll(1100);
  ASSERT_EQ(seen.size(), 1100u);
  for (std::size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], 100000 + i);
}

}  // namespace
}  // namespace murvik
