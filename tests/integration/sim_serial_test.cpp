// The serial ports of murvik-sim's modules against a scripted PC. The PC's packets come from the
// core's encoders; the simulator's answers are checked byte by byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "integration/sim_pc.h"
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
constexpr std::uint32_t kModuleId = 1000;

using murvik::test::Le16;
using murvik::test::Le32;

std::string TempPath(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir ? dir : "/tmp") + "/murvik_simser_" + std::to_string(getpid()) + "_" + name;
}

nlohmann::json Stats(SimProcess& sim) {
  auto j = nlohmann::json::parse(sim.Command("stats"), nullptr, false);
  EXPECT_TRUE(j.is_object());
  return j;
}

nlohmann::json PortStats(SimProcess& sim, int com) {
  auto j = Stats(sim);
  for (const auto& p : j["modules"][0]["ports"])
    if (p["com"] == com) return p;
  ADD_FAILURE() << "no stats for COM" << com;
  return {};
}

bool WaitForPort(SimProcess& sim, int com, const std::function<bool(const nlohmann::json&)>& pred) {
  for (int i = 0; i < 1000; ++i) {
    if (pred(PortStats(sim, com))) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

Bytes ComData(std::uint32_t seq, std::uint8_t channel, const Bytes& data, const wire::LineSettings& line = {}) {
  Bytes d(23 + data.size());
  d.resize(wire::EncodeComData(d.data(), d.size(), seq, channel, line, data.data(), data.size()));
  return d;
}

// A module's COM_DATA as the simulator must send it: header with the session's ids, the
// channel byte, the data.
void ExpectModuleData(const Bytes& d, std::uint32_t sid, std::uint32_t seq, std::uint8_t channel, const Bytes& data) {
  ASSERT_EQ(d.size(), 17 + data.size());
  EXPECT_EQ(Le32(d, 0), sid);
  EXPECT_EQ(Le32(d, 4), kModuleId);
  EXPECT_EQ(Le32(d, 8), seq);
  EXPECT_EQ(Le16(d, 12), 0xA001);
  EXPECT_EQ(Le16(d, 14), 1 + data.size());
  EXPECT_EQ(d[16], channel);
  EXPECT_EQ(Bytes(d.begin() + 17, d.end()), data);
}

void ExpectModuleAck(const Bytes& d, std::uint32_t sid, std::uint32_t seq, std::uint8_t channel) {
  ASSERT_EQ(d.size(), 17u);
  EXPECT_EQ(Le32(d, 0), sid);
  EXPECT_EQ(Le32(d, 4), kModuleId);
  EXPECT_EQ(Le32(d, 8), seq);
  EXPECT_EQ(Le16(d, 12), 0xA003);
  EXPECT_EQ(Le16(d, 14), 1);
  EXPECT_EQ(d[16], channel);
}

class Pc : public murvik::test::SimPc {
 public:
  std::optional<Bytes> Next(int timeoutMs = 5000) {
    auto b = Receive(timeoutMs);
    if (b) last_ = *b;
    return b;
  }
  // The next datagram not received before: retransmissions are skipped.
  Bytes NextNew(int timeoutMs = 5000) {
    for (;;) {
      auto d = Next(timeoutMs);
      if (!d) return {};
      if (seen_.insert(*d).second) return *d;
    }
  }
  // Every datagram up to the PING_ACK of a PING sent now (the simulator answers in order),
  // without further copies of the one received last before.
  std::vector<Bytes> UntilPingAck() {
    const Bytes before = last_;
    ToModule(wire::EncodePing(++pingSeq_));
    std::vector<Bytes> out;
    while (auto d = Next()) {
      if (Le16(*d, 12) == 0xAF01 && Le32(*d, 8) == pingSeq_) {
        for (const auto& b : out) seen_.insert(b);
        seen_.insert(*d);
        return out;
      }
      if (*d != before) out.push_back(*d);
    }
    ADD_FAILURE() << "no PING_ACK";
    return out;
  }

  bool Register(std::uint16_t port) {
    return SimPc::Register(port, kSn, kPassword, [this](std::uint16_t) -> std::optional<Bytes> {
      Bytes b = NextNew();
      if (b.empty()) return std::nullopt;
      return b;
    });
  }
  // COM_CONFIG for a channel and the acceptance the default module gives.
  void Configure(std::uint8_t channel, std::uint16_t transMode, std::uint16_t plcType = 1) {
    ToModule(wire::EncodeComConfig(channel, plcType, transMode));
    Bytes ack = NextNew();
    ASSERT_EQ(ack.size(), 20u);
    ASSERT_EQ(Le16(ack, 12), 0xA011);
    ASSERT_EQ(Le16(ack, 18), 0);
  }


 private:
  std::set<Bytes> seen_;
  Bytes last_;
  std::uint32_t pingSeq_ = 4000;
};

struct AckCase {
  const char* name;
  std::string option;  // module item, or "" for the default
  bool viaConfigFile;
  std::uint16_t length;
  std::optional<std::uint16_t> status;
  bool configured;
};

class SimSerialConfig : public ::testing::TestWithParam<AckCase> {};

TEST_P(SimSerialConfig, AnswersComConfigInTheChosenForm) {
  const AckCase& c = GetParam();
  const std::string record = TempPath(std::string(c.name) + ".jsonl");
  const std::string config = TempPath(std::string(c.name) + ".json");
  std::vector<std::string> args = {"--record", record};
  if (c.viaConfigFile) {
    std::ofstream(config) << R"({"modules":[{"sn":")" << kSn << R"(","password":")" << kPassword
                          << R"(","com2":"echo","comack":")" << c.option << R"("}]})";
    args.insert(args.end(), {"--config", config});
  } else {
    args.insert(args.end(), {"--module", kModule + ",com2=echo" + (c.option.empty() ? "" : "," + c.option)});
  }
  SimProcess sim;
  ASSERT_TRUE(sim.Start(args)) << sim.error;
  Pc pc;
  ASSERT_TRUE(pc.Register(sim.loginPort));

  // Data before any configuration is ignored.
  pc.ToModule(ComData(1, 1, {0x55}));
  EXPECT_TRUE(pc.UntilPingAck().empty());

  for (std::uint8_t channel = 0; channel < 3; ++channel) {
    pc.ToModule(wire::EncodeComConfig(channel, 4, 1));
    auto d = pc.Next();
    ASSERT_TRUE(d);
    ASSERT_EQ(d->size(), 16u + c.length);
    EXPECT_EQ(Le32(*d, 0), pc.sid);
    EXPECT_EQ(Le32(*d, 4), kModuleId);
    EXPECT_EQ(Le16(*d, 12), 0xA011);
    EXPECT_EQ(Le16(*d, 14), c.length);
    EXPECT_EQ(Le16(*d, 16), channel);
    if (c.status) {
      EXPECT_EQ(Le16(*d, 18), *c.status);
    }
  }
  auto port = PortStats(sim, 2);
  EXPECT_EQ(port["configured"], c.configured);
  EXPECT_EQ(port["backend"], "echo");
  if (c.configured) {
    EXPECT_EQ(port["plc_type"], 4);
    EXPECT_EQ(port["trans_mode"], 1);
  }
  // A refused port still ignores data; an accepted one acknowledges it.
  pc.ToModule(ComData(2, 1, {0x66}));
  auto after = pc.UntilPingAck();
  EXPECT_EQ(after.empty(), !c.configured);
  EXPECT_EQ(sim.Stop(), 0);

  std::ifstream in(record);
  int notes = 0;
  for (std::string line; std::getline(in, line);) {
    auto j = nlohmann::json::parse(line, nullptr, false);
    if (j.value("name", "") == "COM_DATA" && j.value("note", "").find("not configured") != std::string::npos)
      ++notes;
  }
  EXPECT_EQ(notes, c.configured ? 1 : 2);
  std::remove(record.c_str());
  std::remove(config.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Forms, SimSerialConfig,
    ::testing::Values(AckCase{"New", "", false, 4, 0, true}, AckCase{"Old", "comack=old", false, 2, {}, true},
                      AckCase{"Refuse", "comack=refuse", false, 4, 5, false},
                      AckCase{"OldFromConfigFile", "old", true, 2, {}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SimSerial, EchoInDownloadModeAcknowledgesAndResendsUntilAcknowledged) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--module", kModule + ",com2=echo"})) << sim.error;
  Pc pc;
  ASSERT_TRUE(pc.Register(sim.loginPort));
  pc.Configure(1, 1);

  const Bytes hello = {'h', 'e', 'l', 'l', 'o'};
  pc.ToModule(ComData(7, 1, hello));
  ExpectModuleAck(pc.NextNew(), pc.sid, 7, 1);
  const Bytes first = pc.NextNew();
  ExpectModuleData(first, pc.sid, 1, 1, hello);
  // Not acknowledged: the same datagram again.
  auto again = pc.Next();
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, first);

  // A second frame waits behind the first until the PC acknowledges it.
  pc.ToModule(ComData(8, 1, {0x42}));
  auto waiting = pc.UntilPingAck();
  std::erase(waiting, first);
  ASSERT_EQ(waiting.size(), 1u);
  ExpectModuleAck(waiting[0], pc.sid, 8, 1);
  pc.ToModule(wire::EncodeComDataAck(99, 1));  // another SEQ_ID releases nothing
  EXPECT_TRUE(WaitForPort(sim, 1 + 1, [](const auto& p) { return p["acks_ignored"] == 1; }));
  pc.ToModule(wire::EncodeComDataAck(1, 1));
  Bytes second;
  while ((second = pc.NextNew()).size() == 17) {
  }
  ExpectModuleData(second, pc.sid, 2, 1, {0x42});
  pc.ToModule(wire::EncodeComDataAck(2, 1));
  EXPECT_TRUE(WaitForPort(sim, 2, [](const auto& p) { return p["tx_acked"] == 2 && p["tx_queued"] == 0; }));
  auto port = PortStats(sim, 2);
  EXPECT_EQ(port["rx_bytes"], 6);
  EXPECT_EQ(port["acks_sent"], 2);
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(SimSerial, GivesUpOnAFrameAfterTenSends) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--module", kModule})) << sim.error;
  Pc pc;
  ASSERT_TRUE(pc.Register(sim.loginPort));
  pc.Configure(0, 1);
  EXPECT_EQ(sim.Command("send " + kSn + " 1 a1"), "OK send " + kSn + " 1 a1");
  EXPECT_EQ(sim.Command("send " + kSn + " COM1 b2"), "OK send " + kSn + " COM1 b2");
  int sends = 0;
  std::optional<Bytes> d;
  while ((d = pc.Next(5000)) && Le32(*d, 8) == 1) {
    ExpectModuleData(*d, pc.sid, 1, 0, {0xA1});
    ++sends;
  }
  EXPECT_EQ(sends, 10);
  ASSERT_TRUE(d);
  ExpectModuleData(*d, pc.sid, 2, 0, {0xB2});  // the next frame goes once the first is dropped
  EXPECT_EQ(PortStats(sim, 1)["tx_dropped"], 1);
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(SimSerial, TransparentModeNeitherAcknowledgesNorResends) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--module", kModule + ",com3=echo", "--dup", "100"})) << sim.error;
  Pc pc;
  ASSERT_TRUE(pc.Register(sim.loginPort));
  pc.Configure(2, 0);
  pc.ToModule(ComData(3, 2, {1, 2, 3}));
  auto got = pc.UntilPingAck();
  // Every datagram sent twice by the fault injection; the echo is the only one.
  ASSERT_EQ(got.size(), 2u);
  ExpectModuleData(got[0], pc.sid, 1, 2, {1, 2, 3});
  EXPECT_EQ(got[1], got[0]);
  auto port = PortStats(sim, 3);
  EXPECT_EQ(port["acks_sent"], 0);
  EXPECT_EQ(port["tx_queued"], 0);
  EXPECT_EQ(port["trans_mode"], 0);
  EXPECT_EQ(sim.Stop(), 0);
}

