// The session list and the conflict check that guards a user's start.
#include "tunnel/client_mgr.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices/zn_common_fun.h"
#include "platform/manual_loop.h"
#include "platform/net.h"
#include "tunnel/com_chanel.h"
#include "tunnel/net_chanel.h"

namespace murvik {
namespace {

// A serial channel whose local port opens without a virtual device behind it.
class OpenableCom : public TComChanel {
 public:
  using TComChanel::TComChanel;
  bool Open(TClient*) override {
    open_ = true;
    return true;
  }
  bool Close() override {
    open_ = false;
    return true;
  }
};

std::uint32_t Ip(const char* t) { return platform::Ipv4FromText(t); }

class ClientMgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClientServices() = TClientServices{};
    ClientServices().loop = &loop;
    SetMessageHandler([this](MessageKind, const std::string&, const std::string& text) {
      messages.push_back(text);
      return false;
    });
  }
  void TearDown() override {
    mgr.Clear();
    SetMessageHandler(nullptr);
    ClientServices() = TClientServices{};
  }

  // A session with three serial channels (VPORTs given, "" = disabled) and a network channel.
  TClient* Add(const std::string& name, std::vector<std::string> vports, bool netUse, const char* ipMin = "0.0.0.0",
               const char* ipMax = "0.0.0.0") {
    auto s = std::make_unique<TClient>(0);
    s->NAME = name;
    s->SN = "1000000000" + std::to_string(mgr.Count());
    s->LOGNAME = "127.0.0.1";
    s->LOGPORT = 9;
    const char* dports[] = {"COM1", "COM2", "COM3"};
    for (int i = 0; i < 3; ++i) {
      auto c = std::make_unique<OpenableCom>(dports[i]);
      c->VPORT = vports[i];
      c->USE = vports[i].empty() ? 0 : 1;
      s->channels.push_back(std::move(c));
    }
    auto net = std::make_unique<TNetChanel>();
    net->USE = netUse ? 1 : 0;
    net->IP = Ip("192.168.1.1");
    net->NETMASK = Ip("255.255.255.0");
    net->IPMIN = Ip(ipMin);
    net->IPMAX = Ip(ipMax);
    s->channels.push_back(std::move(net));
    TClient* raw = s.get();
    mgr.Add(std::move(s));
    return raw;
  }
  // Runs a session without its network channel (no adapter behind it in these tests).
  void Run(TClient* s) {
    s->NetChanel()->USE = 0;
    ASSERT_TRUE(s->Start());
  }

  platform::ManualLoop loop;
  TClientMgr mgr;
  std::vector<std::string> messages;
};

TEST_F(ClientMgrTest, ListOperations) {
  TClient* a = Add("A", {"", "", ""}, false);
  TClient* b = Add("B", {"", "", ""}, false);
  EXPECT_EQ(mgr.Count(), 2);
  EXPECT_EQ(mgr.At(1), b);
  EXPECT_EQ(mgr.FindByName("A"), a);
  EXPECT_EQ(mgr.FindByName("a"), nullptr);
  EXPECT_EQ(mgr.FindBySN(b->SN), b);
  mgr.Remove(a);
  EXPECT_EQ(mgr.Count(), 1);
  mgr.Remove(new TClient(0));  // not in the list: destroyed all the same (ASan would see a leak)
  EXPECT_EQ(mgr.Count(), 1);
}

TEST_F(ClientMgrTest, OwnPortsAndDisabledModule) {
  struct Case {
    std::vector<std::string> vports;
    bool netUse;
    const char* message;  // nullptr: passes
  };
  const std::vector<Case> cases = {
      {{"", "", ""}, false, "\"M\"模块所有端口已禁用"},
      {{"COM5", "COM5", ""}, false, "\"M\"模块使用了相同本地串口"},
      {{"COM5", "com5", ""}, false, nullptr},
      {{"", "", ""}, true, nullptr},
  };
  for (const auto& c : cases) {
    messages.clear();
    TClient* s = Add("M", c.vports, c.netUse);
    EXPECT_EQ(mgr.CheckConflicts(s), c.message == nullptr);
    if (c.message) {
      EXPECT_EQ(messages, std::vector<std::string>{c.message});
    } else {
      EXPECT_TRUE(messages.empty());
    }
    mgr.Remove(s);
  }
}

