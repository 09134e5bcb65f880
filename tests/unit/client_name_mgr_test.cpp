#include "config/client_name_mgr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>

#include "support/temp_dir.h"

using namespace murvik;
using platform::KeyStore;

namespace {

const std::string kCount = "Software\\ZOZIZOR\\IOSERVER";
std::string Entry(int n) { return "Software\\ZOZIZOR\\" + std::to_string(n); }

TClientNameMgr::RandomSource Fixed(std::vector<unsigned char> bytes) {
  return [bytes](void* buf, std::size_t count) {
    std::memcpy(buf, bytes.data(), std::min(count, bytes.size()));
    return count;
  };
}

}  // namespace

TEST(ClientNameMgr, FirstRegistrationAppendsAnEntryAndLaterOnesReuseIt) {
  test::TempDir dir;
  KeyStore store(dir.File("ks.json"));
  store.WriteString(Entry(1), "SN", "11111111111:TC000000000001");
  store.WriteString(Entry(2), "SN", "22222222222:TC000000000002");
  store.WriteInt(kCount, "COUNT", 2);

  std::string name;
  {
    TClientNameMgr mgr(store);
    mgr.LoadNames();
    EXPECT_EQ(mgr.GetClientName("22222222222"), "TC000000000002");
    name = mgr.GetClientName("33333333333");
    EXPECT_TRUE(std::regex_match(name, std::regex("TC[0-9A-F]{12}"))) << name;
    EXPECT_EQ(store.ReadString(Entry(3), "SN"), "33333333333:" + name);
    EXPECT_EQ(store.ReadInt(kCount, "COUNT"), 3);
    EXPECT_EQ(mgr.GetClientName("33333333333"), name);
  }
  TClientNameMgr again(store, Fixed({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  again.LoadNames();
  EXPECT_EQ(again.GetClientName("33333333333"), name);
  EXPECT_EQ(store.ReadInt(kCount, "COUNT"), 3);
}

TEST(ClientNameMgr, NameDigitsAreLowNibbleThenHighNibble) {
  test::TempDir dir;
  KeyStore store(dir.File("ks.json"));
  TClientNameMgr mgr(store, Fixed({0x3A, 0x01, 0xFF, 0x00, 0x10, 0xC5}));
  mgr.LoadNames();
  EXPECT_EQ(mgr.GetClientName("12345678901"), "TCA310FF00015C");
  EXPECT_EQ(store.ReadString(Entry(1), "SN"), "12345678901:TCA310FF00015C");
  EXPECT_EQ(store.ReadInt(kCount, "COUNT"), 1);
}

// Unreadable entries are skipped, but a new entry never lands on a number that holds one.
TEST(ClientNameMgr, NewEntryGoesAfterTheHighestStoredEntry) {
  struct Case {
    const char* what;
    std::uint32_t count;
    std::vector<std::pair<int, std::string>> entries;
    std::size_t loaded;
    int newNumber;
  };
  const Case cases[] = {
      {"all readable", 2, {{1, "1:TCA"}, {2, "2:TCB"}}, 2, 3},
      {"one item", 3, {{1, "1:TCA"}, {2, "garbage"}, {3, "3:TCC"}}, 2, 4},
      {"three items", 2, {{1, "1:x:TCA"}, {2, "2:TCB"}}, 1, 3},
      {"gap", 3, {{1, "1:TCA"}, {3, "3:TCC"}}, 2, 4},
      {"beyond COUNT", 1, {{1, "1:TCA"}, {2, "2:TCB"}}, 1, 3},
      {"COUNT too large", 9, {{1, "1:TCA"}}, 1, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    KeyStore store(dir.File("ks.json"));
    for (const auto& [n, value] : c.entries) store.WriteString(Entry(n), "SN", value);
    store.WriteInt(kCount, "COUNT", c.count);

    TClientNameMgr mgr(store);
    mgr.LoadNames();
    EXPECT_EQ(mgr.Items().size(), c.loaded);
    const std::string name = mgr.GetClientName("new");
    EXPECT_EQ(store.ReadString(Entry(c.newNumber), "SN"), "new:" + name);
    EXPECT_EQ(store.ReadInt(kCount, "COUNT"), c.newNumber);
    for (const auto& [n, value] : c.entries) EXPECT_EQ(store.ReadString(Entry(n), "SN"), value);

    TClientNameMgr reloaded(store);
    reloaded.LoadNames();
    EXPECT_EQ(reloaded.GetClientName("new"), name);
  }
}

TEST(ClientNameMgr, SerialNumberWithTheSeparatorSurvivesAReload) {
  test::TempDir dir;
  KeyStore store(dir.File("ks.json"));
  TClientNameMgr mgr(store);
  const std::string name = mgr.GetClientName("odd:sn");
  TClientNameMgr reloaded(store);
  reloaded.LoadNames();
  EXPECT_EQ(reloaded.GetClientName("odd:sn"), name);
}

TEST(ClientNameMgr, StoreFailureKeepsTheNameForThisRun) {
  test::TempDir dir;
  std::ofstream(dir.File("file")) << "x";
  KeyStore store(dir.File("file") + "/ks.json");  // the parent is a regular file
  TClientNameMgr mgr(store);
  mgr.LoadNames();
  std::string first;
  try {
    first = mgr.GetClientName("12345678901");
    FAIL() << "expected a store error";
  } catch (const platform::KeyStoreError&) {
  }
  ASSERT_EQ(mgr.Items().size(), 1u);
  EXPECT_EQ(mgr.GetClientName("12345678901"), mgr.Items()[0].clientName);
}
