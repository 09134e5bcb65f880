// The whole serial path with real programs at both ends: PLC software on the visible end of a
// pair, murvikd carrying the pair to a module of murvik-sim, and a device on the module's port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/config_file.h"
#include "devices/zn_common_fun.h"
#include "integration/daemon_process.h"
#include "integration/sim_process.h"
#include "platform/serial_pair.h"
#include "support/serial_pair_fixture.h"
#include "support/temp_dir.h"
#include "tunnel/client_mgr.h"
#include "tunnel/com_chanel.h"

namespace murvik {
namespace {

using namespace std::string_literals;
using test::WaitFor;

const std::string kPeerServer = std::string(MURVIK_SOURCE_DIR) + "/tests/peers/modbus_rtu_server.py";

// The third-party peers come from scripts/bootstrap.sh; on CI their absence is a failure.
#define REQUIRE_MODBUS_PEERS()                                                                              \
  do {                                                                                                     \
    if (std::system("command -v mbpoll >/dev/null && /usr/bin/python3 -c "                                \
                    "'import pymodbus.server, serial_asyncio' 2>/dev/null") != 0) {                       \
      if (std::getenv("CI")) FAIL() << "mbpoll or python3-pymodbus missing: run scripts/bootstrap.sh";    \
      GTEST_SKIP() << "mbpoll or python3-pymodbus missing: run scripts/bootstrap.sh";                     \
    }                                                                                                      \
  } while (0)

struct ChannelPlan {
  int localCom;  // the pair's COM number on the PC
  int modulePort;  // 1..3
  int transMode;
  int byteSize = 8;
  int parity = 2;
  int plcType = 1;
  std::string other{};
};

struct ModulePlan {
  std::string sn;
  std::vector<ChannelPlan> channels;
};

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

class SerialTunnelTest : public test::SerialPairFixture {
 protected:
  void SetUp() override {
    SerialPairFixture::SetUp();
    record_ = home_.File("sim.jsonl");
  }
  void TearDown() override {
    StopTunnel();
    SerialPairFixture::TearDown();
  }

  void InstallPairs(int count) {
    for (int i = 0; i < count; ++i) {
      std::string out = Setupc("INSTALL PortName=COM# -");
      ASSERT_NE(out.find("RealPortName=COM" + std::to_string(pairs_ + 1)), std::string::npos) << out;
      ++pairs_;
    }
  }

  // Starts the simulator with the modules (each "sn=..,com1=.." without the password) and
  // murvikd carrying the plans, and waits until every channel has its configuration answered.
  void StartTunnel(const std::vector<std::string>& modules, const std::vector<ModulePlan>& plans,
                   std::vector<std::string> simArgs = {}) {
    std::remove(record_.c_str());
    simArgs.insert(simArgs.end(), {"--record", record_});
    for (const auto& m : modules) simArgs.insert(simArgs.end(), {"--module", m + ",password=pw"});
    ASSERT_TRUE(sim_.Start(simArgs)) << sim_.error;
    WriteConfig(plans);
    ASSERT_TRUE(daemon_.Start(home_.Path(), {"*"}));
    for (const auto& p : plans)
      ASSERT_TRUE(daemon_.WaitForText(p.sn + " (SN:" + p.sn + "): 模块已连接", 20000)) << daemon_.output;
    std::size_t channels = 0;
    for (const auto& p : plans) channels += p.channels.size();
    ASSERT_TRUE(WaitFor([&] { return ConfiguredChannels() >= channels; }, 30)) << daemon_.output;
  }
  void StopTunnel() {
    daemon_.Terminate();
    daemon_.WaitForExit(5000);
    sim_.Stop();
  }

