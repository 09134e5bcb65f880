// The network channel against a fake adapter and a scripted module on the manual loop, and the
// Ethernet frame helpers it uses.
#include "tunnel/net_chanel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "config/global_conf.h"
#include "devices/tap_port.h"
#include "devices/zn_common_fun.h"
#include "diagnostics/server_log.h"
#include "platform/manual_loop.h"
#include "platform/net.h"
#include "support/scripted_server.h"
#include "tunnel/client.h"
#include "tunnel/ethernet_frame.h"
#include "tunnel/wire_format.h"

namespace murvik {
namespace {

using B = std::vector<std::uint8_t>;

std::uint32_t Ip(const char* text) { return platform::Ipv4FromText(text); }

TEST(EthernetFrame, CrcAndTagRemoval) {
  const std::string check = "123456789";
  EXPECT_EQ(ethernet::Crc32(reinterpret_cast<const std::uint8_t*>(check.data()), check.size()), 0xCBF43926u);

  // A tagged frame of 68 bytes with its FCS comes out as 64 bytes: the tag gone, a new FCS.
  B tagged(68);
  for (std::size_t i = 0; i < tagged.size(); ++i) tagged[i] = static_cast<std::uint8_t>(i * 3 + 1);
  tagged[12] = 0x81;
  tagged[13] = 0x00;
  B expected(tagged.begin(), tagged.begin() + 12);
  expected.insert(expected.end(), tagged.begin() + 16, tagged.end() - 4);
  ASSERT_EQ(expected.size(), 60u);
  B frame = tagged;
  ASSERT_EQ(ethernet::RemoveVlanTag(frame.data(), frame.size()), 64u);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), frame.begin()));
  EXPECT_TRUE(ethernet::HasValidFcs(frame.data(), 64));
  const std::uint32_t crc = ethernet::Crc32(frame.data(), 60);
  EXPECT_EQ(frame[60], crc & 0xFF) << "least significant byte first";

  B untagged = expected;
  EXPECT_EQ(ethernet::RemoveVlanTag(untagged.data(), untagged.size()), untagged.size());
  EXPECT_EQ(untagged, expected);
}

TEST(EthernetFrame, MacText) {
  EXPECT_EQ(ethernet::MacText({0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}), "001A2B3C4D5E");
  EXPECT_EQ(ethernet::ParseMacText("001a2B3c4D5e"), (ethernet::Mac{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}));
  for (const char* bad : {"", "001A2B3C4D5", "001A2B3C4D5E0", "00:1A:2B:3C:4D", "001A2B3C4D5G"})
    EXPECT_FALSE(ethernet::ParseMacText(bad)) << bad;
}

// Records every adapter and adapter-control call in one list, so the setup order shows.
struct CallLog {
  std::mutex mutex;
  std::vector<std::string> calls;
  void Add(std::string c) {
    std::lock_guard lock(mutex);
    calls.push_back(std::move(c));
  }
  std::vector<std::string> Take() {
    std::lock_guard lock(mutex);
    return std::exchange(calls, {});
  }
};

struct FakeTap : ITapDevice {
  FakeTap(CallLog& log, Receiver r) : log(log), receiver(std::move(r)) {}
  bool SetIpAddress(std::uint32_t a, std::uint32_t m) override {
    log.Add("ip " + platform::Ipv4ToText(a) + "/" + platform::Ipv4ToText(m));
    return true;
  }
  bool SetMtu(int mtu) override {
    log.Add("mtu " + std::to_string(mtu));
    return true;
  }
  bool SetMacAddress(const std::string* text) override {
    log.Add("mac " + (text ? *text : std::string("none")));
    return true;
  }
  bool Open() override {
    log.Add("open");
    return openResult;
  }
  bool Write(const std::uint8_t* f, std::size_t n) override {
    written.emplace_back(f, f + n);
    return true;
  }
  bool Close() override {
    log.Add("close");
    return true;
  }
  CallLog& log;
  Receiver receiver;
  bool openResult = true;
  std::vector<B> written;
};