TEST_F(ClientMgrTest, PortsOfRunningSessions) {
  TClient* running = Add("R", {"COM7", "COM8", ""}, false);
  Run(running);
  TClient* idle = Add("I", {"COM9", "", ""}, false);  // not running: never counts

  TClient* clash = Add("N", {"", "COM7", ""}, false);
  EXPECT_FALSE(mgr.CheckConflicts(clash));
  EXPECT_EQ(messages.back(), "\"N\"与已运行模块使用了相同本地串口");

  TClient* free = Add("F", {"COM9", "", ""}, false);
  EXPECT_TRUE(mgr.CheckConflicts(free));

  running->Stop();
  EXPECT_TRUE(mgr.CheckConflicts(clash));
  (void)idle;
}

TEST_F(ClientMgrTest, DisabledChannelOfARunningSessionDoesNotBlock) {
  TClient* running = Add("R", {"COM3", "", ""}, false);
  static_cast<TComChanel*>(running->channels[1].get())->VPORT = "COM7";  // disabled, never opened
  Run(running);
  TClient* s = Add("N", {"COM7", "", ""}, false);
  EXPECT_TRUE(mgr.CheckConflicts(s));
}

TEST_F(ClientMgrTest, AddressRangesOfRunningSessions) {
  TClient* running = Add("R", {"COM1", "", ""}, false, "192.168.1.10", "192.168.1.20");
  Run(running);  // its network channel is disabled, yet its filter still counts
  struct Case {
    const char* lo;
    const char* hi;
    bool netUse;
    bool passes;
  };
  const std::vector<Case> cases = {
      {"192.168.1.15", "192.168.1.30", true, false},
      {"192.168.1.21", "192.168.1.30", true, true},
      {"192.168.1.5", "192.168.1.30", true, true},  // encloses the range, neither end inside it
      {"192.168.1.15", "192.168.1.30", false, true},
  };
  for (const auto& c : cases) {
    messages.clear();
    TClient* s = Add("N", {"COM2", "", ""}, c.netUse, c.lo, c.hi);
    EXPECT_EQ(mgr.CheckConflicts(s), c.passes) << c.lo << ".." << c.hi;
    if (!c.passes) {
      EXPECT_EQ(messages.back(), "N 与 R IP地址冲突");
    }
    mgr.Remove(s);
  }
}

TEST(NetFilter, PlanTable) {
  auto plan = [](const char* lo, const char* hi) {
    return NetPlan{Ip("192.168.1.1"), Ip("255.255.255.0"), Ip(lo), Ip(hi), 0, false};
  };
  struct Case {
    NetPlan plan;
    const char* d;
    bool passes;
  };
  NetPlan withDevice = plan("192.168.1.10", "192.168.1.20");
  withDevice.hasSelectedDevice = true;
  withDevice.selectedDeviceIp = Ip("192.168.1.50");
  NetPlan hostMask = plan("0.0.0.0", "0.0.0.0");
  hostMask.NETMASK = Ip("255.255.255.255");
  const std::vector<Case> cases = {
      {plan("192.168.1.10", "192.168.1.20"), "192.168.1.15", true},
      {plan("192.168.1.10", "192.168.1.20"), "192.168.1.30", false},
      {plan("192.168.1.10", "192.168.1.20"), "192.168.2.15", false},
      {plan("192.168.1.10", "192.168.1.20"), "192.168.1.255", true},
      {plan("192.168.1.10", "192.168.1.20"), "255.255.255.255", true},
      {plan("192.168.1.20", "192.168.1.10"), "192.168.1.15", true},
      {plan("0.0.0.0", "0.0.0.0"), "192.168.1.200", true},
      {plan("0.0.0.0", "0.0.0.0"), "10.0.0.1", false},
      {withDevice, "192.168.1.50", true},
      {withDevice, "192.168.1.15", false},
      {withDevice, "192.168.1.255", true},
      {hostMask, "255.255.255.255", false},  // under a host mask nothing counts as a broadcast
  };
  for (const auto& c : cases) EXPECT_EQ(NetFilterPasses(c.plan, Ip(c.d)), c.passes) << c.d;
}

TEST(NetFilter, SelectionNamingNoDeviceLetsOnlyBroadcastsThrough) {
  TNetChanel net;
  net.IPMIN = net.IPMAX = 0;
  net.selectedDevice = 3;
  EXPECT_FALSE(net.Filter(Ip("192.168.1.77")));
  EXPECT_TRUE(net.Filter(Ip("192.168.1.255")));
  net.devices.push_back(std::make_unique<TNetDevice>(TNetDevice{"plc", "", Ip("192.168.1.77")}));
  net.selectedDevice = 1;
  EXPECT_TRUE(net.Filter(Ip("192.168.1.77")));
  EXPECT_FALSE(net.Filter(Ip("192.168.1.78")));
}

}  // namespace
}  // namespace murvik