  void WriteConfig(const std::vector<ModulePlan>& plans) {
    TClientMgr mgr;
    for (const auto& plan : plans) {
      auto s = TClientMgr::CreateIOServer(0);
      for (auto& c : s->channels) c->USE = 0;
      for (const auto& cp : plan.channels) {
        auto* ch = dynamic_cast<TComChanel*>(s->channels[static_cast<std::size_t>(cp.modulePort - 1)].get());
        ASSERT_NE(ch, nullptr);
        ch->USE = 1;
        ch->VPORT = "COM" + std::to_string(cp.localCom);
        ch->DPORT = "COM" + std::to_string(cp.modulePort);
        ch->PlcType = cp.plcType;
        ch->Other = cp.other;
        ch->TransMode = cp.transMode;
        ch->ByteSize = cp.byteSize;
        ch->Parity = cp.parity;
      }
      s->NAME = plan.sn;
      s->SN = plan.sn;
      s->PWD = "pw";
      s->LOGNAME = "127.0.0.1";
      s->LOGPORT = sim_.loginPort;
      mgr.Add(std::move(s));
    }
    std::string error;
    ASSERT_TRUE(SaveConfigFile(home_.File("MURVIK3.xml"), mgr, TMainWindowState{}, &error)) << error;
  }

  std::vector<nlohmann::json> Record(const std::string& name, const std::string& dir) {
    std::vector<nlohmann::json> out;
    std::ifstream in(record_);
    for (std::string line; std::getline(in, line);) {
      if (line.find("\"name\":\"" + name + "\"") == std::string::npos) continue;
      auto j = nlohmann::json::parse(line, nullptr, false);
      if (j.is_object() && j.value("dir", "") == dir && !j.value("dropped", false)) out.push_back(std::move(j));
    }
    return out;
  }
  // Channels (per session) whose configuration answer left the simulator.
  std::size_t ConfiguredChannels() {
    std::set<std::pair<long, std::string>> seen;
    for (const auto& j : Record("COM_CONFIG_ACK", "tx"))
      seen.insert({j.value("sid", 0L), j.value("hex", std::string()).substr(32, 2)});
    return seen.size();
  }

  std::string DumpFrames() {
    std::string out;
    for (const auto& f : Record("COM_DATA", "rx")) out += f.dump() + "\n";
    return out;
  }

