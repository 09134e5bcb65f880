// The adapter tool's records: lowest free ids and names, and a state file that must not steer
// the tool onto anything it did not make.
#include "driver/tapinstall_state.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <regex>

#include "platform/paths.h"
#include "support/temp_dir.h"

namespace murvik::driver {
namespace {

AdapterRecord Rec(const std::string& id, const std::string& description, const std::string& name) {
  return {id, "{11111111-2222-4333-8444-555555555555}", description, kTapComponentId, name, false};
}

TEST(AdapterState, FreeIdsDescriptionsAndNamesAreTheLowestUnused) {
  AdapterState state;
  EXPECT_EQ(state.FreeInstanceId(), "ROOT\\NET\\0000");
  EXPECT_EQ(state.FreeDescription(), "MURVIK3 Virtual Ethernet Adapter");
  EXPECT_EQ(state.FreeConnectionName(nullptr), "murvik0");

  state.adapters = {Rec("ROOT\\NET\\0000", AdapterDescription(1), "murvik0"),
                    Rec("ROOT\\NET\\0002", AdapterDescription(3), "murvik2")};
  EXPECT_EQ(state.FreeInstanceId(), "ROOT\\NET\\0001");
  EXPECT_EQ(state.FreeDescription(), "MURVIK3 Virtual Ethernet Adapter #2");
  EXPECT_EQ(state.FreeConnectionName([](const std::string& n) { return n == "murvik1"; }), "murvik3")
      << "an interface somebody else has is skipped";
  EXPECT_NE(state.Find("root\\net\\0002"), nullptr) << "instance ids ignore case";
  EXPECT_EQ(state.Find("ROOT\\NET\\0001"), nullptr);
}

TEST(AdapterState, JsonRoundTripKeepsEveryField) {
  AdapterState state;
  state.adapters = {Rec("ROOT\\NET\\0001", AdapterDescription(2), "murvik1"),
                    Rec("ROOT\\NET\\0000", AdapterDescription(1), "murvik0")};
  state.adapters[0].disabled = true;
  auto back = AdapterStateFromJson(AdapterStateToJson(state));
  ASSERT_TRUE(back);
  ASSERT_EQ(back->adapters.size(), 2u);
  EXPECT_EQ(back->adapters[0], state.adapters[1]) << "sorted by instance id";
  EXPECT_EQ(back->adapters[1], state.adapters[0]);
}

TEST(AdapterState, MalformedRecordsRejectTheWholeFile) {
  const std::string good =
      R"({"InstanceId":"ROOT\\NET\\0000","InstanceGuid":"{11111111-2222-4333-8444-555555555555}",)"
      R"("Description":"MURVIK3 Virtual Ethernet Adapter","ComponentId":"tap0901","ConnectionName":"murvik0"})";
  auto with = [&](const std::string& field, const std::string& value) {
    std::string r = good;
    auto at = r.find("\"" + field + "\":\"");
    auto start = at + field.size() + 4;
    return r.replace(start, r.find('"', start) - start, value);
  };
  ASSERT_TRUE(AdapterStateFromJson("{\"adapters\":[" + good + "]}"));
  struct Case {
    const char* what;
    std::string text;
  };
  const Case cases[] = {
      {"not JSON", "{\"adapters\": ["},
      {"not an object", "[]"},
      {"no list", "{}"},
      {"list not an array", "{\"adapters\": 3}"},
      {"field missing", R"({"adapters":[{"InstanceId":"ROOT\\NET\\0000"}]})"},
      {"field of the wrong type", R"({"adapters":[{"InstanceId":5}]})"},
      {"foreign instance id", "{\"adapters\":[" + with("InstanceId", "PCI\\\\VEN_1") + "]}"},
      {"short GUID", "{\"adapters\":[" + with("InstanceGuid", "{1234}") + "]}"},
      {"GUID without braces", "{\"adapters\":[" + with("InstanceGuid", "11111111-2222-4333-8444-5555555555550") + "]}"},
      {"colon in the description", "{\"adapters\":[" + with("Description", "a : b") + "]}"},
      {"line break in the description", "{\"adapters\":[" + with("Description", "a\\nb") + "]}"},
      {"empty description", "{\"adapters\":[" + with("Description", "") + "]}"},
      {"interface not ours", "{\"adapters\":[" + with("ConnectionName", "eth0") + "]}"},
      {"interface without number", "{\"adapters\":[" + with("ConnectionName", "murvik") + "]}"},
      {"interface name path", "{\"adapters\":[" + with("ConnectionName", "murvik0/x") + "]}"},
      {"interface name too long", "{\"adapters\":[" + with("ConnectionName", "murvik123456789") + "]}"},
      {"instance id twice", "{\"adapters\":[" + good + "," + with("ConnectionName", "murvik1") + "]}"},
      {"interface twice", "{\"adapters\":[" + good + "," + with("InstanceId", "ROOT\\\\NET\\\\0001") + "]}"},
  };
  for (const auto& c : cases) EXPECT_FALSE(AdapterStateFromJson(c.text)) << c.what << ": " << c.text;
}

TEST(AdapterState, GuidsAreRandomBracedUpperHex) {
  const std::regex shape("\\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\}");
  std::string a = NewAdapterGuid(), b = NewAdapterGuid();
  EXPECT_TRUE(std::regex_match(a, shape)) << a;
  EXPECT_TRUE(std::regex_match(b, shape)) << b;
  EXPECT_NE(a, b);
}

TEST(AdapterState, AbsentFileIsEmptyDamagedFileIsAnError) {
  test::TempDir dir;
  setenv("MURVIK_DRIVER_STATE", dir.Path().c_str(), 1);
  std::string error;
  auto empty = LoadAdapterState(&error);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->adapters.empty());

  AdapterState state;
  state.adapters = {Rec("ROOT\\NET\\0000", AdapterDescription(1), "murvik0")};
  ASSERT_TRUE(SaveAdapterState(state, &error)) << error;
  auto loaded = LoadAdapterState(&error);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->adapters, state.adapters);

  ASSERT_TRUE(platform::WriteFileAtomic(AdapterStateFilePath(), "{ garbage", 0600, nullptr));
  EXPECT_FALSE(LoadAdapterState(&error));
  EXPECT_NE(error.find(AdapterStateFilePath()), std::string::npos) << error;
  unsetenv("MURVIK_DRIVER_STATE");
}

}  // namespace
}  // namespace murvik::driver