struct RepeatCase {
  const char* name;
  std::uint16_t transMode;
};

class SimSerialRepeat : public ::testing::TestWithParam<RepeatCase> {};

TEST_P(SimSerialRepeat, DeliversABackToBackRepeatOnceAndAcknowledgesEveryFrame) {
  const bool download = GetParam().transMode == 1;
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--module", kModule + ",com1=echo"})) << sim.error;
  Pc pc;
  ASSERT_TRUE(pc.Register(sim.loginPort));
  pc.Configure(0, GetParam().transMode);

  // 5, 5 again, 6, then 5 after another frame: delivered again.
  const std::vector<std::pair<std::uint32_t, std::uint8_t>> frames = {{5, 0x50}, {5, 0x50}, {6, 0x60}, {5, 0x51}};
  std::uint32_t echoSeq = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const auto [seq, byte] = frames[i];
    const bool repeat = i == 1;
    pc.ToModule(ComData(seq, 0, {byte}));
    std::vector<Bytes> got = pc.UntilPingAck();
    std::vector<Bytes> acks, data;
    for (const auto& d : got) (Le16(d, 12) == 0xA003 ? acks : data).push_back(d);
    if (download) {
      ASSERT_EQ(acks.size(), 1u);
      ExpectModuleAck(acks[0], pc.sid, seq, 0);
    } else {
      EXPECT_TRUE(acks.empty());
    }
    ASSERT_EQ(data.size(), repeat ? 0u : 1u);
    if (!repeat) {
      ExpectModuleData(data[0], pc.sid, ++echoSeq, 0, {byte});
      if (download) pc.ToModule(wire::EncodeComDataAck(echoSeq, 0));
    }
  }
  auto port = PortStats(sim, 1);
  EXPECT_EQ(port["rx_frames"], 4);
  EXPECT_EQ(port["rx_repeats"], 1);
  EXPECT_EQ(port["rx_bytes"], 3);
  EXPECT_EQ(port["acks_sent"], download ? 4 : 0);
  EXPECT_EQ(sim.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, SimSerialRepeat,
                         ::testing::Values(RepeatCase{"Download", 1}, RepeatCase{"Transparent", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SimSerial, RecordsTheLineSettingsOfEveryFrame) {
  struct LineCase {
    wire::LineSettings line;
    std::uint32_t baud;
    int bits;
    const char* parity;
    const char* stop;
    const char* format;
  };
  const LineCase cases[] = {
      {{9600, 8, 2, 0}, 9600, 8, "E", "1", "short"},
      {{57600, 7, 0, 2}, 57600, 7, "N", "2", "long"},
      {{19200, 8, 1, 1}, 19200, 8, "O", "1.5", "short"},
      {{1000000, 8, 0, 0}, 1000000, 8, "N", "1", "long"},
  };
  const std::string record = TempPath("lines.jsonl");
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--module", kModule, "--record", record})) << sim.error;
  Pc pc;
  ASSERT_TRUE(pc.Register(sim.loginPort));
  pc.Configure(0, 0);
  std::uint32_t seq = 10;
  for (const auto& c : cases) {
    pc.ToModule(ComData(++seq, 0, {0xAB, 0xCD}, c.line));
    pc.UntilPingAck();
    auto line = PortStats(sim, 1)["line"];
    EXPECT_EQ(line["baud"], c.baud);
    EXPECT_EQ(line["parity"], c.parity);
  }
  EXPECT_EQ(PortStats(sim, 1)["rx_bytes"], 2 * std::size(cases));
  EXPECT_EQ(sim.Stop(), 0);

  std::ifstream in(record);
  std::size_t i = 0;
  for (std::string text; std::getline(in, text);) {
    auto j = nlohmann::json::parse(text, nullptr, false);
    if (j.value("name", "") != "COM_DATA") continue;
    ASSERT_LT(i, std::size(cases));
    const LineCase& c = cases[i++];
    EXPECT_EQ(j["baud"], c.baud) << text;
    EXPECT_EQ(j["bits"], c.bits) << text;
    EXPECT_EQ(j["parity"], c.parity) << text;
    EXPECT_EQ(j["stop"], c.stop) << text;
    EXPECT_EQ(j["line_format"], c.format) << text;
  }
  EXPECT_EQ(i, std::size(cases));
  std::remove(record.c_str());
}

TEST(SimSerial, SendCommandSplitsIntoFramesAndRefusesBadInput) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--module", kModule + ",com3=none"})) << sim.error;
  Pc pc;
  ASSERT_TRUE(pc.Register(sim.loginPort));
  for (const std::string& bad : std::vector<std::string>{"send " + kSn + " 2 0102", "send " + kSn + " 3 0102", "send " + kSn + " 4 01",
                                "send " + kSn + " 1 012", "send " + kSn + " 1 zz", "send 999 1 01",
                                "send " + kSn + " 1"}) {
    EXPECT_EQ(sim.Command(bad).rfind("ERR ", 0), 0u) << bad;  // COM2 unconfigured, COM3 without backend
  }
  pc.Configure(1, 0);
  std::string hex;
  Bytes data;
  for (int i = 0; i < 600; ++i) {
    data.push_back(static_cast<std::uint8_t>(i));
    char two[3];
    std::snprintf(two, sizeof two, "%02x", i & 0xFF);
    hex += two;
  }
  EXPECT_EQ(sim.Command("send " + kSn + " 2 " + hex).rfind("OK send", 0), 0u);
  ExpectModuleData(pc.NextNew(), pc.sid, 1, 1, Bytes(data.begin(), data.begin() + 512));
  ExpectModuleData(pc.NextNew(), pc.sid, 2, 1, Bytes(data.begin() + 512, data.end()));
  EXPECT_EQ(PortStats(sim, 2)["tx_bytes"], 600);
  EXPECT_EQ(sim.Stop(), 0);
}

// Random serial datagrams, many well-formed enough to reach the ports' handlers.
TEST(SimSerial, SurvivesRandomSerialDatagrams) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--module", kModule + ",com1=echo,com2=echo"})) << sim.error;
  Pc pc;
  ASSERT_TRUE(pc.Register(sim.loginPort));
  for (std::uint8_t channel = 0; channel < 3; ++channel) pc.Configure(channel, 1);
  const std::uint16_t commands[] = {0xA000, 0xA002, 0xA010};
  std::uint32_t state = 777;
  auto next = [&] { return state = state * 1103515245u + 12345u, state >> 8; };
  for (int i = 0; i < 1500; ++i) {
    Bytes d(16 + next() % 32);
    for (auto& b : d) b = static_cast<std::uint8_t>(next());
    wire::Header h{pc.sid, kModuleId, next() % 4, commands[next() % 3], static_cast<std::uint16_t>(d.size() - 16)};
    wire::WriteHeader(d.data(), h);
    if (d.size() > 16) d[16] = static_cast<std::uint8_t>(next() % 4);
    if (d.size() > 17 && next() % 2) d[17] = static_cast<std::uint8_t>(0x40 + next() % 17);
    if (next() % 16 == 0) d.resize(d.size() - 1);
    pc.Send(d);
    while (pc.Next(0)) {
    }
  }
  pc.UntilPingAck();
  EXPECT_GT(PortStats(sim, 1)["rx_frames"].get<int>(), 0);
  EXPECT_EQ(sim.Stop(), 0);
}

