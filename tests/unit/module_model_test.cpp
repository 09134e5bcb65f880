#include <gtest/gtest.h>

#include "config/module_tables.h"
#include "platform/net.h"
#include "tunnel/client_mgr.h"
#include "tunnel/com_chanel.h"
#include "tunnel/net_chanel.h"

using namespace murvik;
using platform::Ipv4FromText;

namespace {

void AddDevices(TClient& s, int count) {
  for (int i = 0; i < count; ++i)
    s.NetChanel()->devices.push_back(std::make_unique<TNetDevice>(TNetDevice{"dev" + std::to_string(i), "d", 0}));
}

}  // namespace

TEST(ModuleModel, NewSessionHasTheModelsChannelsAtTheirDefaults) {
  for (std::int32_t row : {0, 1}) {
    auto s = TClientMgr::CreateIOServer(row);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->model, row);
    EXPECT_EQ(s->LOGPORT, 0);
    EXPECT_EQ(s->selectedRelayId, 0);
    ASSERT_EQ(s->channels.size(), 4u);
    for (int i = 0; i < 3; ++i) {
      auto* c = dynamic_cast<TComChanel*>(s->channels[static_cast<std::size_t>(i)].get());
      ASSERT_NE(c, nullptr);
      EXPECT_EQ(c->DPORT, "COM" + std::to_string(i + 1));
      EXPECT_EQ(s->ComChanelByNumber(i), c);
      EXPECT_EQ(c->USE, 0);
      EXPECT_EQ(c->PlcType, 1);
      EXPECT_EQ(c->TransMode, 1);
      EXPECT_EQ(c->BaudRate, 9600);
      EXPECT_EQ(c->ByteSize, 8);
      EXPECT_EQ(c->StopBits, 0);
      EXPECT_EQ(c->Parity, 2);
    }
    TNetChanel* net = s->NetChanel();
    ASSERT_NE(net, nullptr);
    EXPECT_EQ(net, s->channels[3].get());
    EXPECT_TRUE(s->HasNetChanel());
    EXPECT_EQ(net->USE, 1);
    EXPECT_EQ(net->IP, Ipv4FromText("192.168.1.1"));
    EXPECT_EQ(net->NETMASK, Ipv4FromText("255.255.255.0"));
    EXPECT_EQ(net->IPMIN, Ipv4FromText("192.168.1.10"));
    EXPECT_EQ(net->IPMAX, Ipv4FromText("192.168.1.10"));
    EXPECT_EQ(s->NetDeviceCount(), 0);
  }
  EXPECT_FALSE(TClientMgr::CreateIOServer(2));
  EXPECT_FALSE(TClientMgr::CreateIOServer(-1));
}

TEST(ModuleModel, ModelsAndTables) {
  EXPECT_EQ(TClientMgr::FindModel(1)->model, 1);
  EXPECT_FALSE(TClientMgr::FindModel(kModelPavano));
  std::vector<std::string> names{"keep"};
  TClientMgr::FillModelNames(names);
  EXPECT_EQ(names, (std::vector<std::string>{"keep", "K2系列", "K5系列"}));
  EXPECT_EQ(PlcTypeName(2), "S7-200系列");
  EXPECT_EQ(PlcTypeName(9), "");
  EXPECT_EQ(TransModeName(1), "下载模式");
  EXPECT_EQ(TransModeName(2), "");
}

TEST(ModuleModel, SessionWithoutNetworkChannelAnswersNone) {
  TClient bare(0);
  bare.channels.push_back(std::make_unique<TComChanel>("COM1"));
  EXPECT_FALSE(bare.HasNetChanel());
  EXPECT_EQ(bare.NetChanel(), nullptr);
  EXPECT_EQ(bare.NetDeviceCount(), 0);
  EXPECT_EQ(bare.GetNetDevice(0), nullptr);
  EXPECT_EQ(bare.FindNetDevice("x"), nullptr);
  EXPECT_EQ(bare.ComChanelByNumber(1), nullptr);
}

