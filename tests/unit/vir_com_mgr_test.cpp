// The port half of the virtual device manager, against a scripted pair tool.
#include "devices/vir_com_mgr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

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

}  // namespace
}  // namespace murvik