Bytes ReadSome(int fd, std::size_t want) {
  Bytes got;
  while (got.size() < want) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, 5000) <= 0) break;
    std::uint8_t buf[256];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.insert(got.end(), buf, buf + n);
  }
  return got;
}

TEST(SimSerial, PtyBackendCarriesBytesBothWays) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--module", kModule + ",com1=pty,com3=pty"})) << sim.error;
  ASSERT_EQ(sim.ptyPaths.size(), 2u);
  EXPECT_EQ(sim.ptyPaths[0].first, "COM1");
  EXPECT_EQ(sim.ptyPaths[1].first, "COM3");
  const std::string path = sim.ptyPaths[0].second;
  ASSERT_EQ(path.rfind("/", 0), 0u) << path;
  const int slave = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(slave, 0) << path;

  Pc pc;
  ASSERT_TRUE(pc.Register(sim.loginPort));
  pc.Configure(0, 1);

  const Bytes fromLine = {'a', 'b', 0x00, 0xFF, '\n'};
  ASSERT_EQ(write(slave, fromLine.data(), fromLine.size()), static_cast<ssize_t>(fromLine.size()));
  Bytes received;
  for (std::uint32_t seq = 1; received.size() < fromLine.size(); ++seq) {
    Bytes d = pc.NextNew();
    ASSERT_GE(d.size(), 18u);
    ExpectModuleData(d, pc.sid, seq, 0, Bytes(d.begin() + 17, d.end()));
    received.insert(received.end(), d.begin() + 17, d.end());
    pc.ToModule(wire::EncodeComDataAck(seq, 0));
  }
  EXPECT_EQ(received, fromLine);

  const Bytes toLine = {0x10, 0x02, 0x00, 0x49, 0x4B, 0x16, '\r', '\n'};
  pc.ToModule(ComData(1, 0, toLine));
  ExpectModuleAck(pc.NextNew(), pc.sid, 1, 0);
  EXPECT_EQ(ReadSome(slave, toLine.size()), toLine);
  close(slave);
}

}  // namespace
