#include "config/config_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>

#include "platform/net.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "support/temp_dir.h"
#include "tunnel/client_mgr.h"
#include "tunnel/com_chanel.h"
#include "tunnel/net_chanel.h"

using namespace murvik;
using platform::Ipv4FromText;

namespace {

// One module of each field set to a value other than its default; tests edit the pieces.
struct Doc {
  std::string sys = R"(<SYS AUTOCONNECT="true"/>)";
  std::string obj = R"(COUNT="1" OPENLIST="11111111111;22222222222" GROUPLIST="&quot;my group&quot;;g2")";
  std::string module =
      R"(MODEL2="0" LOGNAME="login.example" LOGPORT="7251" SN="11111111111" PWD="secret" NAME="pump" GROUP="my group" BRIEF="note" CHCNT="4")";
  std::string ch[4] = {
      R"(<CH0 TYPE="COM" USE="1" VPORT="COM5" DPORT="COM1" PlcType="2" TransMode="0" BaudRate="19200" ByteSize="7" Parity="1" StopBits="2" Other="2;3"/>)",
      R"(<CH1 TYPE="COM" USE="0" VPORT="COM6" DPORT="COM2" PlcType="4" TransMode="1" BaudRate="9600" ByteSize="8" Parity="2" StopBits="0" Other=""/>)",
      R"(<CH2 TYPE="COM" USE="1" VPORT="COM7" DPORT="COM3" PlcType="1" TransMode="1" BaudRate="4800" ByteSize="8" Parity="0" StopBits="1" Other="x"/>)",
      R"(<CH3 TYPE="NET" USE="0" NETNAME="tap0" IP="10.0.0.1" NETMASK="255.255.0.0" IPMIN="10.0.0.10" IPMAX="10.0.0.20">)"
      R"(<NETDEV COUNT="2" USE="2"><ITEM0 NAME="plc" DESP="S7" IP="10.0.0.11"/><ITEM1 NAME="hmi" DESP="" IP="10.0.0.12"/></NETDEV></CH3>)",
  };
  std::string trans = R"(<TRANS COUNT="2" USE="7" ID0="5,east,,relay1.example" ID1="7,west,fast,relay2.example:7250"/>)";

  std::string raw;  // when set, the whole document

  std::string Xml() const {
    if (!raw.empty()) return raw;
    return "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n<ROOT>" + sys + "<OBJ " + obj + "><IOSERVER0 " + module + ">" +
           ch[0] + ch[1] + ch[2] + ch[3] + trans + "</IOSERVER0></OBJ></ROOT>";
  }
};

void Replace(std::string& s, const std::string& from, const std::string& to) {
  auto at = s.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  s.replace(at, from.size(), to);
}

std::string Utf16Bytes(const std::string& utf8, bool little, bool bom) {
  std::u16string u = platform::Utf8ToUtf16(utf8);
  if (bom) u.insert(u.begin(), u'\xFEFF');
  std::string out;
  for (char16_t c : u) {
    char lo = static_cast<char>(c & 0xFF), hi = static_cast<char>(c >> 8);
    out += little ? std::string{lo, hi} : std::string{hi, lo};
  }
  return out;
}

std::string AsUtf8(const std::string& utf16le) {
  std::u16string u;
  for (std::size_t i = 0; i + 1 < utf16le.size(); i += 2)
    u.push_back(static_cast<char16_t>(static_cast<unsigned char>(utf16le[i]) | (static_cast<unsigned char>(utf16le[i + 1]) << 8)));
  return platform::Utf16ToUtf8(u);
}

ConfigLoadResult Load(const std::string& utf8, TClientMgr& mgr, TMainWindowState& state) {
  return LoadConfigBytes(utf8, mgr, state);
}

std::string ReadAll(const std::string& path) {
  std::string data;
  platform::ReadFile(path, &data);
  return data;
}

TComChanel& Com(TClient& s, int i) { return static_cast<TComChanel&>(*s.channels[static_cast<std::size_t>(i)]); }

}  // namespace

