// The virtual device manager, against a scripted pair tool and a scripted adapter tool.
#include "devices/vir_com_mgr.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "diagnostics/server_log.h"
#include "driver/tapinstall_state.h"
#include "platform/paths.h"
#include "support/temp_dir.h"

namespace murvik {
namespace {

const char* kList =
    "       CNCA2 PortName=COM#,RealPortName=COM12\r\n"
    "       CNCB2 PortName=-\r\n"
    "       CNCA0 portname=com#,realportname=com10\r\n"
    "       CNCB0 PortName=-\r\n"
    "       CNCA1 PortName=COM#,RealPortName=COM9\r\n"
    "       CNCB1 PortName=-\r\n"
    "       CNCA4 PortName=COM3\r\n"
    "       CNCB4 PortName=-\r\n"
    "       CNCA5 PortName=COM#,RealPortName=COM11\r\n"
    "       CNCB5 PortName=-\r\n"
    "not a port line\r\n";

// A scripted tool: answers by the first word after the tool path and records every line.
struct FakeTool {
  std::mutex m;
  std::vector<std::string> lines;
  std::string list = kList;
  std::string install = "CNCA7 PortName=COM#\r\nCNCB7 PortName=-\r\n";
  std::atomic<int> listCalls{0};
  std::string Run(const std::string& line) {
    std::lock_guard lock(m);
    lines.push_back(line);
    if (line.find(" LIST") != std::string::npos) {
      ++listCalls;
      return list;
    }
    if (line.find(" INSTALL ") != std::string::npos) return install;
    return "";
  }
};

TEST(PortList, ParsesEveryLine) {
  auto ports = ParsePortList(kList);
  ASSERT_EQ(ports.size(), 11u);
  EXPECT_EQ(ports[0], (SSerInfo{1, 2, "COM#", "COM12"}));
  EXPECT_EQ(ports[1], (SSerInfo{0, 2, "-", ""}));
  EXPECT_EQ(ports[2], (SSerInfo{1, 0, "COM#", "COM10"})) << "names and values are upper-cased";
  EXPECT_EQ(ports[6], (SSerInfo{1, 4, "COM3", ""}));
  EXPECT_EQ(ports[10], (SSerInfo{0, -1, "", ""})) << "a line without a port still yields an entry";
}

TEST(PortList, CreateOutputGivesTheNewPairIndex) {
  EXPECT_EQ(ParseCreatedPairIndex("CNCA7 PortName=COM#\r\n"), 7);
  EXPECT_EQ(ParseCreatedPairIndex("  CNCA12 x"), 12);
  EXPECT_EQ(ParseCreatedPairIndex("failed to install"), -1);
  EXPECT_EQ(ParseCreatedPairIndex(""), -1);
  EXPECT_EQ(ParseCreatedPairIndex("CNCA"), -1);
}

class VirComMgrTest : public ::testing::Test {
 protected:
  FakeTool tool;
  CVirComMgr mgr{"/opt/murvik/driver/", [this](const std::string& l) { return tool.Run(l); }};
};

TEST_F(VirComMgrTest, ChoosablePortsAndHiddenEnds) {
  mgr.RefreshPorts();
  EXPECT_EQ(tool.lines.back(), "/opt/murvik/driver/setupc LIST");
  std::vector<SSerInfo> choosable;
  ASSERT_TRUE(mgr.GetChoosablePorts(choosable));
  std::vector<std::string> names;
  for (const auto& p : choosable) names.push_back(p.RealPortName);
  EXPECT_EQ(names, (std::vector<std::string>{"COM9", "COM10", "COM11", "COM12"})) << "by number; fixed names never";
  EXPECT_EQ(mgr.HiddenPortName("COM12"), "CNCB2");
  EXPECT_EQ(mgr.HiddenPortName("com12"), "");
  EXPECT_EQ(mgr.HiddenPortName("COM99"), "");
}

TEST_F(VirComMgrTest, PinCommandsNameBothEndsOfThePair) {
  mgr.RefreshPorts();
  tool.lines.clear();
  mgr.SetPinsOnOpen("COM9");
  mgr.RestorePins("COM9");
  mgr.SetPinsOnOpen("COM77");  // not listed: nothing runs
  EXPECT_EQ(tool.lines, (std::vector<std::string>{
                            "/opt/murvik/driver/setupc  change CNCA1 cts=lopen,dsr=lopen",
                            "/opt/murvik/driver/setupc  change CNCB1 cts=lopen,dsr=lopen",
                            "/opt/murvik/driver/setupc  change CNCA1 cts=rrts,dsr=rdtr",
                            "/opt/murvik/driver/setupc  change CNCB1 cts=rrts,dsr=rdtr",
                        }));
}

bool WaitIdle(CVirComMgr& m) {
  for (int i = 0; i < 500 && m.Busy(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return !m.Busy();
}

TEST_F(VirComMgrTest, NewPairIsTakenOnceWhenItShowsItsComName) {
  mgr.SetNewPortWaitLimit(2000, 5);  // ample: the test adds the pair after the second listing
  {
    std::lock_guard lock(tool.m);
    tool.list = std::string(kList);  // CNCA7 not listed yet
  }
  mgr.RequestNewPort();
  EXPECT_TRUE(mgr.Busy());
  std::vector<SSerInfo> during;
  EXPECT_FALSE(mgr.GetChoosablePorts(during)) << "no list while a job runs";
  mgr.RequestNewPort();  // ignored while busy
  while (tool.listCalls < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  {
    std::lock_guard lock(tool.m);
    tool.list += "CNCA7 PortName=COM#,RealPortName=COM13\r\nCNCB7 PortName=-\r\n";
  }
  ASSERT_TRUE(WaitIdle(mgr));
  SSerInfo taken;
  ASSERT_TRUE(mgr.TakeNewPort(taken));
  EXPECT_EQ(taken, (SSerInfo{1, 7, "COM#", "COM13"}));
  EXPECT_FALSE(mgr.TakeNewPort(taken));
  int installs = 0;
  for (const auto& l : tool.lines) installs += l == "/opt/murvik/driver/setupc INSTALL PortName=COM# -";
  EXPECT_EQ(installs, 1);
}

TEST_F(VirComMgrTest, CreationGivesUpWhenThePairNeverShowsOrTheToolFails) {
  mgr.SetNewPortWaitLimit(3, 5);
  mgr.RequestNewPort();  // CNCA7 is never listed
  ASSERT_TRUE(WaitIdle(mgr));
  SSerInfo taken;
  EXPECT_FALSE(mgr.TakeNewPort(taken));
  {
    std::lock_guard lock(tool.m);
    tool.install = "";
  }
  mgr.RequestNewPort();
  ASSERT_TRUE(WaitIdle(mgr));
  EXPECT_FALSE(mgr.TakeNewPort(taken));
}

// ---- adapters ----

TEST(AdapterFind, KeepsLinesOfInstanceIdAndDescription) {
  struct Case {
    const char* line;
    bool kept;
    const char* id;
    const char* description;
  };
  const Case cases[] = {
      {"ROOT\\NET\\0000               : MURVIK3 Virtual Ethernet Adapter", true, "ROOT\\NET\\0000",
       "MURVIK3 Virtual Ethernet Adapter"},
      {"  ROOT\\NET\\0001:Adapter #2  \t", true, "ROOT\\NET\\0001", "Adapter #2"},
      {"ROOT\\NET\\0002 :  inner   blanks , and a comma ", true, "ROOT\\NET\\0002", "inner   blanks , and a comma"},
      {"ROOT\\NET\\0003 MURVIK3 Virtual Ethernet Adapter", false, "", ""},
      {"ROOT\\NET\\0004 : Adapter : extra", false, "", ""},
      {"ROOT\\NET\\0005 : Adapter :", false, "", ""},
      {"2 matching device(s) found.", false, "", ""},
      {"No matching devices found.", false, "", ""},
  };
  for (const auto& c : cases) {
    auto lines = ParseAdapterFind(std::string(c.line) + "\r\n");
    ASSERT_EQ(lines.size(), c.kept ? 1u : 0u) << c.line;
    if (!c.kept) continue;
    EXPECT_EQ(lines[0].PnpInstanceID, c.id) << c.line;
    EXPECT_EQ(lines[0].Description, c.description) << c.line;
    EXPECT_EQ(lines[0].InstanceGuid, "") << c.line;
  }
  EXPECT_EQ(ParseAdapterFind("a : b\nc : d\n1 matching device(s) found.\n").size(), 2u) << "one entry per line";
}

const char* kGuid0 = "{11111111-2222-4333-8444-555555555555}";
const char* kGuid1 = "{AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE}";
const char* kGuid2 = "{01234567-89AB-4CDE-8F01-23456789ABCD}";

driver::AdapterRecord Record(int n, const char* guid, const std::string& componentId = "tap0901") {
  char id[32];
  std::snprintf(id, sizeof id, "ROOT\\NET\\%04d", n);
  return {id, guid, driver::AdapterDescription(n + 1), componentId, "murvik" + std::to_string(9000 + n), false};
}

// The adapter tool as the manager sees it: records in a private driver state, a find output
// built from them (or scripted), an install that records one more adapter once released.
struct FakeAdapterTool {
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::string> lines;
  driver::AdapterState state;
  std::optional<std::string> findOverride;  // answered instead of the records' lines
  int overrideFinds = -1;                   // for this many finds; -1: for all
  bool installAdds = true;
  bool installReleased = true;
  int installs = 0;
  int finds = 0;

  std::string Run(const std::string& line) {
    std::unique_lock lock(m);
    lines.push_back(line);
    if (line.find(" install OemWin2k.inf tap0901") != std::string::npos) {
      ++installs;
      cv.wait(lock, [&] { return installReleased; });
      if (installAdds) {
        int n = static_cast<int>(state.adapters.size());
        state.adapters.push_back(Record(n, n % 2 ? kGuid1 : kGuid2));
        driver::SaveAdapterState(state, nullptr);
      }
      return "";
    }
    if (line.find(" find tap0901") != std::string::npos) {
      ++finds;
      if (findOverride && overrideFinds != 0) {
        if (overrideFinds > 0) --overrideFinds;
        return *findOverride;
      }
      std::string out;
      for (const auto& a : state.adapters) out += a.instanceId + "   : " + a.description + "\r\n";
      return out + std::to_string(state.adapters.size()) + " matching device(s) found.\r\n";
    }
    return "";
  }
  void Write() {
    std::lock_guard lock(m);
    driver::SaveAdapterState(state, nullptr);
  }
  void Release() {
    {
      std::lock_guard lock(m);
      installReleased = true;
    }
    cv.notify_all();
  }
  std::vector<std::string> Lines() {
    std::lock_guard lock(m);
    return lines;
  }
};

struct ScopedDriverState {
  test::TempDir dir;
  ScopedDriverState() { setenv("MURVIK_DRIVER_STATE", dir.Path().c_str(), 1); }
  ~ScopedDriverState() { unsetenv("MURVIK_DRIVER_STATE"); }
};

class AdapterMgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mgr.SetNewAdapterPause(1);
    SetLogObserver([this](int level, std::string_view text) {
      std::lock_guard lock(logMutex);
      logs.push_back(std::to_string(level) + " " + std::string(text));
    });
  }
  void TearDown() override { SetLogObserver(nullptr); }
  std::vector<std::string> Logs() {
    std::lock_guard lock(logMutex);
    return logs;
  }

  ScopedDriverState env;  // before the manager: its worker reads the variable
  FakeAdapterTool tool;
  std::mutex logMutex;
  std::vector<std::string> logs;
  CVirComMgr mgr{"/opt/murvik/driver/", [this](const std::string& l) { return tool.Run(l); }};
};

TEST_F(AdapterMgrTest, RefreshTakesTheRecordsAndDescribesThemByInstanceId) {
  tool.state.adapters = {Record(0, kGuid0), Record(1, kGuid1), Record(2, kGuid2, "other0901")};
  tool.Write();
  tool.findOverride =
      "ROOT\\NET\\0001   : Second Adapter\r\n"
      "root\\net\\0000   : wrong case\r\n"
      "ROOT\\NET\\0002   : not a tap0901 record\r\n"
      "ROOT\\NET\\0042   : not recorded\r\n"
      "4 matching device(s) found.\r\n";
  mgr.RefreshAdapters();
  EXPECT_EQ(tool.Lines().back(), "/opt/murvik/driver/tapinstall find tap0901");
  std::vector<ADAPTERINFO> list;
  ASSERT_TRUE(mgr.GetAdapters(list));
  EXPECT_EQ(list, (std::vector<ADAPTERINFO>{{"", kGuid0, "ROOT\\NET\\0000", "murvik9000"},
                                           {"Second Adapter", kGuid1, "ROOT\\NET\\0001", "murvik9001"}}))
      << "instance ids match case-sensitively; other component ids are no adapters of ours";

  EXPECT_TRUE(mgr.AdapterExists("Second Adapter"));
  EXPECT_EQ(mgr.AdapterGuid("Second Adapter"), kGuid1);
  EXPECT_EQ(mgr.AdapterConnectionName("Second Adapter"), "murvik9001");
  EXPECT_FALSE(mgr.AdapterExists("second adapter"));
  EXPECT_EQ(mgr.AdapterGuid("Nothing"), "");
  EXPECT_FALSE(mgr.AdapterExists("")) << "an empty name is no name, not the undescribed adapter";

  // A tool that cannot run leaves the records without descriptions.
  tool.findOverride = "";
  mgr.RefreshAdapters();
  ASSERT_EQ(mgr.Adapters().size(), 2u);
  EXPECT_FALSE(mgr.AdapterExists("Second Adapter"));
}

TEST_F(AdapterMgrTest, DamagedStateGivesNoAdapters) {
  ASSERT_TRUE(platform::WriteFileAtomic(driver::AdapterStateFilePath(), "{\"adapters\": [ {\"InstanceId\": 5} ]}", 0600,
                                        nullptr));
  mgr.RefreshAdapters();
  EXPECT_TRUE(mgr.Adapters().empty());
}

TEST_F(AdapterMgrTest, AdapterCommandsNameTheInstanceId) {
  tool.state.adapters = {Record(0, kGuid0), Record(1, kGuid1)};
  tool.Write();
  mgr.RefreshAdapters();
  const std::string second = driver::AdapterDescription(2);
  mgr.DisableAdapter(second);
  mgr.EnableAdapter(second);
  mgr.DisableAdapter("not listed");  // nothing runs
  auto lines = tool.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "/opt/murvik/driver/tapinstall  disable @ROOT\\NET\\0001");
  EXPECT_EQ(lines[2], "/opt/murvik/driver/tapinstall  enable @ROOT\\NET\\0001");
  EXPECT_FALSE(mgr.ConnectAdapter("not listed"));
  EXPECT_FALSE(mgr.DisconnectAdapter(second)) << "its interface murvik9001 does not exist";
}

TEST_F(AdapterMgrTest, NewAdapterIsTakenOncePerCreation) {
  tool.state.adapters = {Record(0, kGuid0)};
  tool.Write();
  mgr.RefreshAdapters();
  {
    std::lock_guard lock(tool.m);
    tool.installReleased = false;
  }
  mgr.RequestNewAdapter();
  EXPECT_TRUE(mgr.Busy());
  for (;;) {
    {
      std::lock_guard lock(tool.m);
      if (tool.installs == 1) break;
    }
    std::this_thread::yield();
  }
  std::vector<ADAPTERINFO> during;
  EXPECT_FALSE(mgr.GetAdapters(during)) << "no list while a job runs";
  mgr.RequestNewAdapter();  // ignored while busy
  tool.Release();
  ASSERT_TRUE(WaitIdle(mgr));

  ADAPTERINFO taken;
  ASSERT_TRUE(mgr.TakeNewAdapter(taken));
  EXPECT_EQ(taken, (ADAPTERINFO{driver::AdapterDescription(2), kGuid1, "ROOT\\NET\\0001", "murvik9001"}));
  EXPECT_FALSE(mgr.TakeNewAdapter(taken));
  auto logs = Logs();
  EXPECT_NE(std::find(logs.begin(), logs.end(), "3 " + driver::AdapterDescription(1) + "\r\n"), logs.end());
  EXPECT_NE(std::find(logs.begin(), logs.end(), "3 " + driver::AdapterDescription(2) + "\r\n"), logs.end());

  mgr.RequestNewAdapter();
  ASSERT_TRUE(WaitIdle(mgr));
  ASSERT_TRUE(mgr.TakeNewAdapter(taken));
  EXPECT_EQ(taken.Description, driver::AdapterDescription(3));
  EXPECT_FALSE(mgr.TakeNewAdapter(taken));
  std::lock_guard lock(tool.m);
  EXPECT_EQ(tool.installs, 2) << "the request made while busy ran nothing";
}

TEST_F(AdapterMgrTest, AnAdapterThatNeverShowsLeavesNothingToTake) {
  tool.state.adapters = {Record(0, kGuid0)};
  tool.Write();
  mgr.RefreshAdapters();
  {
    std::lock_guard lock(tool.m);
    tool.installAdds = false;
  }
  mgr.RequestNewAdapter();
  ASSERT_TRUE(WaitIdle(mgr));
  ADAPTERINFO taken;
  EXPECT_FALSE(mgr.TakeNewAdapter(taken));
  std::lock_guard lock(tool.m);
  EXPECT_EQ(tool.finds, 1 + 3) << "three looks after the install";
}

TEST_F(AdapterMgrTest, AnUndescribedRecordIsNotTakenForTheNewAdapter) {
  // The first look after the install finds the new record but no description for it: the job
  // looks again instead of settling on an adapter nobody could choose by name.
  tool.state.adapters = {Record(0, kGuid0)};
  tool.Write();
  mgr.RefreshAdapters();
  {
    std::lock_guard lock(tool.m);
    tool.findOverride = "ROOT\\NET\\0000 : " + driver::AdapterDescription(1) + "\r\n";
    tool.overrideFinds = 1;
  }
  mgr.RequestNewAdapter();
  ASSERT_TRUE(WaitIdle(mgr));
  ADAPTERINFO taken;
  ASSERT_TRUE(mgr.TakeNewAdapter(taken));
  EXPECT_EQ(taken.PnpInstanceID, "ROOT\\NET\\0001");
  EXPECT_EQ(taken.Description, driver::AdapterDescription(2));
}

}  // namespace
}  // namespace murvik
