#include "config/global_conf.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/temp_dir.h"

using murvik::TGlobalConf;

TEST(GlobalConf, MtuLine) {
  struct Case {
    const char* text;
    std::int32_t mtu;
    bool ok;
  };
  const Case cases[] = {
      {"MTU=9000", 1400, true},
      {"MTU=64", 128, true},
      {"MTU= 600 ", 600, true},
      {"MTU =5", 1400, true},             // the name carries a blank: not the MTU line
      {"mtu=700", 700, true},
      {"MTU=", 1400, true},
      {"MTU=abc", 1400, false},
      {"MTU=12abc", 1400, false},
      {"MTU=-5", 128, true},
      {"MTU=99999999999999999999", 1400, true},
      {"A=1\r\nMTU=900\r\nMTU=500\r\n", 900, true},  // the first MTU line counts
      {"MTU =5\nMTU=300", 300, true},
      {"MTUX=5\nnoequals\n", 1400, true},
      {"", 1400, true},
  };
  for (const Case& c : cases) {
    TGlobalConf conf;
    std::string error;
    EXPECT_EQ(conf.LoadText(c.text, &error), c.ok) << c.text;
    EXPECT_EQ(conf.MTU, c.mtu) << c.text;
    EXPECT_EQ(error.empty(), c.ok) << c.text;
  }
}

TEST(GlobalConf, HostSettings) {
  TGlobalConf conf;
  EXPECT_TRUE(conf.LoadText("loginserver=  login.example  \nCLOUDHOST=\nCaFile=/etc/ca.pem\nLOGINSERVER=second\n"));
  EXPECT_EQ(conf.defaultLoginServer, "login.example");
  EXPECT_EQ(conf.cloudApiHost, TGlobalConf::kDefaultCloudApiHost);
  EXPECT_EQ(conf.caFile, "/etc/ca.pem");
}

TEST(GlobalConf, SettingsFile) {
  murvik::test::TempDir dir;
  TGlobalConf conf;
  EXPECT_TRUE(conf.Load(dir.File("MURVIK3.INI")));
  EXPECT_EQ(conf.MTU, 1400);

  std::ofstream(dir.File("bom.INI"), std::ios::binary) << "\xEF\xBB\xBFMTU=600\r\n";
  EXPECT_TRUE(conf.Load(dir.File("bom.INI")));
  EXPECT_EQ(conf.MTU, 600);

  std::ofstream(dir.File("utf16.INI"), std::ios::binary) << std::string("\xFF\xFEM\0T\0U\0=\0" "5\0" "0\0" "0\0", 16);
  EXPECT_TRUE(conf.Load(dir.File("utf16.INI")));
  EXPECT_EQ(conf.MTU, 500);
}