struct FakeAdapters : IAdapterControl {
  explicit FakeAdapters(CallLog& log) : log(log) {}
  bool AdapterExists(const std::string& d) override { return d == known; }
  bool ConnectAdapter(const std::string& d) override { return log.Add("connect " + d), true; }
  bool DisconnectAdapter(const std::string& d) override { return log.Add("disconnect " + d), true; }
  void EnableAdapter(const std::string& d) override { log.Add("enable " + d); }
  void DisableAdapter(const std::string& d) override { log.Add("disable " + d); }
  CallLog& log;
  std::string known = "Adapter 1";
};

// Ethernet frames as the PC's stack sends them.
B EthFrame(std::uint16_t etherType, B payload) {
  B f = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01,
         static_cast<std::uint8_t>(etherType >> 8), static_cast<std::uint8_t>(etherType)};
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}
B IcmpEcho(const char* src, const char* dst) {
  B ip(20 + 8, 0);
  ip[0] = 0x45;
  ip[9] = 1;
  std::uint32_t s = Ip(src), d = Ip(dst);
  std::memcpy(&ip[12], &s, 4);
  std::memcpy(&ip[16], &d, 4);
  ip[20] = 8;                          // echo request
  ip[24] = 0x12, ip[25] = 0x34;        // identifier
  ip[26] = 0x00, ip[27] = 0x07;        // sequence number
  return EthFrame(0x0800, ip);
}
B ArpRequest() {
  B arp = {0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01, 0x02, 0, 0, 0, 0, 0x01, 192, 168, 1, 1,
           0,    0,    0,    0,    0, 0, 192,  168,  1,    15};
  return EthFrame(0x0806, arp);
}

class NetChanelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClientServices() = TClientServices{};
    ClientServices().loop = &loop;
    ClientServices().adapters = &adapters;
    TapDevices() = [this](const TapDeviceRequest& r) -> std::unique_ptr<ITapDevice> {
      auto t = std::make_unique<FakeTap>(calls, r.receiver);
      tap = t.get();
      return t;
    };
    SetMessageHandler([this](MessageKind, const std::string&, const std::string& t) {
      messages.push_back(t);
      return false;
    });
    SetLogObserver([this](int level, std::string_view t) {
      std::lock_guard lock(logMutex);
      logs.emplace_back(std::to_string(level) + " " + std::string(t));
    });
    session = std::make_unique<TClient>(0);
    session->LOGNAME = "127.0.0.1";
    session->LOGPORT = server.Port();
    session->SN = "12345678901";
    ASSERT_TRUE(test::RegisterWith(loop, server, *session));
    chan.NETNAME = "Adapter 1";
    chan.IP = Ip("192.168.1.1");
    chan.NETMASK = Ip("255.255.255.0");
    chan.IPMIN = Ip("192.168.1.10");
    chan.IPMAX = Ip("192.168.1.20");
  }
  void TearDown() override {
    chan.Close();
    session.reset();
    TapDevices() = nullptr;
    SetMessageHandler(nullptr);
    SetLogObserver(nullptr);
    ClientServices() = TClientServices{};
  }
  std::vector<std::string> TakeLogs() {
    std::lock_guard lock(logMutex);
    return std::exchange(logs, {});
  }
  // The NET_CONFIG operations the module received, until it goes quiet.
  std::vector<int> ConfigsSent() {
    std::vector<int> ops;
    while (auto d = server.Next(30))
      if (d->command() == wire::NET_CONFIG) ops.push_back(wire::Get16(d->bytes.data() + 18));
    return ops;
  }
  void Ack(std::uint16_t operation) {
    B payload = {0x20, 0x00, static_cast<std::uint8_t>(operation), 0, 0, 0, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    auto p = test::Packet(wire::NET_CONFIG_ACK, payload, 5);
    chan.OnCommandAck(p.data(), p.size());
  }
  void Tick(std::uint32_t ms) {
    loop.Advance(ms);
    chan.OnTimer();
  }
  void BringOnline() {
    ASSERT_TRUE(chan.Open(session.get()));
    Tick(100);
    Ack(0);
    Tick(100);
    Ack(1);
    ASSERT_EQ(chan.ConfigState(), 3);
    ConfigsSent();
    calls.Take();
    TakeLogs();
  }

  platform::ManualLoop loop;
  test::ScriptedServer server;
  std::unique_ptr<TClient> session;
  CallLog calls;
  FakeAdapters adapters{calls};
  FakeTap* tap = nullptr;
  TNetChanel chan;
  std::vector<std::string> messages;
  std::mutex logMutex;
  std::vector<std::string> logs;
};

