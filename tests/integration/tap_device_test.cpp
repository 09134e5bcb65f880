// The adapter object of a network channel on a real TAP interface, in a network namespace of the
// test's own (needs root, as CI runs).
#include "devices/tap_device.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "devices/zn_common_fun.h"
#include "platform/net.h"
#include "platform/tap.h"
#include "support/scoped_netns.h"

namespace murvik {
namespace {

// Takes CAP_NET_ADMIN out of the calling thread's effective set for the life of the object
// (capabilities are per thread; it stays permitted, so it comes back).
class WithoutNetAdmin {
 public:
  WithoutNetAdmin() { Switch(false); }
  ~WithoutNetAdmin() { Switch(true); }

 private:
  static void Switch(bool on) {
    __user_cap_header_struct h{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct d[2]{};
    if (::syscall(SYS_capget, &h, d) != 0) return;
    const unsigned bit = 1u << (CAP_NET_ADMIN % 32);
    if (on)
      d[CAP_NET_ADMIN / 32].effective |= bit;
    else
      d[CAP_NET_ADMIN / 32].effective &= ~bit;
    ::syscall(SYS_capset, &h, d);
  }
};

class TapDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!netns_.Entered()) {
      if (std::getenv("CI")) FAIL() << "cannot make a network namespace: run the tests as root";
      GTEST_SKIP() << "needs root for a network namespace";
    }
    std::string error;
    ASSERT_TRUE(platform::CreatePersistentTap("mvtd0", &error)) << error;
    SetMessageHandler([this](MessageKind, const std::string&, const std::string& t) {
      messages.push_back(t);
      return false;
    });
  }
  void TearDown() override {
    SetMessageHandler(nullptr);
    platform::RemovePersistentTap("mvtd0", nullptr);
  }
  TTapDevice Make(const std::string& adapter) {
    return TTapDevice(
        adapter,
        [this](const std::uint8_t* f, std::size_t n) {
          std::lock_guard lock(mutex);
          frames.emplace_back(f, f + n);
          arrived.notify_all();
        },
        [](const std::string& d) { return d == "Adapter A" ? std::string("mvtd0") : std::string(); });
  }

  test::ScopedNetns netns_;
  std::vector<std::string> messages;
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::vector<std::uint8_t>> frames;
};

TEST_F(TapDeviceTest, SettingsReachTheInterfaceAndFramesFlowBothWays) {
  TTapDevice tap = Make("Adapter A");
  EXPECT_TRUE(tap.Close()) << "closing what never opened";
  ASSERT_TRUE(tap.SetIpAddress(platform::Ipv4FromText("10.9.0.1"), platform::Ipv4FromText("255.255.255.0")));
  ASSERT_TRUE(tap.SetMtu(1300));
  const std::string mac = "001A2B3C4D5E";
  ASSERT_TRUE(tap.SetMacAddress(&mac));
  EXPECT_TRUE(tap.SetMacAddress(nullptr));
  const std::string bad = "00:1A:2B";
  EXPECT_FALSE(tap.SetMacAddress(&bad)) << "not twelve hex digits";
  ASSERT_EQ(messages.size(), 1u);
  messages.clear();
  platform::MacAddress read{};
  ASSERT_TRUE(platform::GetInterfaceMac("mvtd0", &read));
  EXPECT_EQ(read, (platform::MacAddress{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}));
  ASSERT_TRUE(platform::SetInterfaceUp("mvtd0", true, nullptr));

  ASSERT_TRUE(tap.Open());
  EXPECT_TRUE(platform::InterfaceHasCarrier("mvtd0"));
  // An ARP request written into the adapter comes back answered through the reader thread.
  std::vector<std::uint8_t> request = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0, 0, 0, 0, 0x02, 0x08, 0x06,
                                       0x00, 0x01, 0x08, 0x00, 6,    4,    0x00, 0x01, 0x02, 0, 0, 0, 0, 0x02,
                                       10,   9,    0,    2,    0,    0,    0,    0,    0,    0, 10, 9, 0, 1};
  request.resize(60, 0);
  ASSERT_TRUE(tap.Write(request.data(), request.size()));
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(arrived.wait_for(lock, std::chrono::seconds(5), [&] {
      for (const auto& f : frames)
        if (f.size() >= 42 && f[12] == 0x08 && f[13] == 0x06 && f[21] == 2) return true;
      return false;
    }));
  }
  EXPECT_TRUE(tap.Close());
  EXPECT_FALSE(platform::InterfaceHasCarrier("mvtd0"));
  EXPECT_FALSE(tap.Write(request.data(), request.size())) << "closed";
  ASSERT_TRUE(tap.Open()) << "reopened after new settings";
  EXPECT_TRUE(messages.empty());
}

TEST_F(TapDeviceTest, UnlistedAdapterAndMissingCapabilityFailLoudly) {
  TTapDevice unlisted = Make("Adapter B");
  EXPECT_FALSE(unlisted.SetMtu(1300));
  EXPECT_FALSE(unlisted.Open());
  EXPECT_TRUE(messages.empty()) << "nothing to tell beyond the channel's own message";

  TTapDevice tap = Make("Adapter A");
  {
    WithoutNetAdmin drop;
    EXPECT_FALSE(tap.SetMtu(1300));
    EXPECT_FALSE(tap.SetIpAddress(platform::Ipv4FromText("10.9.0.1"), platform::Ipv4FromText("255.255.255.0")));
  }
  ASSERT_EQ(messages.size(), 1u) << "shown once per adapter object";
  EXPECT_NE(messages[0].find("CAP_NET_ADMIN"), std::string::npos) << messages[0];
  EXPECT_NE(messages[0].find("Adapter A"), std::string::npos) << messages[0];
}

}  // namespace
}  // namespace murvik
