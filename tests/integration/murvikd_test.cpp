// murvikd as a user runs it: against murvik-sim, with a configuration directory of its own.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "config/config_file.h"
#include "integration/daemon_process.h"
#include "integration/sim_process.h"
#include "tunnel/client_mgr.h"

namespace murvik {
namespace {

namespace fs = std::filesystem;

class MurvikdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = fs::temp_directory_path() /
            ("murvikd-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(home_);
    fs::create_directories(home_);
    record_ = (home_ / "sim.jsonl").string();
  }
  void TearDown() override { fs::remove_all(home_); }

  void WriteConfig(std::uint16_t loginPort, const std::string& password, bool netUse = false) {
    TClientMgr mgr;
    auto s = TClientMgr::CreateIOServer(0);
    for (auto& c : s->channels) c->USE = 0;
    s->channels[3]->USE = netUse ? 1 : 0;
    s->NAME = "Line 1";
    s->SN = "20230000001";
    s->PWD = password;
    s->LOGNAME = "127.0.0.1";
    s->LOGPORT = loginPort;
    mgr.Add(std::move(s));
    std::string error;
    ASSERT_TRUE(SaveConfigFile((home_ / "MURVIK3.xml").string(), mgr, TMainWindowState{}, &error)) << error;
  }

  // Runs murvikd; output collects stdout and stderr.
  void Launch(std::vector<std::string> args) {
    // Session start lists the port pairs: keep the pair tool out of the machine's driver state.
    setenv("MURVIK_DRIVER_STATE", (home_ / "driver-state").c_str(), 1);
    setenv("MURVIK_DEV_DIR", (home_ / "dev").c_str(), 1);
    ASSERT_TRUE(daemon_.Start(home_.string(), args));
  }
  bool WaitForText(const std::string& text, int ms) { return daemon_.WaitForText(text, ms); }
  int WaitForExit(int ms) { return daemon_.WaitForExit(ms); }
  int CountInRecord(const std::string& needle) {
    std::ifstream in(record_);
    std::string line;
    int n = 0;
    while (std::getline(in, line)) n += line.find(needle) != std::string::npos;
    return n;
  }

  fs::path home_;
  std::string record_;
  test::DaemonProcess daemon_;
  std::string& output = daemon_.output;
  test::SimProcess sim;
};

TEST_F(MurvikdTest, ReportsOnlineAndSaysGoodbyeOnSigterm) {
  ASSERT_TRUE(sim.Start({"--relay-port", "0", "--record", record_, "--module", "sn=20230000001,password=secret"}))
      << sim.error;
  WriteConfig(sim.loginPort, "secret");
  Launch({"*"});
  EXPECT_TRUE(WaitForText("Line 1 (SN:20230000001): 正在连接服务器...", 5000)) << output;
  EXPECT_TRUE(WaitForText("Line 1 (SN:20230000001): 模块已连接[默认][流量 ", 10000)) << output;
  daemon_.Terminate();
  EXPECT_EQ(WaitForExit(5000), 0) << output;
  EXPECT_TRUE(WaitForText("Line 1 (SN:20230000001): 模块未连接", 100)) << output;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(CountInRecord("\"dir\":\"rx\",\"server\":\"relay\"") > 0, true);
  EXPECT_EQ(CountInRecord("\"name\":\"NAK\""), 2) << "two goodbyes";
  EXPECT_EQ(sim.Stop(), 0);
}

TEST_F(MurvikdTest, ExitsOneWhenEverySessionWasRefused) {
  ASSERT_TRUE(sim.Start({"--module", "sn=20230000001,password=secret"})) << sim.error;
  WriteConfig(sim.loginPort, "not-it");
  Launch({"Line 1"});
  EXPECT_EQ(WaitForExit(10000), 1) << output;
  EXPECT_NE(output.find("Line 1 (SN:20230000001): 密码错误，未连接"), std::string::npos) << output;
}

TEST_F(MurvikdTest, AChannelThatCannotOpenIsNamedAndNothingStarts) {
  WriteConfig(7250, "secret", true);
  Launch({"*"});
  EXPECT_EQ(WaitForExit(5000), 1) << output;
  EXPECT_NE(output.find("错误: 未找到网卡\"\""), std::string::npos) << output;
  EXPECT_NE(output.find("Line 1 (SN:20230000001): 模块未连接"), std::string::npos) << output;
}

TEST_F(MurvikdTest, ClearMessagesForUnusableInput) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* fileContent;  // nullptr: no configuration file
    int exitCode;
    const char* says;
  };
  const std::vector<Case> cases = {
      {"no file", {"*"}, nullptr, 1, "no configuration file"},
      {"broken file", {"*"}, "<ROOT><OBJ COUNT=\"1\"></OBJ></ROOT>", 1, "cannot load"},
      {"not xml", {"*"}, "\x01\x02 not xml", 1, "cannot load"},
      {"unknown module", {"Nobody"}, "<ROOT><OBJ COUNT=\"0\"/></ROOT>", 1, "no module named 'Nobody'"},
      {"no names", {}, nullptr, 2, "name the modules"},
      {"bad option", {"--frobnicate"}, nullptr, 2, "unknown option"},
      {"help", {"--help"}, nullptr, 0, "Usage: murvikd"},
      {"version", {"--version"}, nullptr, 0, "murvikd "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(home_ / "MURVIK3.xml");
    if (c.fileContent) std::ofstream(home_ / "MURVIK3.xml") << c.fileContent;
    output.clear();
    Launch(c.args);
    EXPECT_EQ(WaitForExit(5000), c.exitCode) << output;
    EXPECT_NE(output.find(c.says), std::string::npos) << output;
    if (c.fileContent) {
      std::ifstream in(home_ / "MURVIK3.xml");
      std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      EXPECT_EQ(after, c.fileContent) << "a file that does not load is left as it was";
    }
  }
}

}  // namespace
}  // namespace murvik