TEST(ConfigFile, LoadsEveryField) {
  TClientMgr mgr;
  TMainWindowState state;
  ConfigLoadResult r = Load(Doc().Xml(), mgr, state);
  ASSERT_EQ(r.status, ConfigLoadResult::Loaded) << r.error;
  EXPECT_TRUE(state.AUTOCONNECT);
  EXPECT_EQ(state.openList, (std::vector<std::string>{"11111111111", "22222222222"}));
  EXPECT_EQ(state.groupList, (std::vector<std::string>{"my group", "g2"}));
  ASSERT_EQ(mgr.Count(), 1);
  TClient& s = *mgr.At(0);
  EXPECT_EQ(s.model, 0);
  EXPECT_EQ(s.LOGNAME, "login.example");
  EXPECT_EQ(s.LOGPORT, 7251);
  EXPECT_EQ(s.SN, "11111111111");
  EXPECT_EQ(s.PWD, "secret");
  EXPECT_EQ(s.NAME, "pump");
  EXPECT_EQ(s.GROUP, "my group");
  EXPECT_EQ(s.BRIEF, "note");
  TComChanel& c0 = Com(s, 0);
  EXPECT_EQ(c0.USE, 1);
  EXPECT_EQ(c0.VPORT, "COM5");
  EXPECT_EQ(c0.DPORT, "COM1");
  EXPECT_EQ(c0.PlcType, 2);
  EXPECT_EQ(c0.TransMode, 0);
  EXPECT_EQ(c0.BaudRate, 19200);
  EXPECT_EQ(c0.ByteSize, 7);
  EXPECT_EQ(c0.Parity, 1);
  EXPECT_EQ(c0.StopBits, 2);
  EXPECT_EQ(c0.Other, "2;3");
  EXPECT_EQ(Com(s, 2).VPORT, "COM7");
  TNetChanel& n = *s.NetChanel();
  EXPECT_EQ(n.USE, 0);
  EXPECT_EQ(n.NETNAME, "tap0");
  EXPECT_EQ(n.IP, Ipv4FromText("10.0.0.1"));
  EXPECT_EQ(n.NETMASK, Ipv4FromText("255.255.0.0"));
  EXPECT_EQ(n.IPMIN, Ipv4FromText("10.0.0.10"));
  EXPECT_EQ(n.IPMAX, Ipv4FromText("10.0.0.20"));
  ASSERT_EQ(s.NetDeviceCount(), 2);
  EXPECT_EQ(n.selectedDevice, 2);
  EXPECT_EQ(s.GetNetDevice(0)->name, "plc");
  EXPECT_EQ(s.GetNetDevice(0)->description, "S7");
  EXPECT_EQ(s.GetNetDevice(1)->IP, Ipv4FromText("10.0.0.12"));
  EXPECT_EQ(s.relays, (std::vector<TransServerItem>{{5, "east", "", "relay1.example"}, {7, "west", "fast", "relay2.example:7250"}}));
  EXPECT_EQ(s.selectedRelayId, 7);
}