TEST_F(NetChanelTest, UnknownAdapterRefusesTheOpenWithTheUsersMessage) {
  chan.NETNAME = "Adapter 9";
  EXPECT_FALSE(chan.Open(session.get()));
  EXPECT_EQ(messages, std::vector<std::string>{"未找到网卡\"Adapter 9\""});
  EXPECT_FALSE(chan.IsOpen());
}

TEST_F(NetChanelTest, HandshakeTiming) {
  ASSERT_TRUE(chan.Open(session.get()));
  EXPECT_TRUE(calls.Take().empty()) << "the adapter device opens only after the handshake";
  // SET_IP every 3 s without limit until answered; a GET_PORT_INFO answer meanwhile is ignored.
  Tick(100);
  Tick(2900);
  Ack(1);
  Tick(100);
  EXPECT_EQ(ConfigsSent(), (std::vector<int>{0, 0}));
  EXPECT_EQ(chan.ConfigState(), 1);
  Ack(0);
  EXPECT_EQ(chan.ConfigState(), 2);
  // GET_PORT_INFO at once, then every 3 s, five in all; then SET_IP starts over.
  for (int i = 0; i < 5; ++i) Tick(i == 0 ? 100 : 3000);
  Tick(3000);
  Tick(100);
  EXPECT_EQ(ConfigsSent(), (std::vector<int>{1, 1, 1, 1, 1, 0}));
  EXPECT_EQ(chan.ConfigState(), 1);
  auto lines = TakeLogs();
  EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                         [](const std::string& l) { return l.rfind("3 TNetChanel::ConfigeChanel(): GET_PORT_INFO time=", 0) == 0; }),
            lines.end());
}

TEST_F(NetChanelTest, AdapterSetupRunsInOrderAndAFailedOpenAsksAgain) {
  GlobalConf().MTU = 1300;
  ASSERT_TRUE(chan.Open(session.get()));
  Tick(100);
  Ack(0);
  Tick(100);
  tap->openResult = false;
  Ack(1);
  const std::vector<std::string> setup = {"close",          "connect Adapter 1",    "enable Adapter 1",
                                          "ip 192.168.1.1/255.255.255.0", "mtu 1300", "mac 001A2B3C4D5E",
                                          "disconnect Adapter 1", "connect Adapter 1", "disable Adapter 1",
                                          "enable Adapter 1",     "open"};
  EXPECT_EQ(calls.Take(), setup);
  EXPECT_EQ(chan.ConfigState(), 2);
  EXPECT_EQ(chan.ModuleMac(), (std::array<std::uint8_t, 6>{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}));
  ConfigsSent();
  Tick(2900);
  EXPECT_TRUE(ConfigsSent().empty());
  Tick(100);
  EXPECT_EQ(ConfigsSent(), std::vector<int>{1});
  tap->openResult = true;
  Ack(1);
  EXPECT_EQ(calls.Take(), setup);
  EXPECT_EQ(chan.ConfigState(), 3);
  GlobalConf().MTU = TGlobalConf{}.MTU;

  chan.Close();
  EXPECT_EQ(calls.Take(), (std::vector<std::string>{"close", "disconnect Adapter 1", "disable Adapter 1"}));
}

