// The core session against murvik-sim over loopback, with real sockets and real time.
#include <gtest/gtest.h>

#include <string>

#include "integration/sim_process.h"
#include "platform/poll_loop.h"
#include "tunnel/client.h"
#include "tunnel/client_mgr.h"

namespace murvik {
namespace {

constexpr const char* kSn = "20230000001";

class SessionSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClientServices() = TClientServices{};
    ClientServices().loop = &loop;
  }
  void TearDown() override {
    // Test bodies hook their locals into the state callback; they are gone by now.
    if (session) session->onStateChanged = nullptr;
    if (session) session->Stop();
    session.reset();
    ClientServices() = TClientServices{};
  }

  void StartSim(std::vector<std::string> args) { ASSERT_TRUE(sim.Start(std::move(args))) << sim.error; }
  void StartSession(const std::string& password = "secret", int model = 0) {
    session = TClientMgr::CreateIOServer(model);
    for (auto& c : session->channels) c->USE = 0;
    session->LOGNAME = "127.0.0.1";
    session->LOGPORT = sim.loginPort;
    session->SN = kSn;
    session->PWD = password;
    ASSERT_TRUE(session->Start());
  }
  bool Until(const std::function<bool()>& pred, int ms) { return loop.RunUntil(pred, static_cast<std::uint32_t>(ms)); }
  bool Online(int ms = 5000) {
    return Until([&] { return session->RegState() == 4 && session->LinkState() == 2; }, ms);
  }

  platform::PollLoop loop;
  test::SimProcess sim;
  std::unique_ptr<TClient> session;
};

TEST_F(SessionSimTest, OnlineThroughTheRelaySurvivesALostModuleAndStopsCleanly) {
  StartSim({"--relay-port", "0", "--module", std::string("sn=") + kSn + ",password=secret"});
  StartSession();
  ASSERT_TRUE(Online());
  EXPECT_EQ(session->ServerAddress().port, sim.relayPort);
  EXPECT_EQ(session->DevType(), "DLXK2-4G");

  // The link may drop and come back within one drain, so count the drops as they are reported.
  int drops = 0;
  session->onStateChanged = [&](TClient& c) { drops += c.LinkState() == 0; };
  EXPECT_EQ(sim.Command(std::string("lost ") + kSn), std::string("OK lost ") + kSn);
  ASSERT_TRUE(Until([&] { return drops > 0; }, 3000));
  ASSERT_TRUE(Online());

  EXPECT_EQ(sim.Command(std::string("offline ") + kSn).rfind("OK", 0), 0u);
  ASSERT_TRUE(Until([&] { return session->LinkState() == 0; }, 3000));
  loop.RunUntil([] { return false; }, 1500);
  EXPECT_EQ(session->LinkState(), 0) << "an absent module is not found";
  EXPECT_TRUE(session->IsRunning());
  sim.Command(std::string("online ") + kSn);
  ASSERT_TRUE(Online(4000));

  session->Stop();
  EXPECT_EQ(session->RegState(), 0);
  EXPECT_EQ(sim.Stop(), 0);
}

TEST_F(SessionSimTest, TenLostPingsDropTheLinkAndTheSearchFindsTheModuleAgain) {
  StartSim({"--module", std::string("sn=") + kSn + ",password=secret"});
  StartSession();
  ASSERT_TRUE(Online());
  int drops = 0;
  session->onStateChanged = [&](TClient& c) { drops += c.LinkState() == 0; };
  sim.Command(std::string("mute ") + kSn);
  // 5 s to the first ping, then one a second: the tenth unanswered one drops the link.
  ASSERT_TRUE(Until([&] { return drops > 0; }, 20000));
  sim.Command(std::string("unmute ") + kSn);
  ASSERT_TRUE(Online());
}

TEST_F(SessionSimTest, RefusalsStopTheSessionWithTheirErrorCode) {
  struct Case {
    std::string module;
    std::string password;
    int errorCode;
  };
  const std::vector<Case> cases = {
      {std::string("sn=") + kSn + ",password=secret", "wrong", 3},
      {"sn=99999999999,password=secret", "secret", 2},
      {std::string("sn=") + kSn + ",password=secret,refuse=15", "secret", 4},
      {std::string("sn=") + kSn + ",password=secret,refuse=11", "secret", 5},
      {std::string("sn=") + kSn + ",password=secret,firmware=29", "secret", 6},
      {std::string("sn=") + kSn + ",password=secret,devtype=DLXK5-4G", "secret", 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.module);
    test::SimProcess one;
    ASSERT_TRUE(one.Start({"--module", c.module})) << one.error;
    session = TClientMgr::CreateIOServer(0);
    for (auto& ch : session->channels) ch->USE = 0;
    session->LOGNAME = "127.0.0.1";
    session->LOGPORT = one.loginPort;
    session->SN = kSn;
    session->PWD = c.password;
    ASSERT_TRUE(session->Start());
    EXPECT_TRUE(Until([&] { return !session->IsRunning(); }, 5000));
    EXPECT_EQ(session->ErrorCode(), c.errorCode);
    EXPECT_EQ(one.Stop(), 0);
  }
}

TEST_F(SessionSimTest, LostAnswersAreRetriedUntilOnline) {
  // A third of the simulator's datagrams are lost: every step is repeated until it gets through.
  StartSim({"--relay-port", "0", "--drop", "33", "--seed", "5", "--module",
            std::string("sn=") + kSn + ",password=secret"});
  StartSession();
  EXPECT_TRUE(Online(30000));
}

}  // namespace
}  // namespace murvik
