#include "platform/key_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "config/group_login_store.h"
#include "platform/paths.h"
#include "support/temp_dir.h"

using namespace murvik;
using platform::KeyStore;

TEST(KeyStore, TypedValues) {
  test::TempDir dir;
  KeyStore store(dir.File("sub/ks.json"));
  EXPECT_FALSE(store.Read("K", "missing"));
  store.WriteString("K", "text", "42");
  store.WriteString("K", "word", "4x");
  store.WriteInt("K", "num", 7);
  store.WriteInt("K", "text", 5);  // over a text value: stays text

  KeyStore reopened(store.FilePath());
  EXPECT_EQ(reopened.Read("K", "num"), KeyStore::Value(std::uint32_t{7}));
  EXPECT_EQ(reopened.Read("K", "text"), KeyStore::Value(std::string("5")));
  EXPECT_EQ(reopened.ReadString("K", "num"), "7");
  EXPECT_EQ(reopened.ReadInt("K", "text"), 5);
  EXPECT_EQ(reopened.ReadInt("K", "word"), std::nullopt);
  EXPECT_EQ(reopened.ReadInt("K", "missing"), std::nullopt);

  struct stat st{};
  ASSERT_EQ(stat(store.FilePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(KeyStore, SubKeysAndDeleteKey) {
  test::TempDir dir;
  KeyStore store(dir.File("ks.json"));
  store.WriteString("A\\1", "v", "x");
  store.WriteString("A\\2\\deep", "v", "x");
  store.WriteString("AB", "v", "x");
  EXPECT_EQ(store.SubKeys("A"), (std::vector<std::string>{"1", "2"}));
  store.DeleteKey("A\\2");
  EXPECT_EQ(store.SubKeys("A"), (std::vector<std::string>{"1"}));
  EXPECT_EQ(store.ReadString("AB", "v"), "x");
}

TEST(KeyStore, DamagedFileIsReportedAndKept) {
  for (const char* damaged : {"{not json", "{\"K\":5}"}) {
    test::TempDir dir;
    const std::string path = dir.File("ks.json");
    std::ofstream(path) << damaged;
    KeyStore store(path);
    EXPECT_FALSE(store.Read("K", "v"));
    EXPECT_THROW(store.WriteString("K", "v", "x"), platform::KeyStoreError) << damaged;
    EXPECT_THROW(store.WriteInt("K", "n", 1), platform::KeyStoreError) << damaged;
    std::string data;
    ASSERT_TRUE(platform::ReadFile(path, &data));
    EXPECT_EQ(data, damaged);
  }
}

TEST(GroupLoginStore, ReadsFlagsFromTextOrIntegers) {
  struct Case {
    std::optional<KeyStore::Value> save;
    bool expected;
  };
  const Case cases[] = {
      {std::nullopt, true},
      {KeyStore::Value(std::string("0")), false},
      {KeyStore::Value(std::string("1")), true},
      {KeyStore::Value(std::uint32_t{0}), false},
      {KeyStore::Value(std::uint32_t{1}), true},
      {KeyStore::Value(std::string("yes")), true},  // not a number: the default
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    KeyStore store(dir.File("ks.json"));
    if (c.save) {
      if (auto* s = std::get_if<std::string>(&*c.save))
        store.WriteString(kGroupLoginKey, "save", *s);
      else
        store.WriteInt(kGroupLoginKey, "save", std::get<std::uint32_t>(*c.save));
    }
    EXPECT_EQ(ReadGroupLogin(store).save, c.expected);
  }
}

TEST(GroupLoginStore, WritesTextValues) {
  test::TempDir dir;
  KeyStore store(dir.File("ks.json"));
  GroupLogin empty = ReadGroupLogin(store);
  EXPECT_TRUE(empty.save);
  EXPECT_EQ(empty.name, "");
  WriteGroupLogin(store, {false, "组一", "pw 1"});
  EXPECT_EQ(store.Read(kGroupLoginKey, "save"), KeyStore::Value(std::string("0")));
  GroupLogin back = ReadGroupLogin(store);
  EXPECT_FALSE(back.save);
  EXPECT_EQ(back.name, "组一");
  EXPECT_EQ(back.pwd, "pw 1");
}