  // Runs mbpoll as a Modbus RTU master at 9600 8E1 on the visible path, once.
  std::string Mbpoll(const std::string& path, const std::string& options, const std::string& values = "") {
    EXPECT_TRUE(WaitIdle(path));
    std::string out;
    RunCommand("mbpoll -m rtu -b 9600 -P even -a 1 -1 -o 3 " + options + " " + path + " " + values, out, 10, 20000);
    return out;
  }
  test::TempDir home_;
  std::string record_;
  int pairs_ = 0;
  test::SimProcess sim_;
  test::DaemonProcess daemon_;
};

TEST_F(SerialTunnelTest, ModbusMasterReadsAndWritesRegistersInBothModes) {
  REQUIRE_MODBUS_PEERS();
  InstallPairs(1);
  for (int mode : {0, 1}) {
    SCOPED_TRACE(mode == 0 ? "transparent" : "download");
    StartTunnel({"sn=20230000001,com1=pty"}, {{"20230000001", {{1, 1, mode}}}});
    ASSERT_EQ(sim_.ptyPaths.size(), 1u);
    platform::ChildProcess server;
    ASSERT_EQ(server.Start({"/usr/bin/python3", kPeerServer, sim_.ptyPaths[0].second}, true), 0);
    std::string serverOut;
    ASSERT_TRUE(WaitFor([&] {
      char buf[256];
      server.WaitForOutput(10);
      while (server.BytesWaiting() > 0) {
        long n = server.Read(buf, sizeof buf);
        if (n <= 0) break;
        serverOut.append(buf, static_cast<std::size_t>(n));
      }
      return serverOut.find("SERVING") != std::string::npos || server.HasEnded();
    }));
    ASSERT_NE(serverOut.find("SERVING"), std::string::npos) << serverOut;

    std::string read = Mbpoll(Visible(1), "-r 1 -c 4");
    EXPECT_NE(read.find("[1]: \t1000"), std::string::npos) << read;
    EXPECT_NE(read.find("[4]: \t1003"), std::string::npos) << read;
    std::string value = std::to_string(4000 + mode);
    EXPECT_NE(Mbpoll(Visible(1), "-r 3", value).find("Written 1 references"), std::string::npos);
    read = Mbpoll(Visible(1), "-r 1 -c 4");
    EXPECT_NE(read.find("[3]: \t" + value), std::string::npos) << read;

    // mbpoll's rate and character format rode in every frame.
    auto frames = Record("COM_DATA", "rx");
    EXPECT_GE(frames.size(), 3u);
    for (const auto& f : frames) {
      EXPECT_EQ(f.value("baud", 0), 9600);
      EXPECT_EQ(f.value("bits", 0), 8);
      EXPECT_EQ(f.value("parity", ""), "E");
    }
    EXPECT_EQ(Record("COM_DATA_ACK_FROM_MODULE", "tx").empty(), mode == 0);
    server.Terminate();
    StopTunnel();
  }
}

// A pty keeps neither data bits nor parity: frames take those from the channel's settings
// (here 7 bits, no parity on COM1; 8 bits, even on COM2) and the rate and stop bits from the
// pty as the program set them.
TEST_F(SerialTunnelTest, EachFrameCarriesTheLineTheProgramSet) {
  InstallPairs(2);
  StartTunnel({"sn=20230000002,com1=echo,com2=echo"},
              {{"20230000002", {{1, 1, 1, 7, 0}, {2, 2, 0, 8, 2}}}});
  struct Case {
    const char* name;
    int localCom;
    platform::SerialLine line;
    std::string data;
    std::string expectedFromOffset16;  // hex
  };
  const Case cases[] = {
      {"9600 8E1 on COM2", 2, {9600, 8, 2, 0}, "\x10\x02\x00\x49\x4B\x16"s, "014760" "100200494b16"},
      {"57600 7N2 on COM1", 1, {57600, 7, 0, 2}, "abc", "0080" "00e100" "0800" + Hex("abc")},
      {"19200 8E1 transparent", 2, {19200, 8, 2, 0}, "xyz", "014960" + Hex("xyz")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string& data = c.data;
    ASSERT_TRUE(WaitIdle(Visible(c.localCom)));
    int fd = open(Visible(c.localCom).c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(platform::SetSerialLine(fd, c.line));
    ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    std::string wanted = c.expectedFromOffset16;
    EXPECT_TRUE(WaitFor([&] {
      for (const auto& f : Record("COM_DATA", "rx"))
        if (f.value("hex", std::string()).substr(32) == wanted) return true;
      return false;
    })) << "no COM_DATA ending in " << wanted << "\n" << DumpFrames();
    close(fd);
  }
}

// S7-200 programming software on the PC and a PPI station on the module's COM1: the token-bus
// housekeeping is answered on the PC side, the job crosses the tunnel, and the station's
// response comes back at the software's next poll.
TEST_F(SerialTunnelTest, PpiStationAnswersThroughTheAssistance) {
  InstallPairs(1);
  ChannelPlan ppi{1, 1, 1};
  ppi.plcType = 2;
  ppi.other = "2";
  StartTunnel({"sn=20230000003,com1=ppi"}, {{"20230000003", {ppi}}});
  int fd = open(Visible(1).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(platform::SetSerialLine(fd, {9600, 8, 2, 0}));
  auto exchange = [&](const std::string& frame) {
    EXPECT_EQ(write(fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    std::string back;
    for (int i = 0; i < 30; ++i) {  // a reply is one burst: read until it pauses
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, back.empty() ? 100 : 20) <= 0) {
        if (!back.empty()) break;
        continue;
      }
      char buf[512];
      ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) back.append(buf, static_cast<std::size_t>(n));
    }
    return Hex(back);
  };
  EXPECT_EQ(exchange("\x10\x02\x00\x49\x4B\x16"s), "100200000216");  // FDL status
  // Read two bytes at VB100, PDU reference 12 34.
  const std::string job =
      "\x68\x1B\x1B\x68\x02\x00\x6C\x32\x01\x00\x00\x12\x34\x00\x0E\x00\x00\x04\x01\x12\x0A\x10\x02"
      "\x00\x02\x00\x01\x84\x00\x03\x20\x00\x16"s;
  std::string withFcs = job;
  unsigned sum = 0;
  for (std::size_t i = 4; i + 2 < withFcs.size(); ++i) sum += static_cast<unsigned char>(withFcs[i]);
  withFcs[withFcs.size() - 2] = static_cast<char>(sum & 0xFF);
  EXPECT_EQ(exchange(withFcs), "e5");
  const std::string poll = "\x10\x02\x00\x5C\x5E\x16"s;
  std::string answer = "e5";
  for (int i = 0; i < 50 && answer == "e5"; ++i) answer = exchange(poll);
  EXPECT_EQ(answer, "6817176800020832030000123400020006000004" "01ff0400106465" "6e16");
  EXPECT_EQ(exchange(poll), "e5");  // collected
  close(fd);
}

// Several megabytes of random bytes through the modules' echo ports in download mode, while
// the simulator loses 5% and doubles 5% of what it sends: every byte comes back once, in order.
// Delivery is one frame in flight with a second per loss, so the bytes are spread over twelve
// ports of four modules.
TEST_F(SerialTunnelTest, DownloadModeStreamSurvivesLossAndDuplicates) {
  constexpr int kModules = 4;
  constexpr std::size_t kBytesPerPort = 200 * 1024;
  constexpr std::size_t kWindow = 16 * 1024;  // well inside the channel's send queue
  InstallPairs(kModules * 3);
  std::vector<std::string> modules;
  std::vector<ModulePlan> plans;
  for (int m = 0; m < kModules; ++m) {
    std::string sn = "2023000001" + std::to_string(m);
    modules.push_back("sn=" + sn + ",com1=echo,com2=echo,com3=echo");
    plans.push_back({sn, {{3 * m + 1, 1, 1}, {3 * m + 2, 2, 1}, {3 * m + 3, 3, 1}}});
  }
  StartTunnel(modules, plans, {"--drop", "5", "--dup", "5", "--seed", "11"});

  struct Stream {
    int fd = -1;
    std::string data;
    std::size_t sent = 0;
    std::string back;
  };
  std::vector<Stream> streams(kModules * 3);
  std::mt19937 rng(2026);
  for (std::size_t i = 0; i < streams.size(); ++i) {
    auto& s = streams[i];
    s.data.resize(kBytesPerPort);
    for (auto& c : s.data) c = static_cast<char>(rng());
    s.fd = open(Visible(static_cast<int>(i) + 1).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(s.fd, 0);
    ASSERT_TRUE(platform::SetSerialLine(s.fd, {115200, 8, 2, 0}));
  }
  auto lastProgress = std::chrono::steady_clock::now();
  for (;;) {
    std::vector<pollfd> fds;
    bool done = true;
    for (auto& s : streams) {
      bool room = s.sent < s.data.size() && s.sent - s.back.size() < kWindow;
      fds.push_back({s.fd, static_cast<short>(POLLIN | (room ? POLLOUT : 0)), 0});
      done = done && s.back.size() == s.data.size();
    }
    if (done) break;
    if (std::chrono::steady_clock::now() - lastProgress > std::chrono::seconds(40)) break;
    poll(fds.data(), fds.size(), 200);
    for (std::size_t i = 0; i < streams.size(); ++i) {
      auto& s = streams[i];
      if (fds[i].revents & POLLOUT) {
        std::size_t n = std::min({std::size_t{4096}, s.data.size() - s.sent, kWindow - (s.sent - s.back.size())});
        ssize_t w = write(s.fd, s.data.data() + s.sent, n);
        if (w > 0) s.sent += static_cast<std::size_t>(w);
      }
      if (fds[i].revents & POLLIN) {
        char buf[8192];
        ssize_t r = read(s.fd, buf, sizeof buf);
        if (r > 0) {
          s.back.append(buf, static_cast<std::size_t>(r));
          lastProgress = std::chrono::steady_clock::now();
        }
      }
    }
  }
  for (std::size_t i = 0; i < streams.size(); ++i) {
    auto& s = streams[i];
    SCOPED_TRACE("COM" + std::to_string(i + 1));
    EXPECT_EQ(s.back.size(), s.data.size());
    EXPECT_TRUE(s.back == s.data.substr(0, s.back.size())) << "bytes changed, lost or repeated";
    close(s.fd);
  }
  auto stats = nlohmann::json::parse(sim_.Command("stats"), nullptr, false);
  EXPECT_GT(stats.value("dropped", 0), 0);
  EXPECT_GT(stats.value("duplicated", 0), 0);
}

}  // namespace
}  // namespace murvik
