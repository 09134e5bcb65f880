// The pair tool and its holders against real pseudo-terminals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <future>
#include <string>
#include <vector>

#include "devices/vir_com_mgr.h"
#include "platform/paths.h"
#include "platform/serial_pair.h"
#include "support/serial_pair_fixture.h"

namespace murvik {
namespace {

using SerialPairTest = test::SerialPairFixture;
using test::kDriverFolder;

TEST_F(SerialPairTest, InstallListRemoveTakeComNumbersFromTheBitmap) {
  for (int i = 0; i < 3; ++i) {
    std::string out = Setupc("INSTALL PortName=COM# -");
    EXPECT_EQ(ParseCreatedPairIndex(out), i) << out;
    EXPECT_EQ(ParsePortList(out), (std::vector<SSerInfo>{{1, i, "COM#", "COM" + std::to_string(i + 1)}, {0, i, "-", ""}}));
    EXPECT_TRUE(platform::FileExists(Visible(i + 1)));
  }
  Setupc("remove 1");
  EXPECT_FALSE(platform::FileExists(Visible(2)));
  EXPECT_FALSE(platform::PairHolderRunning(state_.Path(), 1));
  // The freed number and index are the lowest free again.
  EXPECT_EQ(ParseCreatedPairIndex(Setupc("INSTALL PortName=COM# -")), 1);
  EXPECT_EQ(ParseCreatedPairIndex(Setupc("INSTALL PortName=COM9 -")), 3);

  std::string json;
  ASSERT_TRUE(platform::ReadFile(state_.File("pairs.json"), &json));
  EXPECT_NE(json.find("\"ComDB\": \"0e02"), std::string::npos) << json;  // COM1-3 and COM9

  CVirComMgr mgr(kDriverFolder);
  mgr.RefreshPorts();
  std::vector<SSerInfo> ports;
  ASSERT_TRUE(mgr.GetChoosablePorts(ports));
  std::vector<std::string> names;
  for (const auto& p : ports) names.push_back(p.RealPortName);
  EXPECT_EQ(names, (std::vector<std::string>{"COM1", "COM2", "COM3", "COM9"}));
  EXPECT_EQ(mgr.HiddenPortName("COM2"), "CNCB1");
  EXPECT_EQ(mgr.HiddenPortName("COM9"), "CNCB3");

  std::string changed = Setupc("change CNCA1 cts=lopen,dsr=lopen");
  EXPECT_NE(changed.find("CNCA1 PortName=COM#,RealPortName=COM2,cts=lopen,dsr=lopen"), std::string::npos) << changed;
  EXPECT_EQ(ParsePortList(Setupc("LIST")).size(), 8u);
}

TEST_F(SerialPairTest, ListBringsBackAStoppedHolder) {
  Setupc("INSTALL PortName=COM# -");
  ASSERT_TRUE(platform::StopPairHolder(state_.Path(), 0));
  ASSERT_FALSE(platform::PairHolderRunning(state_.Path(), 0));
  Setupc("LIST");
  EXPECT_TRUE(platform::PairHolderRunning(state_.Path(), 0));
  int fd = open(Visible(1).c_str(), O_RDWR | O_NOCTTY);
  EXPECT_GE(fd, 0);
  if (fd >= 0) close(fd);
}

TEST_F(SerialPairTest, VisiblePathOpensBeforeAnySessionAndWritesNeverBlock) {
  Setupc("INSTALL PortName=COM# -");
  int fd = open(Visible(1).c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(platform::SetSerialLine(fd, {9600, 8, 0, 0}));
  EXPECT_TRUE(WritesMegabyteWithoutBlocking(fd, 0));
  close(fd);
}

// Every rate of the baud table with each usual format, in one call, the first and every later time.
TEST_F(SerialPairTest, EverySettingSucceedsOnEveryOpen) {
  Setupc("INSTALL PortName=COM# -");
  std::string path = Visible(1);
  auto run = [&](const char* phase) {
    for (int round = 0; round < 2; ++round) {
      for (auto baud : wire::kBaudTable) {
        for (const auto& f : test::kFormats) {
          ASSERT_TRUE(WaitIdle(path)) << phase;
          int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
          ASSERT_GE(fd, 0);
          EXPECT_TRUE(platform::SetSerialLine(fd, {baud, f.byteSize, f.parity, 0}))
              << phase << " round " << round << " " << baud << " " << f.byteSize << "/" << f.parity;
          close(fd);
        }
      }
    }
  };
  run("idle");
}

}  // namespace
}  // namespace murvik
