// The Ethernet port of murvik-sim's modules against a scripted PC: the configuration handshake
// and bad packets on a port without an interface, and, as root, frames through a TAP interface
// to the kernel behind it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "integration/sim_pc.h"
#include "integration/sim_process.h"
#include "platform/net.h"
#include "platform/tap.h"
#include "support/scoped_netns.h"
#include "tunnel/wire_format.h"

namespace {

namespace wire = murvik::wire;
using murvik::platform::SockAddrV4;
using murvik::test::SimProcess;
using Bytes = std::vector<std::uint8_t>;
using Mac = std::array<std::uint8_t, 6>;

const std::string kSn = "12345678901";
const std::string kPassword = "secret";
const std::string kModule = "sn=" + kSn + ",password=" + kPassword;
constexpr std::uint32_t kModuleId = 1000;

#define ENTER_NETNS(ns)                                                                        \
  murvik::test::ScopedNetns ns;                                                                \
  if (!ns.Entered()) {                                                                         \
    if (std::getenv("CI")) FAIL() << "cannot make a network namespace: run the tests as root"; \
    GTEST_SKIP() << "needs root for a network namespace";                                      \
  }

Mac MacAt(const Bytes& d, std::size_t at) {
  Mac m{};
  std::copy(d.begin() + static_cast<long>(at), d.begin() + static_cast<long>(at + 6), m.begin());
  return m;
}

using murvik::test::Le16;
using murvik::test::Le32;

// Bit by bit, apart from the simulator's table.
std::uint32_t Crc32(const std::uint8_t* p, std::size_t n) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

std::string TempPath(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir ? dir : "/tmp") + "/murvik_simeth_" + std::to_string(getpid()) + "_" + name;
}

std::vector<nlohmann::json> ReadRecord(const std::string& path) {
  std::vector<nlohmann::json> out;
  std::ifstream in(path);
  // A line still being written does not parse yet.
  for (std::string line; std::getline(in, line);) {
    auto j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_object()) out.push_back(std::move(j));
  }
  return out;
}

// The received NET_DATA and NET_CONFIG lines of a record, in order.
std::vector<nlohmann::json> RxNetLines(const std::string& path) {
  std::vector<nlohmann::json> out;
  for (auto& j : ReadRecord(path)) {
    const std::string name = j.value("name", "");
    if (j.value("dir", "") == "rx" && (name == "NET_DATA" || name == "NET_CONFIG")) out.push_back(j);
  }
  return out;
}

nlohmann::json EthStats(SimProcess& sim) {
  auto j = nlohmann::json::parse(sim.Command("stats"), nullptr, false);
  if (!j.is_object()) {
    ADD_FAILURE() << "no stats";
    return {};
  }
  return j["modules"][0]["eth"];
}

