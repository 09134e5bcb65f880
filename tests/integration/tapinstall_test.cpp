// The adapter tool and the device manager's adapter half against real TAP interfaces, in a
// network namespace of the test's own (needs CAP_NET_ADMIN and CAP_SYS_ADMIN, as CI runs).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "devices/vir_com_mgr.h"
#include "driver/tapinstall_state.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/tap.h"
#include "support/scoped_netns.h"
#include "support/temp_dir.h"

namespace murvik {
namespace {

const std::string kDriverFolder = std::string(MURVIK_BIN_DIR) + "/src/driver/";
const std::string kTool = kDriverFolder + "tapinstall";
const std::string kBase = driver::kAdapterDescription;

#define ENTER_NETNS(ns)                                                                   \
  test::ScopedNetns ns;                                                                   \
  if (!ns.Entered()) {                                                                    \
    if (std::getenv("CI")) FAIL() << "cannot make a network namespace: run the tests as root"; \
    GTEST_SKIP() << "needs root for a network namespace";                                 \
  }

struct Result {
  int status = -1;
  std::string out;
};

// Runs a program to its end; standard error joins the output when asked.
Result RunProgram(const std::vector<std::string>& argv, bool withStderr) {
  Result r;
  platform::ChildProcess child;
  if (child.Start(argv, withStderr) != 0) return r;
  char buf[4096];
  for (long n; (n = child.Read(buf, sizeof buf)) > 0;) r.out.append(buf, static_cast<std::size_t>(n));
  while (!child.HasEnded()) child.WaitForOutput(10);
  r.status = child.ExitStatus();
  return r;
}

std::vector<std::string> Words(const std::string& args) { return platform::SplitCommandLine(args); }

class TapinstallTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("MURVIK_DRIVER_STATE", state_.Path().c_str(), 1); }
  void TearDown() override { unsetenv("MURVIK_DRIVER_STATE"); }

  Result Tool(const std::string& args, bool withStderr = true) {
    std::vector<std::string> argv{kTool};
    for (auto& w : Words(args)) argv.push_back(w);
    return RunProgram(argv, withStderr);
  }
  // The tool's standard output, as the device manager reads it.
  std::vector<ADAPTERINFO> Find() { return ParseAdapterFind(Tool("find tap0901", false).out); }
  std::string StateText() {
    std::string text;
    platform::ReadFile(driver::AdapterStateFilePath(), &text);
    return text;
  }

  test::TempDir state_;
};