TEST_F(NetChanelTest, FramesFromTheAdapterAreFilteredAndLogged) {
  // Before the handshake completes nothing goes out.
  ASSERT_TRUE(chan.Open(session.get()));
  auto early = IcmpEcho("192.168.1.1", "192.168.1.15");
  tap->receiver(early.data(), early.size());
  EXPECT_TRUE(server.Quiet());
  chan.Close();
  BringOnline();

  struct Case {
    const char* what;
    B frame;
    bool sent;
    std::vector<std::string> lines;
  };
  B ipv6 = EthFrame(0x86DD, B(40, 0));
  B rarp = EthFrame(0x8035, B(28, 0));
  B other = EthFrame(0x88CC, B(20, 0));
  const std::vector<Case> cases = {
      {"echo in range", IcmpEcho("192.168.1.1", "192.168.1.15"), true,
       {"1 Net Chanel Out: ETH_TYPE_IPV4 src=192.168.1.1,dst=192.168.1.15, past",
        "1 --Protocol:ICMP,type=ICMP_TYPE_ECHO_REQUEST, ID=4660,SeqNum=7"}},
      {"outside the range", IcmpEcho("192.168.1.1", "192.168.1.30"), false,
       {"3 Net Chanel: src=192.168.1.1,dst=192.168.1.30, ignored"}},
      {"other subnet", IcmpEcho("192.168.1.1", "192.168.2.15"), false,
       {"3 Net Chanel: src=192.168.1.1,dst=192.168.2.15, ignored"}},
      {"subnet broadcast", IcmpEcho("192.168.1.1", "192.168.1.255"), true,
       {"1 Net Chanel Out: ETH_TYPE_IPV4 src=192.168.1.1,dst=192.168.1.255, past",
        "1 --Protocol:ICMP,type=ICMP_TYPE_ECHO_REQUEST, ID=4660,SeqNum=7"}},
      {"arp", ArpRequest(), true,
       {"1 Net Chanel Out: ETH_TYPE_ARP",
        "1 --hrd=1,pro=2048,op=ARP_OPCODE_ARP_REQUEST,spa=192.168.1.1,tpa=192.168.1.15"}},
      {"ipv6", ipv6, false, {"1 Net Chanel Out: ETH_TYPE_IPV6"}},
      {"rarp", rarp, false, {"1 Net Chanel Out: ETH_TYPE_RARP"}},
      {"other ethertype", other, true, {}},
      {"ipv4 too short to filter", B(early.begin(), early.begin() + 30), false, {}},
  };
  for (const auto& c : cases) {
    tap->receiver(c.frame.data(), c.frame.size());
    auto d = server.Next(c.sent ? 2000 : 50);
    if (c.sent) {
      ASSERT_TRUE(d) << c.what;
      EXPECT_EQ(d->command(), wire::NET_DATA) << c.what;
      EXPECT_EQ(B(d->bytes.begin() + 18, d->bytes.end()), c.frame) << c.what;
    } else {
      EXPECT_FALSE(d) << c.what;
    }
    EXPECT_EQ(TakeLogs(), c.lines) << c.what;
  }
  EXPECT_EQ(chan.bytesToModule.load(), 42.0 * 2 + 42 + 34);

  // A lost module restarts the handshake; frames wait for it again.
  chan.Reset();
  tap->receiver(early.data(), early.size());
  EXPECT_FALSE(server.Next(50));
}

TEST_F(NetChanelTest, FramesFromTheModuleLoseTheirTagAndTooShortOnesAreDropped) {
  auto netData = [](B frame) { return test::Packet(wire::NET_DATA_FROM_MODULE, [&] {
                                 B p = {0, 0};
                                 p.insert(p.end(), frame.begin(), frame.end());
                                 return p;
                               }(), 5); };
  auto untagged = netData(B(64, 0x11));
  chan.OnData(untagged.data(), untagged.size());  // not open: dropped
  BringOnline();
  chan.OnData(untagged.data(), untagged.size());
  B tagged(68, 0x22);
  tagged[12] = 0x81;
  tagged[13] = 0x00;
  auto taggedPacket = netData(tagged);
  chan.OnData(taggedPacket.data(), taggedPacket.size());
  B shortTagged(17, 0x33);
  shortTagged[12] = 0x81;
  shortTagged[13] = 0x00;
  auto shortPacket = netData(shortTagged);
  chan.OnData(shortPacket.data(), shortPacket.size());
  auto tooShort = netData(B(13, 0x44));
  chan.OnData(tooShort.data(), tooShort.size());

  ASSERT_EQ(tap->written.size(), 2u);
  EXPECT_EQ(tap->written[0], B(64, 0x11)) << "the frame check sequence travels on";
  EXPECT_EQ(tap->written[1].size(), 64u);
  EXPECT_TRUE(ethernet::HasValidFcs(tap->written[1].data(), 64));
  EXPECT_EQ(chan.bytesFromModule.load(), 64.0 + 68 + 17);
}

}  // namespace
}  // namespace murvik
