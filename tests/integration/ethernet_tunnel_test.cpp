// The Ethernet path for real: in a network namespace of the test's own (the PC), murvikd sets up
// the adapter that tapinstall made and carries frames to murvik-sim, whose TAP interface sits in
// a second namespace (the devices behind the module) with the "PLC" address. ping and curl on the
// PC reach it by its own address. Needs root, as CI runs.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "config/config_file.h"
#include "daemon_process.h"
#include "platform/net.h"
#include "platform/tap.h"
#include "sim_process.h"
#include "support/scoped_netns.h"
#include "support/serial_pair_fixture.h"
#include "support/temp_dir.h"
#include "tunnel/client_mgr.h"
#include "tunnel/net_chanel.h"

namespace murvik {
namespace {

const std::string kModuleMac = "00:1A:2B:3C:4D:5E";

// Runs a shell command in the test thread's namespace; answers its output.
std::string Shell(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  int rc = ::pclose(p);
  if (status != nullptr) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}
bool Ok(const std::string& command) {
  int status = -1;
  Shell(command, &status);
  return status == 0;
}

class EthernetTunnelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!netns_.Entered()) {
      if (std::getenv("CI")) FAIL() << "cannot make a network namespace: run the tests as root";
      GTEST_SKIP() << "needs root for network namespaces";
    }
    if (!Ok("command -v ping && command -v curl && test -x /usr/bin/python3")) {
      if (std::getenv("CI")) FAIL() << "ping, curl or python3 missing: run scripts/bootstrap.sh";
      GTEST_SKIP() << "ping, curl or python3 missing";
    }
    setenv("MURVIK_DRIVER_STATE", state_.Path().c_str(), 1);
    setenv("MURVIK_DEV_DIR", dev_.Path().c_str(), 1);
    plc_ = "murvik-plc-" + std::to_string(::getpid());
    ASSERT_TRUE(Ok("ip link set lo up"));
    ASSERT_TRUE(Ok("ip netns add " + plc_));
    plcMade_ = true;
    ASSERT_TRUE(Ok(InPlc("ip link set lo up")));

    std::string out = Shell(test::kDriverFolder + "tapinstall install OemWin2k.inf tap0901");
    out = Shell(test::kDriverFolder + "tapinstall find tap0901");
    auto colon = out.find(':');
    ASSERT_NE(colon, std::string::npos) << out;
    adapter_ = out.substr(colon + 1, out.find('\n', colon) - colon - 1);
    adapter_.erase(0, adapter_.find_first_not_of(' '));
    adapter_.erase(adapter_.find_last_not_of(" \r") + 1);
  }
  void TearDown() override {
    if (http_.Started()) http_.Kill();
    daemon_.Terminate();
    daemon_.WaitForExit(5000);
    sim_.Stop();
    if (plcMade_) Ok("ip netns del " + plc_);
    unsetenv("MURVIK_DRIVER_STATE");
    unsetenv("MURVIK_DEV_DIR");
  }
  std::string InPlc(const std::string& command) const { return "ip netns exec " + plc_ + " " + command; }

  // The simulator's module with its Ethernet port on a TAP interface moved behind the module,
  // where the addresses given live; murvikd with the module's network channel.
  void StartTunnel(const std::vector<std::string>& plcAddresses) {
    ASSERT_TRUE(sim_.Start({"--record", home_.File("sim.jsonl"), "--module",
                            "sn=11112222333,password=pw,eth=tap:mvsim0,mac=" + kModuleMac}))
        << sim_.error;
    ASSERT_TRUE(Ok("ip link set mvsim0 netns " + plc_));
    for (const auto& a : plcAddresses) ASSERT_TRUE(Ok(InPlc("ip addr add " + a + "/24 dev mvsim0")));
    ASSERT_TRUE(Ok(InPlc("ip link set mvsim0 up")));

    TClientMgr mgr;
    auto s = TClientMgr::CreateIOServer(0);
    for (auto& c : s->channels) c->USE = 0;
    TNetChanel* net = s->NetChanel();
    ASSERT_NE(net, nullptr);
    net->USE = 1;
    net->NETNAME = adapter_;
    net->IP = platform::Ipv4FromText("192.168.1.1");
    net->NETMASK = platform::Ipv4FromText("255.255.255.0");
    net->IPMIN = platform::Ipv4FromText("192.168.1.10");
    net->IPMAX = platform::Ipv4FromText("192.168.1.20");
    s->NAME = s->SN = "11112222333";
    s->PWD = "pw";
    s->LOGNAME = "127.0.0.1";
    s->LOGPORT = sim_.loginPort;
    mgr.Add(std::move(s));
    std::string error;
    ASSERT_TRUE(SaveConfigFile(home_.File("MURVIK3.xml"), mgr, TMainWindowState{}, &error)) << error;
    ASSERT_TRUE(daemon_.Start(home_.Path(), {"-v", "*"}));
    ASSERT_TRUE(WaitForAdapterOnline()) << daemon_.output;
  }
  bool WaitForAdapterOnline() { return daemon_.WaitForText("online, MAC 001A2B3C4D5E", 30000); }
  bool Ping(const std::string& address, int count = 3) {
    return Ok("ping -n -q -c " + std::to_string(count) + " -i 0.2 -W 2 " + address);
  }

  test::ScopedNetns netns_;
  test::TempDir home_, state_, dev_;
  std::string plc_;
  bool plcMade_ = false;
  std::string adapter_;
  test::SimProcess sim_;
  test::DaemonProcess daemon_;
  platform::ChildProcess http_;
};