bool WaitIdle(CVirComMgr& m) {
  for (int i = 0; i < 3000 && m.Busy(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return !m.Busy();
}

TEST_F(TapinstallTest, InstallTwiceGivesTwoNumberedAdaptersThatDisableAndEnable) {
  ENTER_NETNS(ns);
  Result first = Tool("install OemWin2k.inf tap0901");
  ASSERT_EQ(first.status, 0) << first.out;
  EXPECT_NE(first.out.find("ROOT\\NET\\0000 : Installed as murvik0"), std::string::npos) << first.out;
  ASSERT_EQ(Tool("install OemWin2k.inf tap0901").status, 0);
  EXPECT_TRUE(platform::InterfaceIsUp("murvik0"));
  EXPECT_TRUE(platform::InterfaceIsUp("murvik1"));

  Result find = Tool("find tap0901", false);
  EXPECT_EQ(find.status, 0);
  EXPECT_NE(find.out.find("\n2 matching device(s) found.\n"), std::string::npos) << find.out;
  EXPECT_EQ(ParseAdapterFind(find.out), (std::vector<ADAPTERINFO>{{kBase, "", "ROOT\\NET\\0000", ""},
                                                                  {kBase + " #2", "", "ROOT\\NET\\0001", ""}}))
      << find.out;
  auto state = driver::LoadAdapterState(nullptr);
  ASSERT_TRUE(state);
  ASSERT_EQ(state->adapters.size(), 2u);
  EXPECT_NE(state->adapters[0].guid, state->adapters[1].guid);
  EXPECT_EQ(state->adapters[1].connectionName, "murvik1");

  Result disabled = Tool("disable @root\\net\\0001");  // instance ids ignore case
  EXPECT_EQ(disabled.status, 0) << disabled.out;
  EXPECT_NE(disabled.out.find("ROOT\\NET\\0001 : Disabled"), std::string::npos) << disabled.out;
  EXPECT_FALSE(platform::InterfaceIsUp("murvik1"));
  EXPECT_TRUE(platform::InterfaceIsUp("murvik0"));
  EXPECT_EQ(Tool("enable @ROOT\\NET\\0001").status, 0);
  EXPECT_TRUE(platform::InterfaceIsUp("murvik1"));

  Result unknown = Tool("disable @ROOT\\NET\\0042");
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.out.find("no adapter ROOT\\NET\\0042"), std::string::npos) << unknown.out;
}

TEST_F(TapinstallTest, InterfacesGoneAfterARebootComeBackWithTheNextCommand) {
  ENTER_NETNS(ns);
  ASSERT_EQ(Tool("install OemWin2k.inf tap0901").status, 0);
  ASSERT_EQ(Tool("install OemWin2k.inf tap0901").status, 0);
  ASSERT_EQ(Tool("disable @ROOT\\NET\\0001").status, 0);
  std::string error;
  for (const char* name : {"murvik0", "murvik1"}) {
    ASSERT_TRUE(platform::RemovePersistentTap(name, &error)) << error;
    ASSERT_FALSE(platform::InterfaceExists(name));
  }
  EXPECT_EQ(Find().size(), 2u);
  EXPECT_TRUE(platform::InterfaceIsUp("murvik0"));
  ASSERT_TRUE(platform::InterfaceExists("murvik1"));
  EXPECT_FALSE(platform::InterfaceIsUp("murvik1")) << "still disabled";
}

TEST_F(TapinstallTest, RemoveOneOrAllAndReuseTheLowestFreeNames) {
  ENTER_NETNS(ns);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Tool("install OemWin2k.inf tap0901").status, 0);
  Result one = Tool("remove @ROOT\\NET\\0001");
  EXPECT_EQ(one.status, 0);
  EXPECT_EQ(one.out, "ROOT\\NET\\0001 : Removed\n1 device(s) were removed.\n");
  EXPECT_FALSE(platform::InterfaceExists("murvik1"));
  EXPECT_EQ(Find(), (std::vector<ADAPTERINFO>{{kBase, "", "ROOT\\NET\\0000", ""}, {kBase + " #3", "", "ROOT\\NET\\0002", ""}}));

  ASSERT_EQ(Tool("install OemWin2k.inf tap0901").status, 0);
  auto state = driver::LoadAdapterState(nullptr);
  ASSERT_TRUE(state);
  ASSERT_NE(state->Find("ROOT\\NET\\0001"), nullptr);
  EXPECT_EQ(state->Find("ROOT\\NET\\0001")->description, kBase + " #2");
  EXPECT_EQ(state->Find("ROOT\\NET\\0001")->connectionName, "murvik1");

  // An adapter a session holds stays, and says why.
  platform::TapAttachment held;
  ASSERT_TRUE(held.Attach("murvik2", false, nullptr));
  Result busy = Tool("remove @ROOT\\NET\\0002");
  EXPECT_EQ(busy.status, 1);
  EXPECT_NE(busy.out.find("in use"), std::string::npos) << busy.out;
  EXPECT_EQ(Find().size(), 3u);
  held.Detach();

  Result all = Tool("remove tap0901");
  EXPECT_EQ(all.status, 0) << all.out;
  EXPECT_NE(all.out.find("3 device(s) were removed."), std::string::npos) << all.out;
  for (const char* name : {"murvik0", "murvik1", "murvik2"}) EXPECT_FALSE(platform::InterfaceExists(name)) << name;
  EXPECT_EQ(Tool("find tap0901").out, "No matching devices found.\n");
  Result none = Tool("remove @ROOT\\NET\\0000");
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.out.find("no adapter ROOT\\NET\\0000"), std::string::npos) << none.out;
}

TEST_F(TapinstallTest, InstallNeedsAnInfFileThatProvidesTheComponent) {
  ENTER_NETNS(ns);
  ASSERT_TRUE(platform::WriteFileAtomic(state_.File("other.inf"), "[Adapter]\nComponentId=other0901\n", 0600, nullptr));
  for (const std::string& inf : {state_.File("other.inf"), std::string("NoSuch.inf")}) {
    Result r = Tool("install " + inf + " tap0901");
    EXPECT_EQ(r.status, 1) << inf;
    EXPECT_NE(r.out.find(inf), std::string::npos) << r.out;
  }
  EXPECT_FALSE(platform::InterfaceExists("murvik0"));
  EXPECT_TRUE(Find().empty());
}

TEST_F(TapinstallTest, BadArgumentsAreUsageErrorsThatTouchNothing) {
  const char* cases[] = {
      "",          "find",         "find tap0902",   "find tap0901 extra", "install OemWin2k.inf",
      "install OemWin2k.inf tap0902", "remove",     "remove @",           "remove ROOT\\NET\\0000",
      "disable tap0901", "enable",  "enable @ROOT\\NET\\0000 extra", "frob tap0901",
  };
  for (const char* args : cases) {
    Result r = Tool(args);
    EXPECT_EQ(r.status, 2) << "\"" << args << "\"";
    EXPECT_NE(r.out.find("Usage: tapinstall"), std::string::npos) << "\"" << args << "\": " << r.out;
  }
  EXPECT_FALSE(platform::FileExists(driver::AdapterStateLockPath()));
  Result help = Tool("--help", false);
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("install <inf file> tap0901"), std::string::npos);
}