TEST(ModuleModel, CopyConfigToCopiesTheRecordButNotGroupOrAdapter) {
  auto src = TClientMgr::CreateIOServer(0);
  src->LOGNAME = "login.example";
  src->LOGPORT = 7000;
  src->SN = "12345678901";
  src->PWD = "pw";
  src->NAME = "pump";
  src->BRIEF = "brief";
  src->GROUP = "src group";
  src->relays = {{3, "r", "n", "h:1"}};
  src->selectedRelayId = 3;
  src->ComChanelByNumber(1)->VPORT = "COM9";
  src->NetChanel()->NETNAME = "tap-src";
  src->NetChanel()->selectedDevice = 2;
  AddDevices(*src, 2);

  auto other = TClientMgr::CreateIOServer(1);
  EXPECT_FALSE(src->CopyConfigTo(other.get()));
  EXPECT_EQ(other->SN, "");
  EXPECT_FALSE(src->CopyConfigTo(nullptr));

  auto dst = TClientMgr::CreateIOServer(0);
  dst->GROUP = "dst group";
  dst->NetChanel()->NETNAME = "tap-dst";
  AddDevices(*dst, 5);
  ASSERT_TRUE(src->CopyConfigTo(dst.get()));
  EXPECT_EQ(dst->LOGNAME, "login.example");
  EXPECT_EQ(dst->LOGPORT, 7000);
  EXPECT_EQ(dst->SN, "12345678901");
  EXPECT_EQ(dst->PWD, "pw");
  EXPECT_EQ(dst->NAME, "pump");
  EXPECT_EQ(dst->BRIEF, "brief");
  EXPECT_EQ(dst->GROUP, "dst group");
  EXPECT_EQ(dst->relays, src->relays);
  EXPECT_EQ(dst->selectedRelayId, 3);
  EXPECT_EQ(dst->ComChanelByNumber(1)->VPORT, "COM9");
  EXPECT_EQ(dst->NetChanel()->NETNAME, "tap-dst");
  EXPECT_EQ(dst->NetChanel()->selectedDevice, 2);
  ASSERT_EQ(dst->NetDeviceCount(), 2);
  EXPECT_NE(dst->GetNetDevice(1), src->GetNetDevice(1));  // own copies
  EXPECT_EQ(dst->GetNetDevice(1)->name, "dev1");

  ASSERT_TRUE(src->CopyConfigTo(src.get()));  // onto itself: nothing lost
  EXPECT_EQ(src->NetDeviceCount(), 2);
}

TEST(ModuleModel, RemoveNetDeviceClearsOnlyTheSelectedOne) {
  struct Case {
    std::int32_t selected;
    int removed;  // position
    std::int32_t selectedAfter;
  };
  const Case cases[] = {{2, 1, 0}, {3, 0, 3}, {1, 2, 1}, {0, 0, 0}, {3, 2, 0}};
  for (const Case& c : cases) {
    auto s = TClientMgr::CreateIOServer(0);
    AddDevices(*s, 3);
    s->NetChanel()->selectedDevice = c.selected;
    TNetDevice* d = s->GetNetDevice(c.removed);
    std::unique_ptr<TNetDevice> taken = s->RemoveNetDevice(d);
    EXPECT_EQ(taken.get(), d);
    EXPECT_EQ(s->NetDeviceCount(), 2);
    EXPECT_EQ(s->FindNetDevice("dev" + std::to_string(c.removed)), nullptr);
    EXPECT_EQ(s->NetChanel()->selectedDevice, c.selectedAfter) << "selected " << c.selected << " removed " << c.removed;
  }
  auto s = TClientMgr::CreateIOServer(0);
  AddDevices(*s, 1);
  TNetDevice stranger;
  EXPECT_EQ(s->RemoveNetDevice(&stranger), nullptr);
  EXPECT_EQ(s->NetDeviceCount(), 1);
  EXPECT_EQ(s->GetNetDevice(1), nullptr);
  EXPECT_EQ(s->GetNetDevice(-1), nullptr);
}

TEST(ModuleModel, SelectedRelayIsTheFirstEntryWithTheId) {
  auto s = TClientMgr::CreateIOServer(1);
  s->relays = {{5, "a", "", ""}, {7, "b", "", ""}, {7, "c", "", ""}};
  EXPECT_EQ(s->SelectedRelay(), nullptr);
  s->selectedRelayId = 7;
  ASSERT_NE(s->SelectedRelay(), nullptr);
  EXPECT_EQ(s->SelectedRelay()->title, "b");
  s->selectedRelayId = 6;
  EXPECT_EQ(s->SelectedRelay(), nullptr);
}
