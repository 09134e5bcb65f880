// TAP interfaces for real, in a network namespace of the test's own (needs CAP_NET_ADMIN and
// CAP_SYS_ADMIN, as CI runs).
#include "platform/tap.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/net.h"
#include "support/scoped_netns.h"

namespace murvik {
namespace {

using platform::MacAddress;

#define ENTER_NETNS(ns)                                                                   \
  test::ScopedNetns ns;                                                                   \
  if (!ns.Entered()) {                                                                    \
    if (std::getenv("CI")) FAIL() << "cannot make a network namespace: run the tests as root"; \
    GTEST_SKIP() << "needs root for a network namespace";                                 \
  }

// An ARP request from 10.9.0.2 (MAC 02:00:00:00:00:02) for 10.9.0.1.
std::vector<std::uint8_t> ArpRequest() {
  std::vector<std::uint8_t> f = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0, 0, 0, 0, 0x02, 0x08, 0x06,
                                 0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01,
                                 0x02, 0, 0, 0, 0, 0x02, 10, 9, 0, 2,
                                 0, 0, 0, 0, 0, 0, 10, 9, 0, 1};
  f.resize(60, 0);
  return f;
}

TEST(TapInterface, SettingsAndFramesGoThroughTheKernel) {
  ENTER_NETNS(ns);
  EXPECT_TRUE(platform::HasNetAdmin());
  std::string error;
  ASSERT_TRUE(platform::CreatePersistentTap("mvtap0", &error)) << error;
  EXPECT_TRUE(platform::CreatePersistentTap("mvtap0", &error)) << "an existing one is kept";

  const MacAddress mac = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  ASSERT_TRUE(platform::SetInterfaceIpv4("mvtap0", platform::Ipv4FromText("10.9.0.1"),
                                         platform::Ipv4FromText("255.255.255.0"), &error))
      << error;
  ASSERT_TRUE(platform::SetInterfaceMtu("mvtap0", 1400, &error)) << error;
  ASSERT_TRUE(platform::SetInterfaceMac("mvtap0", mac, &error)) << error;
  MacAddress read{};
  ASSERT_TRUE(platform::GetInterfaceMac("mvtap0", &read));
  EXPECT_EQ(read, mac);
  ASSERT_TRUE(platform::SetInterfaceUp("mvtap0", true, &error)) << error;
  EXPECT_TRUE(platform::InterfaceIsUp("mvtap0"));
  EXPECT_FALSE(platform::InterfaceHasCarrier("mvtap0")) << "no carrier while nothing is attached";

  platform::TapAttachment tap;
  ASSERT_TRUE(tap.Attach("mvtap0", false, &error)) << error;
  EXPECT_TRUE(platform::InterfaceHasCarrier("mvtap0"));
  ASSERT_TRUE(platform::SetAttachedCarrier("mvtap0", false, &error)) << error;
  EXPECT_FALSE(platform::InterfaceHasCarrier("mvtap0"));
  ASSERT_TRUE(tap.SetCarrier(true, &error)) << error;
  EXPECT_TRUE(platform::InterfaceHasCarrier("mvtap0"));

  // The kernel answers an ARP request written into the interface, from the MAC set above.
  auto request = ArpRequest();
  ASSERT_EQ(tap.Write(request.data(), request.size()), static_cast<long>(request.size()));
  std::uint8_t frame[1600];
  bool answered = false;
  for (int i = 0; i < 20 && !answered; ++i) {
    long n = tap.Read(frame, sizeof frame, -1);
    ASSERT_GT(n, 0);
    answered = n >= 42 && frame[12] == 0x08 && frame[13] == 0x06 && frame[21] == 2;
  }
  ASSERT_TRUE(answered);
  EXPECT_EQ(0, std::memcmp(frame + 6, mac.data(), 6));
  EXPECT_EQ(0, std::memcmp(frame + 28, "\x0a\x09\x00\x01", 4)) << "sender is the interface's address";

  EXPECT_FALSE(platform::RemovePersistentTap("mvtap0", &error)) << "attached elsewhere";
  EXPECT_NE(error.find("in use"), std::string::npos) << error;
  tap.Detach();
  EXPECT_TRUE(platform::InterfaceExists("mvtap0")) << "persistent: outlives its attachment";
  ASSERT_TRUE(platform::RemovePersistentTap("mvtap0", &error)) << error;
  EXPECT_FALSE(platform::InterfaceExists("mvtap0"));
}

TEST(TapInterface, BadNamesAndMissingInterfacesFailWithAText) {
  ENTER_NETNS(ns);
  std::string error;
  platform::TapAttachment tap;
  EXPECT_FALSE(tap.Attach("nosuch0", false, &error));
  EXPECT_NE(error.find("nosuch0"), std::string::npos);
  for (const char* bad : {"", "a/b", "name-longer-than-ifnamsiz"}) {
    error.clear();
    EXPECT_FALSE(platform::CreatePersistentTap(bad, &error)) << bad;
    EXPECT_NE(error.find("bad interface name"), std::string::npos) << bad;
  }
  EXPECT_FALSE(platform::SetInterfaceMtu("nosuch0", 1400, &error));
  EXPECT_NE(error.find("nosuch0"), std::string::npos);
  EXPECT_TRUE(platform::SetAttachedCarrier("nosuch0", true, &error)) << "nothing attached here: nothing to switch";
}

}  // namespace
}  // namespace murvik