// Polls the Ethernet port's counters until pred holds; the bound only keeps a broken simulator
// from hanging the test.
bool WaitForEth(SimProcess& sim, const std::function<bool(const nlohmann::json&)>& pred) {
  for (int i = 0; i < 500; ++i) {
    if (pred(EthStats(sim))) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Waits for the record's note that a frame of that size from the interface was not sent.
bool WaitForUnsent(const std::string& record, std::size_t frameSize) {
  for (int i = 0; i < 500; ++i) {
    for (const auto& j : ReadRecord(record))
      if (j.value("dir", "") == "tap" && j.value("frame_size", 0u) == frameSize &&
          j.value("note", "").rfind("not sent", 0) == 0)
        return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

Bytes NetData(const Bytes& frame, std::uint32_t seq = 1) {
  Bytes d(18 + frame.size());
  d.resize(wire::EncodeNetData(d.data(), d.size(), seq, 0, frame.data(), frame.size()));
  EXPECT_FALSE(d.empty()) << "frame of " << frame.size() << " bytes does not fit the PC's datagram";
  return d;
}

// A datagram with the given command and payload, as a faulty PC might build it.
Bytes Raw(std::uint16_t command, const Bytes& payload, std::uint32_t seq = 0) {
  Bytes d(16);
  wire::WriteHeader(d.data(), wire::Header{0, 0, seq, command, static_cast<std::uint16_t>(payload.size())});
  d.insert(d.end(), payload.begin(), payload.end());
  return d;
}

// NET_DATA with any frame size, also beyond what the PC's encoder builds.
Bytes RawNetData(const Bytes& frame) {
  Bytes payload = {0, 0};
  payload.insert(payload.end(), frame.begin(), frame.end());
  return Raw(0xA100, payload, 1);
}

class Pc : public murvik::test::SimPc {
 public:
  std::optional<Bytes> Next(int timeoutMs = 5000) { return Receive(timeoutMs); }
  // The next datagram with that command, skipping others (frames the interface sends unasked).
  std::optional<Bytes> NextOf(std::uint16_t command, const std::function<bool(const Bytes&)>& pred = nullptr) {
    for (int i = 0; i < 200; ++i) {
      auto d = Next();
      if (!d) break;
      if (d->size() >= 16 && Le16(*d, 12) == command && (!pred || pred(*d))) return d;
    }
    ADD_FAILURE() << "no datagram 0x" << std::hex << command;
    return std::nullopt;
  }
  // Every datagram up to the PING_ACK of a PING sent now: the simulator answers in order, so
  // these are all the answers to what was sent before.
  std::vector<Bytes> UntilPingAck() {
    ToModule(wire::EncodePing(++pingSeq_));
    std::vector<Bytes> out;
    while (auto d = Next()) {
      if (Le16(*d, 12) == 0xAF01 && Le32(*d, 8) == pingSeq_) return out;
      out.push_back(*d);
    }
    ADD_FAILURE() << "no PING_ACK";
    return out;
  }

  bool Register(std::uint16_t port) {
    return SimPc::Register(port, kSn, kPassword, [this](std::uint16_t command) { return NextOf(command); });
  }


 private:
  std::uint32_t pingSeq_ = 4000;
};

const std::uint32_t kChannelIp = murvik::platform::Ipv4FromText("192.168.1.1");
const std::uint32_t kMask = murvik::platform::Ipv4FromText("255.255.255.0");
const std::uint32_t kIpMin = murvik::platform::Ipv4FromText("192.168.1.10");
const std::uint32_t kIpMax = murvik::platform::Ipv4FromText("192.168.1.20");

Bytes SetIp() { return wire::EncodeNetSetIp(kChannelIp, kMask, kIpMin, kIpMax); }

// A NET_CONFIG_ACK for the operation, for this session and module.
void ExpectConfigAck(const std::optional<Bytes>& d, std::uint32_t sid, std::uint16_t operation) {
  ASSERT_TRUE(d);
  ASSERT_TRUE(wire::IsValidDatagram(d->data(), d->size()));
  EXPECT_EQ(Le32(*d, 0), sid);
  EXPECT_EQ(Le32(*d, 4), kModuleId);
  EXPECT_EQ(Le16(*d, 12), 0xA111);
  auto ack = wire::DecodeNetConfigAck(d->data(), d->size());
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->operation, operation);
  if (operation == 1) {
    EXPECT_GE(d->size(), 28u);
  }
}

struct MacCase {
  const char* name;
  std::string items;
  Mac mac;
};

void PrintTo(const MacCase& c, std::ostream* os) { *os << c.name; }

class SimEthernetConfig : public ::testing::TestWithParam<MacCase> {};

TEST_P(SimEthernetConfig, AnswersSetIpAndGetPortInfoWithThePortMac) {
  const MacCase& c = GetParam();
  const std::string record = TempPath(std::string(c.name) + ".jsonl");
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--module", kModule + ",eth=null" + c.items, "--record", record})) << sim.error;
  EXPECT_TRUE(sim.ethTaps.empty()) << "only TAP ports are announced";
  Pc pc;
  ASSERT_TRUE(pc.Register(sim.loginPort));

  pc.ToModule(SetIp());
  ExpectConfigAck(pc.Next(), pc.sid, 0);
  pc.ToModule(wire::EncodeNetGetPortInfo());
  auto info = pc.Next();
  ExpectConfigAck(info, pc.sid, 1);
  ASSERT_TRUE(info);
  EXPECT_EQ(MacAt(*info, 22), c.mac);
  EXPECT_EQ(wire::DecodeNetConfigAck(info->data(), info->size())->mac, c.mac);

  auto eth = EthStats(sim);
  EXPECT_EQ(eth["backend"], "null");
  EXPECT_EQ(eth["plan"]["ip"], "192.168.1.1");
  EXPECT_EQ(eth["plan"]["ipmax"], "192.168.1.20");
  EXPECT_EQ(eth["set_ips"], 1);
  EXPECT_EQ(eth["port_infos"], 1);
  EXPECT_EQ(sim.Stop(), 0);

  auto lines = RxNetLines(record);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["operation"], "SET_IP");
  EXPECT_EQ(lines[0]["ip"], "192.168.1.1");
  EXPECT_EQ(lines[0]["mask"], "255.255.255.0");
  EXPECT_EQ(lines[0]["ipmin"], "192.168.1.10");
  EXPECT_EQ(lines[0]["ipmax"], "192.168.1.20");
  EXPECT_EQ(lines[1]["operation"], "GET_PORT_INFO");
  std::remove(record.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Macs, SimEthernetConfig,
    ::testing::Values(MacCase{"DefaultFromTheModuleId", "", {0x02, 0x00, 0x00, 0x00, 0x03, 0xE8}},
                      MacCase{"Given", ",mac=00:1A:2B:3C:4D:5E", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}},
                      MacCase{"GivenWithDashes", ",mac=00-1a-2b-3c-4d-5f", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5F}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SimEthernet, LeavesTheConfiguredNumberOfRequestsUnanswered) {
  const std::string record = TempPath("silence.jsonl");
  SimProcess sim;
  ASSERT_TRUE(
      sim.Start({"--module", kModule + ",eth=null,ignoresetip=2", "--module", "sn=222,password=x", "--record", record}))
      << sim.error;
  Pc pc;
  ASSERT_TRUE(pc.Register(sim.loginPort));

  for (int i = 0; i < 2; ++i) {
    pc.ToModule(SetIp());
    EXPECT_TRUE(pc.UntilPingAck().empty()) << "SET_IP " << i + 1 << " answered";
  }
  pc.ToModule(SetIp());
  ExpectConfigAck(pc.Next(), pc.sid, 0);

  EXPECT_EQ(sim.Command("ignore " + kSn + " portinfo 1"), "OK ignore " + kSn + " portinfo 1");
  pc.ToModule(wire::EncodeNetGetPortInfo());
  EXPECT_TRUE(pc.UntilPingAck().empty()) << "GET_PORT_INFO answered";
  pc.ToModule(wire::EncodeNetGetPortInfo());
  ExpectConfigAck(pc.Next(), pc.sid, 1);

  auto eth = EthStats(sim);
  EXPECT_EQ(eth["set_ips"], 3);
  EXPECT_EQ(eth["set_ips_ignored"], 2);
  EXPECT_EQ(eth["port_infos_ignored"], 1);
  EXPECT_EQ(eth["ignore_set_ip"], 0);
  for (const char* bad : {"ignore nosuch setip 1", "ignore 222 setip 1", "ignore 12345678901 ping 1",
                          "ignore 12345678901 setip x", "ignore 12345678901 setip"})
    EXPECT_EQ(sim.Command(bad).rfind("ERR ", 0), 0u) << bad;
  EXPECT_EQ(sim.Stop(), 0);

  int notes = 0;
  for (const auto& j : RxNetLines(record))
    if (j.value("note", "").find("left unanswered as configured") != std::string::npos) ++notes;
  EXPECT_EQ(notes, 3);
  std::remove(record.c_str());
}

TEST(SimEthernet, DropsMalformedPacketsWithANote) {
  struct Bad {
    const char* what;
    Bytes datagram;
    const char* note;  // expected in the record line; "" for a frame that is taken
  };
  Bytes setIpBadSeq = SetIp();
  wire::Put32(setIpBadSeq.data() + 8, 5);
  Bytes setIpDirty = SetIp();
  setIpDirty[60] = 1;
  Bytes portInfoLong = wire::EncodeNetGetPortInfo();
  portInfoLong.resize(24, 0);
  wire::Put16(portInfoLong.data() + 14, 8);
  const std::vector<Bad> cases = {
      {"NET_DATA without payload", Raw(0xA100, {}), "malformed NET_DATA: payload of 0 bytes"},
      {"NET_DATA of 13 frame bytes", NetData(Bytes(13, 0xEE)), "malformed NET_DATA: payload of 15 bytes"},
      {"NET_DATA of 1515 frame bytes", RawNetData(Bytes(1515, 0xEE)), "frame of 1515 bytes exceeds 1514"},
      {"NET_DATA of 1514 frame bytes", RawNetData(Bytes(1514, 0xEE)), ""},
      {"NET_DATA of 14 frame bytes", NetData(Bytes(14, 0xEE)), ""},
      {"NET_CONFIG without operation", Raw(0xA110, {0x20, 0x00}), "malformed NET_CONFIG"},
      {"NET_CONFIG of another group", Raw(0xA110, {0x21, 0x00, 0x01, 0x00}), "group 33"},
      {"NET_CONFIG operation 2", Raw(0xA110, {0x20, 0x00, 0x02, 0x00}), "unknown operation 2"},
      {"SET_IP cut short", Raw(0xA110, {0x20, 0x00, 0x00, 0x00}), "malformed NET_CONFIG: size 20"},
      {"SET_IP with a SEQ_ID", setIpBadSeq, "SEQ_ID not 0"},
      {"SET_IP with reserved bytes set", setIpDirty, "reserved bytes"},
      {"GET_PORT_INFO too long", portInfoLong, "malformed NET_CONFIG: size 24"},
  };
  const std::string record = TempPath("malformed.jsonl");
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--module", kModule + ",eth=null", "--record", record})) << sim.error;
  Pc pc;
  ASSERT_TRUE(pc.Register(sim.loginPort));
  for (const auto& c : cases) {
    pc.ToModule(c.datagram);
    EXPECT_TRUE(pc.UntilPingAck().empty()) << c.what;
  }
  // Random contents behind valid sizes, for every length up to a few frames' worth of header.
  std::uint32_t state = 777;
  auto next = [&] { return state = state * 1103515245u + 12345u, state >> 8; };
  for (int i = 0; i < 400; ++i) {
    Bytes payload(next() % 130);
    for (auto& b : payload) b = static_cast<std::uint8_t>(next());
    if (payload.size() >= 2 && next() % 2) payload[0] = 0x20, payload[1] = 0;
    pc.ToModule(Raw(next() % 2 ? 0xA100 : 0xA110, payload, next() % 4 ? 0 : next()));
  }
  pc.UntilPingAck();  // answers to lucky ones are fine; the simulator must still be there
  auto eth = EthStats(sim);
  EXPECT_GE(eth["rx_malformed"].get<int>(), 3);
  EXPECT_GE(eth["configs_malformed"].get<int>(), 7);
  EXPECT_EQ(sim.Stop(), 0);

  auto lines = RxNetLines(record);
  ASSERT_GE(lines.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::string note = lines[i].value("note", "");
    if (*cases[i].note == '\0') {
      EXPECT_EQ(note, "") << cases[i].what;
      EXPECT_EQ(lines[i]["frame_size"], cases[i].datagram.size() - 18) << cases[i].what;
      EXPECT_EQ(lines[i]["ethertype"], "0xEEEE") << cases[i].what;
    } else {
      EXPECT_NE(note.find(cases[i].note), std::string::npos) << cases[i].what << ": " << note;
    }
  }
  std::remove(record.c_str());
}

TEST(SimEthernet, RefusesBadEthernetOptions) {
  const std::vector<std::vector<std::string>> cases = {
      {"--module", kModule + ",eth=tap:"},
      {"--module", kModule + ",eth=tap:sixteen_chars_xx"},
      {"--module", kModule + ",eth=tap:a/b"},
      {"--module", kModule + ",eth=tap:tap%d"},
      {"--module", kModule + ",eth=pty"},
      {"--module", kModule + ",mac=01:00:5E:00:00:01"},
      {"--module", kModule + ",mac=00:00:00:00:00:00"},
      {"--module", kModule + ",mac=00:1A:2B:3C:4D"},
      {"--module", kModule + ",mac=00:1A:2B:3C:4D:5E:6F"},
      {"--module", kModule + ",mac=00:1A:2B:3C:4D:GG"},
      {"--module", kModule + ",ignoresetip=-1"},
      {"--module", kModule + ",ignoreportinfo=4294967296"},
      {"--module", kModule + ",eth=tap:mvsame", "--module", "sn=2,password=x,eth=tap:mvsame"},
  };
  for (const auto& args : cases) {
    SimProcess sim;
    EXPECT_FALSE(sim.Start(args, 5000)) << args.back();
    EXPECT_EQ(sim.Stop(), 2) << args.back();
  }
}

// ---- through a TAP interface (root) ----

const Mac kPcMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x99};
const Mac kPortMac = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
constexpr std::uint8_t kPcIp[4] = {192, 168, 1, 1};
constexpr std::uint8_t kDeviceIp[4] = {192, 168, 1, 15};

bool Shell(const std::string& command) {
  int rc = std::system(command.c_str());
  if (rc != 0) ADD_FAILURE() << command << ": status " << rc;
  return rc == 0;
}

// One frame of a NET_DATA from the module; checks the header and the frame check sequence.
std::optional<Bytes> FrameOf(const Bytes& d, std::uint32_t sid) {
  EXPECT_TRUE(wire::IsValidDatagram(d.data(), d.size()));
  EXPECT_EQ(Le32(d, 0), sid);
  EXPECT_EQ(Le32(d, 4), kModuleId);
  Bytes copy = d;
  auto nd = wire::DecodeNetData(copy.data(), copy.size());
  if (!nd || nd->size < 14 + 4) {
    ADD_FAILURE() << "NET_DATA from the module of " << d.size() << " bytes holds no frame";
    return std::nullopt;
  }
  const std::size_t n = nd->size - 4;
  EXPECT_EQ(Le32(d, 18 + n), Crc32(d.data() + 18, n)) << "frame check sequence";
  return Bytes(d.begin() + 18, d.begin() + 18 + static_cast<long>(n));
}

std::uint16_t Be16(const Bytes& f, std::size_t at) { return static_cast<std::uint16_t>((f[at] << 8) | f[at + 1]); }

std::uint16_t InternetChecksum(const std::uint8_t* p, std::size_t n) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < n; i += 2) sum += static_cast<std::uint32_t>((p[i] << 8) | p[i + 1]);
  if (n % 2) sum += static_cast<std::uint32_t>(p[n - 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

Bytes EthernetHeader(const Mac& dst, const Mac& src, std::uint16_t type) {
  Bytes f(dst.begin(), dst.end());
  f.insert(f.end(), src.begin(), src.end());
  f.push_back(static_cast<std::uint8_t>(type >> 8));
  f.push_back(static_cast<std::uint8_t>(type));
  return f;
}

// Who has 192.168.1.15? from the PC.
Bytes ArpRequest() {
  Bytes f = EthernetHeader({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, kPcMac, 0x0806);
  f.insert(f.end(), {0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01});
  f.insert(f.end(), kPcMac.begin(), kPcMac.end());
  f.insert(f.end(), kPcIp, kPcIp + 4);
  f.insert(f.end(), 6, 0);
  f.insert(f.end(), kDeviceIp, kDeviceIp + 4);
  return f;
}

Bytes EchoRequest(const Mac& deviceMac, std::uint16_t id, std::uint16_t seq, const std::string& data) {
  Bytes f = EthernetHeader(deviceMac, kPcMac, 0x0800);
  const std::size_t total = 20 + 8 + data.size();
  Bytes ip = {0x45, 0, static_cast<std::uint8_t>(total >> 8), static_cast<std::uint8_t>(total)};
  ip.insert(ip.end(), {0x12, 0x34, 0x40, 0, 64, 1, 0, 0});  // id, DF, TTL 64, ICMP, checksum
  ip.insert(ip.end(), kPcIp, kPcIp + 4);
  ip.insert(ip.end(), kDeviceIp, kDeviceIp + 4);
  const std::uint16_t ipSum = InternetChecksum(ip.data(), ip.size());
  ip[10] = static_cast<std::uint8_t>(ipSum >> 8);
  ip[11] = static_cast<std::uint8_t>(ipSum);
  Bytes icmp = {8, 0, 0, 0};
  for (std::uint16_t v : {id, seq})
    icmp.insert(icmp.end(), {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
  icmp.insert(icmp.end(), data.begin(), data.end());
  const std::uint16_t icmpSum = InternetChecksum(icmp.data(), icmp.size());
  icmp[2] = static_cast<std::uint8_t>(icmpSum >> 8);
  icmp[3] = static_cast<std::uint8_t>(icmpSum);
  f.insert(f.end(), ip.begin(), ip.end());
  f.insert(f.end(), icmp.begin(), icmp.end());
  return f;
}

// A network namespace held by a child process that only waits to be killed.
class OtherNetns {
 public:
  OtherNetns() {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      char ok = unshare(CLONE_NEWNET) == 0 ? 1 : 0;
      (void)!write(p[1], &ok, 1);
      for (;;) pause();
    }
    close(p[1]);
    char ok = 0;
    if (pid_ > 0 && read(p[0], &ok, 1) == 1 && ok == 1) ready_ = true;
    close(p[0]);
  }
  ~OtherNetns() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool Ready() const { return ready_; }
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

// The calling thread inside another process's network namespace for the life of the object.
class InNetns {
 public:
  explicit InNetns(pid_t pid) {
    saved_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int target = open(("/proc/" + std::to_string(pid) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
    entered_ = saved_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
    if (target >= 0) close(target);
  }
  ~InNetns() {
    if (entered_) (void)setns(saved_, CLONE_NEWNET);
    if (saved_ >= 0) close(saved_);
  }
  bool Entered() const { return entered_; }

 private:
  int saved_ = -1;
  bool entered_ = false;
};

// UDP datagrams of a given size to an address on the interface's subnet, from its namespace.
bool SendUdp(const char* to, std::size_t size) {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(9);
  inet_pton(AF_INET, to, &a.sin_addr);
  Bytes payload(size, 0x5A);
  const bool ok =
      sendto(s, payload.data(), size, 0, reinterpret_cast<sockaddr*>(&a), sizeof a) == static_cast<long>(size);
  close(s);
  return ok;
}

struct PlaceCase {
  const char* name;
  bool moved;  // into a second namespace while the simulator holds it
};

void PrintTo(const PlaceCase& c, std::ostream* os) { *os << c.name; }

class SimEthernetTap : public ::testing::TestWithParam<PlaceCase> {};

// Starts the simulator with its module's port on mvsim0 in the test's namespace, which already
// has loopback up; the interface gets 192.168.1.15/24.
void StartWithTap(SimProcess& sim, std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {"--module", kModule + ",eth=tap:mvsim0,mac=00:1A:2B:3C:4D:5E"};
  args.insert(args.end(), extra.begin(), extra.end());
  ASSERT_TRUE(sim.Start(args)) << sim.error;
  ASSERT_EQ(sim.ethTaps.size(), 1u);
  EXPECT_EQ(sim.ethTaps[0], std::make_pair(kSn, std::string("mvsim0")));
}

TEST_P(SimEthernetTap, CarriesFramesBetweenThePcAndTheKernel) {
  ENTER_NETNS(ns);
  const char check[] = "123456789";
  ASSERT_EQ(Crc32(reinterpret_cast<const std::uint8_t*>(check), 9), 0xCBF43926u) << "the test's own CRC";
  std::string error;
  ASSERT_TRUE(murvik::platform::SetInterfaceUp("lo", true, &error)) << error;
  const std::string record = TempPath(std::string(GetParam().name) + ".jsonl");
  std::optional<OtherNetns> other;  // outlives the simulator, so its interface goes first
  SimProcess sim;
  ASSERT_NO_FATAL_FAILURE(StartWithTap(sim, {"--record", record}));
  EXPECT_TRUE(murvik::platform::InterfaceIsUp("mvsim0"));
  Pc pc;

  std::optional<InNetns> inside;
  if (GetParam().moved) {
    other.emplace();
    ASSERT_TRUE(other->Ready());
    ASSERT_TRUE(Shell("ip link set mvsim0 netns " + std::to_string(other->Pid())));
    EXPECT_FALSE(murvik::platform::InterfaceExists("mvsim0"));
    inside.emplace(other->Pid());
    ASSERT_TRUE(inside->Entered());
    ASSERT_TRUE(Shell("ip link set lo up && ip link set mvsim0 up"));
  }
  ASSERT_TRUE(
      Shell("ip addr add 192.168.1.15/24 dev mvsim0 && ip link set mvsim0 mtu 2000 && "
            "ip neigh replace 192.168.1.99 lladdr 02:00:00:00:00:98 dev mvsim0 nud permanent"));
  murvik::platform::MacAddress deviceMac{};
  ASSERT_TRUE(murvik::platform::GetInterfaceMac("mvsim0", &deviceMac));

  // Without a PC session the port's frames go nowhere.
  ASSERT_TRUE(SendUdp("192.168.1.99", 10));
  EXPECT_TRUE(WaitForUnsent(record, 14 + 28 + 10));

  ASSERT_TRUE(pc.Register(sim.loginPort));
  pc.ToModule(SetIp());
  ExpectConfigAck(pc.NextOf(0xA111), pc.sid, 0);
  pc.ToModule(wire::EncodeNetGetPortInfo());
  auto info = pc.NextOf(0xA111);
  ExpectConfigAck(info, pc.sid, 1);
  ASSERT_TRUE(info);
  EXPECT_EQ(MacAt(*info, 22), kPortMac);

  // The kernel behind the port answers an ARP request from the PC...
  pc.ToModule(NetData(ArpRequest()));
  auto isArpReply = [&](const Bytes& d) {
    return d.size() >= 18 + 42 && d[18 + 12] == 0x08 && d[18 + 13] == 0x06 && d[18 + 21] == 2;
  };
  auto arp = pc.NextOf(0xA101, isArpReply);
  ASSERT_TRUE(arp);
  auto reply = FrameOf(*arp, pc.sid);
  ASSERT_TRUE(reply);
  EXPECT_EQ(MacAt(*reply, 0), kPcMac);
  EXPECT_EQ(MacAt(*reply, 6), deviceMac);
  EXPECT_EQ(Bytes(reply->begin() + 28, reply->begin() + 32), Bytes(kDeviceIp, kDeviceIp + 4));
  EXPECT_EQ(Bytes(reply->begin() + 38, reply->begin() + 42), Bytes(kPcIp, kPcIp + 4));

  // ...and an ICMP echo request with its echo reply.
  const std::string data = "murvik-echo";
  pc.ToModule(NetData(EchoRequest(deviceMac, 0x4D56, 7, data), 2));
  auto isEchoReply = [&](const Bytes& d) {
    return d.size() >= 18 + 42 && d[18 + 12] == 0x08 && d[18 + 13] == 0x00 && d[18 + 23] == 1 && d[18 + 34] == 0;
  };
  auto echo = pc.NextOf(0xA101, isEchoReply);
  ASSERT_TRUE(echo);
  auto pong = FrameOf(*echo, pc.sid);
  ASSERT_TRUE(pong);
  ASSERT_EQ(pong->size(), 14u + 20 + 8 + data.size());
  EXPECT_EQ(Bytes(pong->begin() + 30, pong->begin() + 34), Bytes(kPcIp, kPcIp + 4));
  EXPECT_EQ(Be16(*pong, 38), 0x4D56);
  EXPECT_EQ(Be16(*pong, 40), 7);
  EXPECT_EQ(std::string(pong->begin() + 42, pong->end()), data);

  // The largest frame the port carries reaches the PC; one byte more is dropped with a note.
  ASSERT_TRUE(SendUdp("192.168.1.99", 1472));
  ASSERT_TRUE(SendUdp("192.168.1.99", 1473));
  auto big = pc.NextOf(0xA101, [](const Bytes& d) { return d.size() == 16 + 2 + 1514 + 4; });
  ASSERT_TRUE(big);
  EXPECT_TRUE(FrameOf(*big, pc.sid));
  EXPECT_TRUE(WaitForEth(sim, [](const auto& j) { return j["tx_oversized"] == 1; }));

  // An offline module passes nothing on; the frame after it comes back does reach the PC.
  ASSERT_EQ(sim.Command("offline " + kSn), "OK offline " + kSn);
  ASSERT_TRUE(SendUdp("192.168.1.99", 333));
  ASSERT_TRUE(WaitForUnsent(record, 14 + 28 + 333));
  ASSERT_EQ(sim.Command("online " + kSn), "OK online " + kSn);
  ASSERT_TRUE(SendUdp("192.168.1.99", 444));
  bool offlineFrameSent = false;
  EXPECT_TRUE(pc.NextOf(0xA101, [&](const Bytes& d) {
    offlineFrameSent = offlineFrameSent || d.size() == 18 + 14 + 28 + 333 + 4;
    return d.size() == 18 + 14 + 28 + 444 + 4;
  }));
  EXPECT_FALSE(offlineFrameSent);

  auto eth = EthStats(sim);
  EXPECT_EQ(eth["rx_frames"], 2);
  EXPECT_EQ(eth["rx_write_failed"], 0);
  EXPECT_EQ(eth["reading"], true);
  EXPECT_EQ(sim.Stop(), 0);

  std::vector<std::pair<std::uint64_t, std::string>> frames;
  bool oversizedNoted = false;
  for (const auto& j : ReadRecord(record)) {
    if (j.value("dir", "") == "rx" && j.value("name", "") == "NET_DATA")
      frames.emplace_back(j.value("frame_size", 0u), j.value("ethertype", ""));
    if (j.value("dir", "") == "tap" && j.value("frame_size", 0u) == 1515u)
      oversizedNoted = oversizedNoted || j.value("note", "").find("exceeds 1514") != std::string::npos;
  }
  const std::vector<std::pair<std::uint64_t, std::string>> expected = {{42, "0x0806"},
                                                                       {14 + 20 + 8 + data.size(), "0x0800"}};
  EXPECT_EQ(frames, expected);
  EXPECT_TRUE(oversizedNoted);
  std::remove(record.c_str());
}

INSTANTIATE_TEST_SUITE_P(Places, SimEthernetTap,
                         ::testing::Values(PlaceCase{"InItsNamespace", false},
                                           PlaceCase{"MovedToAnotherNamespace", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SimEthernetTapFaults, FramesFromTheInterfaceAreDuplicatedLikeOtherPackets) {
  ENTER_NETNS(ns);
  std::string error;
  ASSERT_TRUE(murvik::platform::SetInterfaceUp("lo", true, &error)) << error;
  SimProcess sim;
  ASSERT_NO_FATAL_FAILURE(StartWithTap(sim, {"--dup", "100"}));
  ASSERT_TRUE(Shell("ip addr add 192.168.1.15/24 dev mvsim0"));
  Pc pc;
  ASSERT_TRUE(pc.Register(sim.loginPort));  // skips the copies it does not wait for
  pc.ToModule(NetData(ArpRequest()));
  auto isArpReply = [](const Bytes& d) {
    return d.size() >= 18 + 42 && d[18 + 12] == 0x08 && d[18 + 13] == 0x06 && d[18 + 21] == 2;
  };
  auto first = pc.NextOf(0xA101, isArpReply);
  auto second = pc.NextOf(0xA101, isArpReply);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(*first, *second);
  EXPECT_TRUE(FrameOf(*first, pc.sid));
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(SimEthernetTapAccess, SaysWhatIsMissingWithoutNetAdmin) {
  // Root enters a namespace of its own, so a capability that failed to drop creates nothing
  // outside; others cannot make interfaces anyway.
  murvik::test::ScopedNetns ns;
  std::vector<std::string> args = {SimProcess::BinaryPath(), "--login-port", "0", "--module",
                                   kModule + ",eth=tap:mvsim0"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int err[2];
  ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Out of the bounding set, the capability is not regained when the program starts.
    (void)prctl(PR_CAPBSET_DROP, CAP_NET_ADMIN, 0, 0, 0);
    int null = open("/dev/null", O_RDWR);
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(err[1]);
  std::string text;
  char buf[512];
  for (;;) {
    // A simulator that did start would run until stopped; the bound ends the test then.
    pollfd p{err[0], POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) {
      kill(pid, SIGKILL);
      ADD_FAILURE() << "the simulator did not stop";
      break;
    }
    const ssize_t n = read(err[0], buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  close(err[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(text.find(murvik::platform::NetAdminMissingText()), std::string::npos) << text;
  EXPECT_NE(text.find("tap:mvsim0"), std::string::npos) << text;
}

}  // namespace