TEST(ConfigFile, WritesTheElementTreeInOrder) {
  TClientMgr mgr;
  auto s = TClientMgr::CreateIOServer(1);
  s->SN = "12345678901";
  s->NAME = "a&b";
  s->relays = {{3, "t", "", "h"}};
  s->selectedRelayId = 3;
  mgr.Add(std::move(s));
  TMainWindowState state;
  state.openList = {"12345678901", "x y"};
  state.groupList = {"g 1"};
  const std::string bytes = SaveConfigBytes(mgr, state);
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  const std::string expected =
      "\xEF\xBB\xBF"
      "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n"
      "<ROOT>\n"
      "  <SYS AUTOCONNECT=\"false\" />\n"
      "  <OBJ COUNT=\"1\" OPENLIST=\"12345678901;x y\" GROUPLIST=\"&quot;g 1&quot;\">\n"
      "    <IOSERVER0 MODEL2=\"1\" LOGNAME=\"\" LOGPORT=\"0\" SN=\"12345678901\" PWD=\"\" NAME=\"a&amp;b\" GROUP=\"\" BRIEF=\"\" CHCNT=\"4\">\n"
      "      <CH0 TYPE=\"COM\" USE=\"0\" VPORT=\"\" DPORT=\"COM1\" PlcType=\"1\" TransMode=\"1\" BaudRate=\"9600\" ByteSize=\"8\" Parity=\"2\" StopBits=\"0\" Other=\"\" />\n"
      "      <CH1 TYPE=\"COM\" USE=\"0\" VPORT=\"\" DPORT=\"COM2\" PlcType=\"1\" TransMode=\"1\" BaudRate=\"9600\" ByteSize=\"8\" Parity=\"2\" StopBits=\"0\" Other=\"\" />\n"
      "      <CH2 TYPE=\"COM\" USE=\"0\" VPORT=\"\" DPORT=\"COM3\" PlcType=\"1\" TransMode=\"1\" BaudRate=\"9600\" ByteSize=\"8\" Parity=\"2\" StopBits=\"0\" Other=\"\" />\n"
      "      <CH3 TYPE=\"NET\" USE=\"1\" NETNAME=\"\" IP=\"192.168.1.1\" NETMASK=\"255.255.255.0\" IPMIN=\"192.168.1.10\" IPMAX=\"192.168.1.10\">\n"
      "        <NETDEV COUNT=\"0\" USE=\"0\" />\n"
      "      </CH3>\n"
      "      <TRANS COUNT=\"1\" USE=\"3\" ID0=\"3,t,,h\" />\n"
      "    </IOSERVER0>\n"
      "  </OBJ>\n"
      "</ROOT>\n";
  EXPECT_EQ(AsUtf8(bytes), expected);
}

TEST(ConfigFile, SecondSaveIsByteIdentical) {
  TClientMgr mgr;
  TMainWindowState state;
  ASSERT_EQ(Load(Doc().Xml(), mgr, state).status, ConfigLoadResult::Loaded);
  auto extra = TClientMgr::CreateIOServer(1);
  extra->SN = "22222222222";
  extra->NAME = "名称 <&> \"q\" 'a'\ttab\nline";
  extra->BRIEF = "备注";
  extra->relays = {{1, "r", "n", "a"}};
  mgr.Add(std::move(extra));
  state.groupList.push_back("x;y");
  const std::string first = SaveConfigBytes(mgr, state);

  TClientMgr mgr2;
  TMainWindowState state2;
  ConfigLoadResult r = LoadConfigBytes(first, mgr2, state2);
  ASSERT_EQ(r.status, ConfigLoadResult::Loaded) << r.error;
  EXPECT_EQ(mgr2.At(1)->NAME, mgr.At(1)->NAME);
  EXPECT_EQ(state2.groupList, state.groupList);
  EXPECT_EQ(SaveConfigBytes(mgr2, state2), first);
}