TEST_F(EthernetTunnelTest, PcReachesThePlcByItsOwnAddress) {
  StartTunnel({"192.168.1.15"});
  // The adapter carries the module port's MAC and the channel's address plan.
  platform::MacAddress mac{};
  ASSERT_TRUE(platform::GetInterfaceMac("murvik0", &mac));
  EXPECT_EQ(mac, (platform::MacAddress{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}));
  EXPECT_NE(Shell("ip -4 addr show dev murvik0").find("192.168.1.1/24"), std::string::npos);
  EXPECT_NE(Shell("ip link show dev murvik0").find("mtu 1400"), std::string::npos);

  EXPECT_TRUE(Ping("192.168.1.15")) << daemon_.output;
  // Full-size frames from the devices' 1500-byte network reach the PC too.
  EXPECT_TRUE(Ok(InPlc("ping -n -q -c 2 -i 0.2 -W 2 -s 1472 -M do 192.168.1.1")));

  // A TCP exchange: a file served behind the module comes back byte for byte.
  test::TempDir www;
  std::string body(256 * 1024, '\0');
  std::mt19937 rng(7);
  for (auto& c : body) c = static_cast<char>(rng());
  std::ofstream(www.File("plc.bin"), std::ios::binary) << body;
  ASSERT_EQ(http_.Start({"ip", "netns", "exec", plc_, "/usr/bin/python3", "-m", "http.server", "8080", "--bind",
                         "192.168.1.15", "--directory", www.Path()}),
            0);
  bool fetched = false;
  for (int i = 0; i < 50 && !fetched; ++i) {
    fetched = Ok("curl -sf --max-time 20 -o " + home_.File("got.bin") + " http://192.168.1.15:8080/plc.bin");
    if (!fetched) usleep(100 * 1000);
  }
  ASSERT_TRUE(fetched) << daemon_.output.substr(0, 4000);
  std::ifstream in(home_.File("got.bin"), std::ios::binary);
  std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(got == body) << "got " << got.size() << " bytes";
}

TEST_F(EthernetTunnelTest, AddressesOutsideThePlanGetNoAnswer) {
  StartTunnel({"192.168.1.15", "192.168.1.30"});
  EXPECT_TRUE(Ping("192.168.1.15", 1));
  EXPECT_FALSE(Ping("192.168.1.30", 2));
  EXPECT_TRUE(daemon_.WaitForText("Net Chanel: src=192.168.1.1,dst=192.168.1.30, ignored", 5000));
}

TEST_F(EthernetTunnelTest, TrafficFlowsAgainAfterTheModuleWasLost) {
  StartTunnel({"192.168.1.15"});
  ASSERT_TRUE(Ping("192.168.1.15", 1));
  daemon_.output.clear();
  ASSERT_EQ(sim_.Command("lost 11112222333").rfind("OK", 0), 0u);
  // The session finds the module again and the handshake, adapter setup included, reruns.
  ASSERT_TRUE(WaitForAdapterOnline()) << daemon_.output;
  EXPECT_TRUE(Ping("192.168.1.15")) << daemon_.output;
}

}  // namespace
}  // namespace murvik