TEST_F(TapinstallTest, WithoutNetAdminChangesAreRefusedAndFindStillLists) {
  ENTER_NETNS(ns);
  if (!platform::FileExists("/usr/bin/setpriv")) {
    if (std::getenv("CI")) FAIL() << "setpriv (util-linux) is missing";
    GTEST_SKIP() << "needs setpriv";
  }
  auto unprivileged = [&](const std::string& args) {
    std::vector<std::string> argv{"/usr/bin/setpriv", "--inh-caps=-all", "--bounding-set=-net_admin", "--", kTool};
    for (auto& w : Words(args)) argv.push_back(w);
    return RunProgram(argv, true);
  };
  ASSERT_EQ(Tool("install OemWin2k.inf tap0901").status, 0);
  const std::string before = StateText();
  const std::string missing = platform::NetAdminMissingText();

  for (const char* args : {"install OemWin2k.inf tap0901", "disable @ROOT\\NET\\0000", "remove tap0901"}) {
    Result r = unprivileged(args);
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_NE(r.out.find(missing), std::string::npos) << args << ": " << r.out;
  }
  EXPECT_EQ(StateText(), before) << "nothing recorded";
  EXPECT_FALSE(platform::InterfaceExists("murvik1"));
  EXPECT_TRUE(platform::InterfaceIsUp("murvik0"));

  ASSERT_TRUE(platform::RemovePersistentTap("murvik0", nullptr));
  Result find = unprivileged("find tap0901");
  EXPECT_EQ(find.status, 0);
  EXPECT_EQ(ParseAdapterFind(find.out).size(), 1u) << find.out;
  EXPECT_NE(find.out.find("warning: interface murvik0 of ROOT\\NET\\0000 is missing"), std::string::npos) << find.out;
  EXPECT_NE(find.out.find(missing), std::string::npos) << find.out;
  EXPECT_FALSE(platform::InterfaceExists("murvik0"));
}

TEST_F(TapinstallTest, DamagedStateIsReportedAndKept) {
  ENTER_NETNS(ns);
  const std::string damaged = "{\"adapters\": [ {\"ConnectionName\": \"eth0\"} ]}";
  ASSERT_TRUE(platform::WriteFileAtomic(driver::AdapterStateFilePath(), damaged, 0600, nullptr));
  for (const char* args : {"find tap0901", "install OemWin2k.inf tap0901"}) {
    Result r = Tool(args);
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_NE(r.out.find("is damaged"), std::string::npos) << r.out;
  }
  EXPECT_EQ(StateText(), damaged);
}

TEST_F(TapinstallTest, ManagerCreatesSwitchesAndRestartsAdaptersThroughTheTool) {
  ENTER_NETNS(ns);
  CVirComMgr mgr(kDriverFolder);  // made inside the namespace: its worker and tools run there
  mgr.RefreshAdapters();
  EXPECT_TRUE(mgr.Adapters().empty());

  mgr.RequestNewAdapter();
  ASSERT_TRUE(WaitIdle(mgr));
  ADAPTERINFO first;
  ASSERT_TRUE(mgr.TakeNewAdapter(first));
  EXPECT_EQ(first.Description, kBase);
  EXPECT_EQ(first.PnpInstanceID, "ROOT\\NET\\0000");
  EXPECT_EQ(first.ConnectionName, "murvik0");
  auto state = driver::LoadAdapterState(nullptr);
  ASSERT_TRUE(state && state->adapters.size() == 1);
  EXPECT_EQ(first.InstanceGuid, state->adapters[0].guid);
  EXPECT_FALSE(mgr.TakeNewAdapter(first));

  mgr.RequestNewAdapter();
  ASSERT_TRUE(WaitIdle(mgr));
  ADAPTERINFO second;
  ASSERT_TRUE(mgr.TakeNewAdapter(second));
  EXPECT_EQ(second.Description, kBase + " #2");
  EXPECT_TRUE(mgr.AdapterExists(kBase));
  EXPECT_EQ(mgr.AdapterGuid(kBase + " #2"), second.InstanceGuid);
  EXPECT_EQ(mgr.AdapterConnectionName(kBase + " #2"), "murvik1");

  platform::TapAttachment tap;
  ASSERT_TRUE(tap.Attach(mgr.AdapterConnectionName(kBase), false, nullptr));
  EXPECT_TRUE(platform::InterfaceHasCarrier("murvik0"));
  EXPECT_TRUE(mgr.DisconnectAdapter(kBase));
  EXPECT_FALSE(platform::InterfaceHasCarrier("murvik0"));
  EXPECT_TRUE(mgr.ConnectAdapter(kBase));
  EXPECT_TRUE(platform::InterfaceHasCarrier("murvik0"));

  mgr.DisableAdapter(kBase);
  EXPECT_FALSE(platform::InterfaceIsUp("murvik0"));
  mgr.EnableAdapter(kBase);
  EXPECT_TRUE(platform::InterfaceIsUp("murvik0"));
  tap.Detach();

  ASSERT_TRUE(platform::RemovePersistentTap("murvik1", nullptr));
  EXPECT_FALSE(mgr.DisconnectAdapter(kBase + " #2")) << "its interface is gone";
  EXPECT_FALSE(mgr.ConnectAdapter("not listed"));
}

}  // namespace
}  // namespace murvik