TEST(ConfigFile, ReadsOlderAndSparserFiles) {
  struct Case {
    const char* what;
    std::function<void(Doc&)> edit;
    std::function<void(const TClientMgr&, const TMainWindowState&)> check;
  };
  const Case cases[] = {
      {"MODEL 3 is model 0 and wins over MODEL2",
       [](Doc& d) { Replace(d.module, R"(MODEL2="0")", R"(MODEL="3" MODEL2="1")"); },
       [](const TClientMgr& m, const TMainWindowState& st) {
         EXPECT_EQ(m.At(0)->model, 0);
         const std::string saved = AsUtf8(SaveConfigBytes(m, st));
         EXPECT_NE(saved.find(R"(<IOSERVER0 MODEL2="0" LOGNAME=)"), std::string::npos);
         EXPECT_EQ(saved.find("MODEL="), std::string::npos);
       }},
      {"MODEL 4 is model 1", [](Doc& d) { Replace(d.module, R"(MODEL2="0")", R"(MODEL="4")"); },
       [](const TClientMgr& m, const TMainWindowState&) { EXPECT_EQ(m.At(0)->model, 1); }},
      {"PWD2 wins and is not written back",
       [](Doc& d) { Replace(d.module, R"(PWD="secret")", R"(PWD="old" PWD2="new")"); },
       [](const TClientMgr& m, const TMainWindowState& st) {
         EXPECT_EQ(m.At(0)->PWD, "new");
         const std::string saved = AsUtf8(SaveConfigBytes(m, st));
         EXPECT_NE(saved.find(R"(PWD="new")"), std::string::npos);
         EXPECT_EQ(saved.find("PWD2"), std::string::npos);
       }},
      {"PWD2 alone", [](Doc& d) { Replace(d.module, R"(PWD="secret")", R"(PWD2="only")"); },
       [](const TClientMgr& m, const TMainWindowState&) { EXPECT_EQ(m.At(0)->PWD, "only"); }},
      {"no GROUP", [](Doc& d) { Replace(d.module, R"( GROUP="my group")", ""); },
       [](const TClientMgr& m, const TMainWindowState&) { EXPECT_EQ(m.At(0)->GROUP, ""); }},
      {"ROOT without SYS and OBJ",
       [](Doc& d) { d.raw = "<ROOT/>"; },
       [](const TClientMgr& m, const TMainWindowState& st) {
         EXPECT_EQ(m.Count(), 0);
         EXPECT_FALSE(st.AUTOCONNECT);
         EXPECT_TRUE(st.openList.empty());
         EXPECT_TRUE(st.groupList.empty());
       }},
      {"no OPENLIST: every module open, then one empty item",
       [](Doc& d) { Replace(d.obj, R"( OPENLIST="11111111111;22222222222")", ""); },
       [](const TClientMgr&, const TMainWindowState& st) {
         EXPECT_EQ(st.openList, (std::vector<std::string>{"11111111111", ""}));
       }},
      {"no GROUPLIST", [](Doc& d) { Replace(d.obj, R"( GROUPLIST="&quot;my group&quot;;g2")", ""); },
       [](const TClientMgr&, const TMainWindowState& st) { EXPECT_TRUE(st.groupList.empty()); }},
      {"boolean in any case", [](Doc& d) { Replace(d.sys, "true", "TrUe"); },
       [](const TClientMgr&, const TMainWindowState& st) { EXPECT_TRUE(st.AUTOCONNECT); }},
      {"no NETDEV",
       [](Doc& d) { d.ch[3] = d.ch[3].substr(0, d.ch[3].find("<NETDEV")) + "</CH3>"; },
       [](const TClientMgr& m, const TMainWindowState&) {
         EXPECT_EQ(m.At(0)->NetDeviceCount(), 0);
         EXPECT_EQ(m.At(0)->NetChanel()->selectedDevice, 0);
       }},
      {"no TRANS", [](Doc& d) { d.trans.clear(); },
       [](const TClientMgr& m, const TMainWindowState&) {
         EXPECT_TRUE(m.At(0)->relays.empty());
         EXPECT_EQ(m.At(0)->selectedRelayId, 0);
       }},
      {"TRANS USE naming no listed id", [](Doc& d) { Replace(d.trans, R"(USE="7")", R"(USE="9")"); },
       [](const TClientMgr& m, const TMainWindowState&) {
         EXPECT_EQ(m.At(0)->relays.size(), 2u);
         EXPECT_EQ(m.At(0)->selectedRelayId, 0);
       }},
      {"unparsable IP", [](Doc& d) { Replace(d.ch[3], R"(IP="10.0.0.1")", R"(IP="abc")"); },
       [](const TClientMgr& m, const TMainWindowState&) { EXPECT_EQ(m.At(0)->NetChanel()->IP, 0xFFFFFFFFu); }},
      {"unknown TYPE is passed over", [](Doc& d) { Replace(d.ch[1], R"(TYPE="COM")", R"(TYPE="CAN")"); },
       [](const TClientMgr& m, const TMainWindowState&) {
         EXPECT_EQ(Com(*m.At(0), 1).VPORT, "");
         EXPECT_EQ(Com(*m.At(0), 2).VPORT, "COM7");
       }},
      {"CHCNT below the model's count", [](Doc& d) { Replace(d.module, R"(CHCNT="4")", R"(CHCNT="2")"); },
       [](const TClientMgr& m, const TMainWindowState&) {
         EXPECT_EQ(Com(*m.At(0), 2).VPORT, "");
         EXPECT_EQ(m.At(0)->NetChanel()->NETNAME, "");
       }},
      {"relay texts with blanks and commas split differently",
       [](Doc& d) { Replace(d.trans, "ID1=\"7,west,fast,relay2.example:7250\"", "ID1=\"7,west side,a,b,c\""); },
       [](const TClientMgr& m, const TMainWindowState&) {
         EXPECT_EQ(m.At(0)->relays[1], (TransServerItem{7, "west", "side", "a"}));
       }},
      {"relay title with a leading quote still loads",
       [](Doc& d) { Replace(d.trans, "ID1=\"7,west,fast,relay2.example:7250\"", "ID1=\"7,&quot;west,fast,relay\""); },
       [](const TClientMgr& m, const TMainWindowState&) {
         EXPECT_EQ(m.At(0)->relays[1], (TransServerItem{7, "west,fast,relay", "", ""}));
         EXPECT_EQ(m.At(0)->selectedRelayId, 7);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Doc d;
    c.edit(d);
    const std::string xml = d.Xml();
    TClientMgr mgr;
    mgr.Add(TClientMgr::CreateIOServer(1));  // replaced by the load
    TMainWindowState state;
    state.groupList = {"stale"};
    ConfigLoadResult r = Load(xml, mgr, state);
    ASSERT_EQ(r.status, ConfigLoadResult::Loaded) << r.error;
    c.check(mgr, state);
  }
}

TEST(ConfigFile, LoadsEitherEncodingAndByteOrderMark) {
  const std::string xml = Doc().Xml();
  const std::string inputs[] = {
      xml, "\xEF\xBB\xBF" + xml, Utf16Bytes(xml, true, true), Utf16Bytes(xml, false, true), Utf16Bytes(xml, true, false),
  };
  for (const std::string& bytes : inputs) {
    TClientMgr mgr;
    TMainWindowState state;
    ConfigLoadResult r = LoadConfigBytes(bytes, mgr, state);
    ASSERT_EQ(r.status, ConfigLoadResult::Loaded) << r.error;
    EXPECT_EQ(mgr.At(0)->GROUP, "my group");
  }
}

TEST(ConfigFile, UnsupportedModelCode) {
  Doc d;
  Replace(d.module, R"(MODEL2="0")", R"(MODEL="5" MODEL2="0")");
  TClientMgr mgr;
  TMainWindowState state;
  ConfigLoadResult r = Load(d.Xml(), mgr, state);
  EXPECT_EQ(r.status, ConfigLoadResult::Failed);
  EXPECT_TRUE(r.unsupportedModel);
  EXPECT_EQ(r.error, "不支持的型号，请示其他版本MURVIK");
  EXPECT_EQ(mgr.Count(), 0);
}

// A file that does not load leaves everything as it was, and the next save keeps it aside.
TEST(ConfigFile, BrokenFileChangesNothingAndIsKeptOnTheNextSave) {
  struct Case {
    const char* what;
    std::function<void(Doc&)> edit;
    const char* error;
  };
  const Case cases[] = {
      {"bad XML", [](Doc& d) { d.trans = "<TRANS"; }, "not well-formed"},
      {"missing CHn", [](Doc& d) { d.ch[2].clear(); }, "IOSERVER0: missing element CH2"},
      {"missing SN", [](Doc& d) { Replace(d.module, R"( SN="11111111111")", ""); }, "IOSERVER0: missing attribute SN"},
      {"non-decimal LOGPORT", [](Doc& d) { Replace(d.module, R"(LOGPORT="7251")", R"(LOGPORT="12abc")"); }, "LOGPORT \"12abc\""},
      {"empty LOGPORT", [](Doc& d) { Replace(d.module, R"(LOGPORT="7251")", R"(LOGPORT="")"); }, "LOGPORT"},
      {"hex BaudRate", [](Doc& d) { Replace(d.ch[0], R"(BaudRate="19200")", R"(BaudRate="0x4B00")"); }, "IOSERVER0/CH0: attribute BaudRate"},
      {"CHCNT 5", [](Doc& d) { Replace(d.module, R"(CHCNT="4")", R"(CHCNT="5")"); }, "CHCNT 5"},
      {"TYPE mismatch", [](Doc& d) { Replace(d.ch[0], R"(TYPE="COM")", R"(TYPE="NET")"); }, "IOSERVER0/CH0: TYPE NET"},
      {"selected device beyond the list", [](Doc& d) { Replace(d.ch[3], R"(USE="2")", R"(USE="3")"); }, "selected device 3"},
      {"missing ITEMk", [](Doc& d) { Replace(d.ch[3], R"(COUNT="2")", R"(COUNT="3")"); }, "NETDEV: missing element ITEM2"},
      {"missing IDk", [](Doc& d) { Replace(d.trans, R"(COUNT="2")", R"(COUNT="3")"); }, "TRANS: missing attribute ID2"},
      {"relay id not decimal", [](Doc& d) { Replace(d.trans, "ID0=\"5,", "ID0=\"x5,"); }, "ID0"},
      {"MODEL2 7", [](Doc& d) { Replace(d.module, R"(MODEL2="0")", R"(MODEL2="7")"); }, "MODEL2 7"},
      {"MODEL not a number", [](Doc& d) { Replace(d.module, R"(MODEL2="0")", R"(MODEL="three")"); }, "MODEL"},
      {"OBJ without COUNT", [](Doc& d) { Replace(d.obj, R"(COUNT="1" )", ""); }, "OBJ: missing attribute COUNT"},
      {"COUNT beyond the modules", [](Doc& d) { Replace(d.obj, R"(COUNT="1")", R"(COUNT="2")"); }, "missing element IOSERVER1"},
      {"AUTOCONNECT not a boolean", [](Doc& d) { Replace(d.sys, "true", "yes"); }, "AUTOCONNECT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    const std::string path = dir.File("MURVIK3.xml");
    Doc d;
    c.edit(d);
    const std::string broken = Utf16Bytes(d.Xml(), true, true);
    {
      std::ofstream f(path, std::ios::binary);
      f << broken;
    }
    TClientMgr mgr;
    auto kept = TClientMgr::CreateIOServer(1);
    kept->NAME = "kept";
    mgr.Add(std::move(kept));
    TMainWindowState state;
    state.groupList = {"g"};
    state.AUTOCONNECT = false;

    ConfigLoadResult r = LoadConfigFile(path, mgr, state);
    EXPECT_EQ(r.status, ConfigLoadResult::Failed);
    EXPECT_NE(r.error.find(c.error), std::string::npos) << r.error;
    ASSERT_EQ(mgr.Count(), 1);
    EXPECT_EQ(mgr.At(0)->NAME, "kept");
    EXPECT_EQ(state.groupList, (std::vector<std::string>{"g"}));
    EXPECT_FALSE(state.AUTOCONNECT);

    std::string error, info;
    ASSERT_TRUE(SaveConfigFile(path, mgr, state, &error, &info)) << error;
    EXPECT_NE(info.find(path + ".bad"), std::string::npos) << info;
    EXPECT_EQ(ReadAll(path + ".bad"), broken);
    TClientMgr reread;
    EXPECT_EQ(LoadConfigFile(path, reread, state).status, ConfigLoadResult::Loaded);
    EXPECT_EQ(reread.At(0)->NAME, "kept");
  }
}

TEST(ConfigFile, FileSaveAndLoad) {
  test::TempDir dir;
  const std::string path = dir.File("MURVIK3.xml");
  TClientMgr mgr;
  TMainWindowState state;
  EXPECT_EQ(LoadConfigFile(path, mgr, state).status, ConfigLoadResult::Missing);

  ASSERT_EQ(Load(Doc().Xml(), mgr, state).status, ConfigLoadResult::Loaded);
  std::string error, info;
  ASSERT_TRUE(SaveConfigFile(path, mgr, state, &error, &info)) << error;
  EXPECT_TRUE(info.empty());
  struct stat st{};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  TClientMgr mgr2;
  TMainWindowState state2;
  ASSERT_EQ(LoadConfigFile(path, mgr2, state2).status, ConfigLoadResult::Loaded);
  EXPECT_EQ(SaveConfigBytes(mgr2, state2), ReadAll(path));

  // Broken twice: each broken version is kept under its own name.
  for (const char* bad : {".bad", ".bad.1"}) {
    { std::ofstream(path, std::ios::binary) << "<ROOT>" << bad; }
    EXPECT_EQ(LoadConfigFile(path, mgr2, state2).status, ConfigLoadResult::Failed);
    ASSERT_TRUE(SaveConfigFile(path, mgr2, state2, &error));
    EXPECT_EQ(ReadAll(path + bad), std::string("<ROOT>") + bad);
  }
  // A broken file that was replaced by a good one before the save is not kept.
  { std::ofstream(path, std::ios::binary) << "<ROOT"; }
  EXPECT_EQ(LoadConfigFile(path, mgr2, state2).status, ConfigLoadResult::Failed);
  ASSERT_TRUE(SaveConfigFile(dir.File("good.xml"), mgr2, state2, &error));
  std::filesystem::copy_file(dir.File("good.xml"), path, std::filesystem::copy_options::overwrite_existing);
  EXPECT_EQ(LoadConfigFile(path, mgr2, state2).status, ConfigLoadResult::Loaded);
  ASSERT_TRUE(SaveConfigFile(path, mgr2, state2, &error, &info));
  EXPECT_TRUE(info.empty());
  EXPECT_FALSE(platform::FileExists(path + ".bad.2"));
}

TEST(ConfigFile, FailedSaveReportsAndKeepsTheOldFile) {
  test::TempDir dir;
  TClientMgr mgr;
  TMainWindowState state;
  { std::ofstream(dir.File("plain")) << "x"; }
  std::string error;
  EXPECT_FALSE(SaveConfigFile(dir.File("plain") + "/MURVIK3.xml", mgr, state, &error));
  EXPECT_FALSE(error.empty());

  // A file that failed to load stays where it was when the new one cannot be written: a
  // folder in the way of the writer's temporary file stops the write even for root.
  const std::string path = dir.File("MURVIK3.xml");
  { std::ofstream(path, std::ios::binary) << "<ROOT"; }
  EXPECT_EQ(LoadConfigFile(path, mgr, state).status, ConfigLoadResult::Failed);
  const std::string blocker = path + ".tmp." + std::to_string(getpid());
  ASSERT_TRUE(platform::MakeDirs(blocker));
  error.clear();
  EXPECT_FALSE(SaveConfigFile(path, mgr, state, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(ReadAll(path), "<ROOT");
  EXPECT_FALSE(platform::FileExists(path + ".bad"));
  std::filesystem::remove(blocker);

  if (geteuid() == 0) GTEST_SKIP() << "permissions do not stop root";
  const std::string folder = dir.File("ro");
  ASSERT_TRUE(platform::MakeDirs(folder));
  const std::string old = folder + "/MURVIK3.xml";
  ASSERT_TRUE(SaveConfigFile(old, mgr, state, &error)) << error;
  const std::string before = ReadAll(old);
  ASSERT_EQ(chmod(folder.c_str(), 0500), 0);
  error.clear();
  EXPECT_FALSE(SaveConfigFile(old, mgr, state, &error));
  EXPECT_FALSE(error.empty());
  chmod(folder.c_str(), 0700);
  EXPECT_EQ(ReadAll(old), before);
}

TEST(ConfigFile, PathsFollowTheConfigurationDirectory) {
  test::TempDir dir;
  const char* old = std::getenv("MURVIK_HOME");
  std::string saved = old ? old : "";
  setenv("MURVIK_HOME", dir.Path().c_str(), 1);
  EXPECT_EQ(ConfigFilePath(), dir.Path() + "/MURVIK3.xml");
  EXPECT_EQ(SettingsFilePath(), dir.Path() + "/MURVIK3.INI");
  if (old)
    setenv("MURVIK_HOME", saved.c_str(), 1);
  else
    unsetenv("MURVIK_HOME");
}
