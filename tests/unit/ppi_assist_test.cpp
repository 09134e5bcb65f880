#include "tunnel/ppi_assist.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diagnostics/server_log.h"

using murvik::TPpiAssist;
using Bytes = std::vector<std::uint8_t>;

namespace {

// SD2 request from the master (address 0) with a PDU header: ROSCTR at 8, PDU reference at 11-12.
Bytes Request(std::uint8_t da, std::uint8_t rosctr, std::uint8_t refLo, std::uint8_t refHi) {
  Bytes f = {0x68, 0x0D,  0x0D,  0x68, da,   0x00, 0x6C, 0x32, rosctr, 0x00,
             0x00, refLo, refHi, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  std::uint8_t fcs = 0;
  for (std::size_t i = 4; i < f.size(); ++i) fcs = static_cast<std::uint8_t>(fcs + f[i]);
  f.push_back(fcs);
  f.push_back(0x16);
  return f;
}

// Signs a frame from the module: FCS over bytes 4 to n - 3.
Bytes WithFcs(Bytes f) {
  std::uint8_t fcs = 0;
  for (std::size_t i = 4; i + 2 < f.size(); ++i) fcs = static_cast<std::uint8_t>(fcs + f[i]);
  f[f.size() - 2] = fcs;
  return f;
}

Bytes Poll(std::uint8_t da) { return {0x10, da, 0x00, 0x5C, static_cast<std::uint8_t>(da + 0x5C), 0x16}; }

const Bytes kE5 = {0xE5};

class PpiAssistTest : public ::testing::Test {
 protected:
  void SetUp() override {
    murvik::SetLogObserver([this](int level, std::string_view text) {
      if (level == 3) logs.emplace_back(text);
    });
    io.writeLocal = [this](const std::uint8_t* b, std::size_t n) { local.emplace_back(b, b + n); };
    io.sendToModule = [this](const std::uint8_t* b, std::size_t n) { module.emplace_back(b, b + n); };
    io.localBaud = [this] { return baud; };
  }
  void TearDown() override { murvik::SetLogObserver(nullptr); }

  void Build(const std::string& other, std::int32_t baudRate = 9600) {
    ppi.Build(other, baudRate);
    logs.clear();
  }
  // Each call hands over a heap copy of exactly the frame's size, so a read past it is caught.
  void Local(const Bytes& f) {
    Bytes copy(f);
    ppi.LocalChunk(copy.data(), copy.size(), io);
  }
  void FromModule(const Bytes& f) {
    Bytes copy(f);
    ppi.ModuleData(copy.data(), copy.size(), io);
  }
  void Clear() {
    local.clear();
    module.clear();
    logs.clear();
  }

  TPpiAssist ppi;
  TPpiAssist::Io io;
  std::uint32_t baud = 9600;
  std::vector<Bytes> local, module;
  std::vector<std::string> logs;
};

TEST_F(PpiAssistTest, BuildListsAliveStations) {
  const std::string fullWidthSemicolon = "\xEF\xBC\x9B";
  std::string manyOnes, manyWords;
  for (int i = 0; i < 128; ++i) manyOnes += "1;";
  for (int i = 0; i < 200; ++i) manyWords += "x;";
  struct Case {
    std::string other;
    std::vector<int> alive;
  } cases[] = {
      {"2" + fullWidthSemicolon + "3", {2, 3}},
      {"2;x;126;127;-1;2.5;;0", {0, 2, 126}},  // non-integers skipped, out of range ignored
      {" 4 ; 5", {4, 5}},
      {manyOnes + "5", {1}},   // only 128 numbers are kept
      {manyWords + "7", {7}},  // items that are not numbers do not count
      {"", {}},
  };
  for (const Case& c : cases) {
    logs.clear();
    ppi.Build(c.other, 9600);
    EXPECT_TRUE(ppi.Built());
    std::vector<int> alive;
    std::vector<std::string> expectedLogs;
    for (int a = 0; a < TPpiAssist::kStations; ++a)
      if (ppi.StationAlive(a)) alive.push_back(a);
    for (int a : c.alive) expectedLogs.push_back("STATION " + std::to_string(a) + " is alive, baud=9600");
    EXPECT_EQ(alive, c.alive) << c.other;
    EXPECT_EQ(logs, expectedLogs) << c.other;
  }
  ppi.Discard();
  EXPECT_FALSE(ppi.Built());
  EXPECT_FALSE(ppi.StationAlive(7));
}

TEST_F(PpiAssistTest, FdlStatusAnsweredLocally) {
  Build("2;126");
  struct Case {
    Bytes request, reply;
  } cases[] = {
      {{0x10, 0x02, 0x00, 0x49, 0x4B, 0x16}, {0x10, 0x02, 0x00, 0x00, 0x02, 0x16}},
      {{0x10, 0x7E, 0xFF, 0x49, 0xC6, 0x16}, {0x10, 0x7E, 0xFF, 0x00, 0x7D, 0x16}},  // sum mod 256
  };
  for (const Case& c : cases) {
    Clear();
    Local(c.request);
    EXPECT_EQ(local, std::vector<Bytes>{c.reply});
    EXPECT_TRUE(module.empty());
    EXPECT_EQ(logs, std::vector<std::string>{"SD1:FDL STATUS\r\n"});
  }
}

TEST_F(PpiAssistTest, RequestAcknowledgedForwardedAndPollsAnswered) {
  struct Case {
    std::uint8_t rosctr, refLo, refHi;
    std::string requestLog;
    bool firstPollForwarded;
  } cases[] = {
      {1, 0x34, 0x12, "SD2(ROSCTR=0X1, PDU_REF=0X1234):need poll\r\n", false},
      {7, 0x05, 0x00, "SD2(ROSCTR=0X7, PDU_REF=0X05):need poll\r\n", false},
      {3, 0x34, 0x12, "SD2(ROSCTR=0X3):need not poll\r\n", true},
  };
  for (const Case& c : cases) {
    Build("2");
    Clear();
    const Bytes request = Request(2, c.rosctr, c.refLo, c.refHi);
    Local(request);
    EXPECT_EQ(local, std::vector<Bytes>{kE5});
    EXPECT_EQ(module, std::vector<Bytes>{request});
    EXPECT_EQ(logs, std::vector<std::string>{c.requestLog});
    EXPECT_EQ(ppi.NeedPoll(2), !c.firstPollForwarded);

    Clear();
    for (int i = 0; i < 3; ++i) Local(Poll(2));
    EXPECT_EQ(local, (std::vector<Bytes>{kE5, kE5, kE5}));
    std::vector<std::string> pollLogs = {"SD1: poll\r\n", "SD1: auto response\r\n"};
    if (c.firstPollForwarded) {
      EXPECT_EQ(module, std::vector<Bytes>{Poll(2)});  // once only
      pollLogs.push_back("SD1: send to plc\r\n");
    } else {
      EXPECT_TRUE(module.empty());
    }
    for (int i = 0; i < 2; ++i) pollLogs.insert(pollLogs.end(), {"SD1: poll\r\n", "SD1: auto response\r\n"});
    EXPECT_EQ(logs, pollLogs) << int(c.rosctr);
  }
}

TEST_F(PpiAssistTest, ResponseWaitsForNextPoll) {
  // Station 2 answers the master with its own PDU reference 99 99 (FCS 0x71).
  const Bytes fromModule = {0x68, 0x0D, 0x0D, 0x68, 0x00, 0x02, 0x08, 0x32, 0x03, 0x00,
                            0x00, 0x99, 0x99, 0x00, 0x00, 0x00, 0x00, 0x71, 0x16};
  Bytes unasked = fromModule;  // ROSCTR 1 is passed on as it came
  unasked[8] = 0x01;
  unasked = WithFcs(unasked);
  struct Case {
    Bytes response, delivered;
  } cases[] = {
      {fromModule,
       {0x68, 0x0D, 0x0D, 0x68, 0x00, 0x02, 0x08, 0x32, 0x03, 0x00, 0x00, 0x34, 0x12, 0x00, 0x00, 0x00, 0x00, 0x85,
        0x16}},
      {unasked, unasked},
  };
  for (const Case& c : cases) {
    Build("2");
    Local(Request(2, 3, 0x34, 0x12));
    Local(Poll(2));
    Clear();

    FromModule(c.response);
    EXPECT_TRUE(ppi.ResponseReady(2));
    EXPECT_TRUE(local.empty());  // nothing reaches the software before it polls

    Local(Poll(2));
    EXPECT_EQ(local, std::vector<Bytes>{c.delivered});
    EXPECT_TRUE(module.empty());
    EXPECT_EQ(logs, (std::vector<std::string>{"SD1: poll\r\n", "SD1: responsed\r\n"}));
    EXPECT_FALSE(ppi.ResponseReady(2));
    EXPECT_FALSE(ppi.PollForwarded(2));

    Clear();
    Local(Poll(2));  // collected: the software is back to 0xE5
    EXPECT_EQ(local, std::vector<Bytes>{kE5});
  }
}

TEST_F(PpiAssistTest, NewRequestSupersedesUncollectedResponse) {
  Build("2");
  Local(Request(2, 1, 0x01, 0x00));
  FromModule({0x68, 0x0D, 0x0D, 0x68, 0x00, 0x02, 0x08, 0x32, 0x03, 0x00, 0x00, 0x01, 0x00, 0, 0, 0, 0, 0x40, 0x16});
  ASSERT_TRUE(ppi.ResponseReady(2));
  Local(Request(2, 1, 0x02, 0x00));
  EXPECT_FALSE(ppi.ResponseReady(2));
  Clear();
  Local(Poll(2));
  EXPECT_EQ(local, std::vector<Bytes>{kE5});
}

TEST_F(PpiAssistTest, NothingAnsweredOrForwarded) {
  struct Case {
    const char* what;
    std::uint32_t localBaud;
    Bytes chunk;
  } cases[] = {
      {"other baud, request", 19200, Request(2, 1, 0, 0)},
      {"other baud, poll", 19200, Poll(2)},
      {"other baud, FDL status", 19200, {0x10, 0x02, 0x00, 0x49, 0x4B, 0x16}},
      {"unlisted, request", 9600, Request(5, 3, 0, 0)},
      {"unlisted, poll", 9600, Poll(5)},
      {"unlisted, FDL status", 9600, {0x10, 0x05, 0x00, 0x49, 0x4E, 0x16}},
      {"address 127", 9600, Request(127, 3, 0, 0)},
      {"address 255", 9600, Poll(255)},
      {"short acknowledgement", 9600, kE5},
      {"SD3", 9600, {0xA2, 0x02, 0x00, 0x5C, 0, 0, 0, 0, 0, 0, 0, 0, 0x5E, 0x16}},
      {"token", 9600, {0xDC, 0x02, 0x00}},
  };
  for (const Case& c : cases) {
    Build("2");
    Clear();
    baud = c.localBaud;
    Local(c.chunk);
    EXPECT_TRUE(local.empty()) << c.what;
    EXPECT_TRUE(module.empty()) << c.what;
    EXPECT_TRUE(logs.empty()) << c.what;
    EXPECT_FALSE(ppi.NeedPoll(2) || ppi.PollForwarded(2)) << c.what;
  }
}

TEST_F(PpiAssistTest, ModuleDataKeptOnlyAsSd2ResponseOfAStation) {
  Bytes full(256, 0x00);  // the largest response that fits
  full[0] = full[3] = 0x68;
  full[5] = 0x02;
  full[8] = 0x03;
  full[255] = 0x16;
  full = WithFcs(full);
  Bytes badFcs = full;
  badFcs[254] ^= 0x01;  // damaged on the module's line
  Bytes tooLong = full;
  tooLong.push_back(0x16);
  Bytes fromStation127 = full;
  fromStation127[5] = 0x7F;
  struct Case {
    const char* what;
    Bytes data;
    bool stored;
  } cases[] = {
      {"256 bytes", full, true},
      {"bad FCS", badFcs, false},
      {"257 bytes", tooLong, false},
      {"station 127", fromStation127, false},
      {"short acknowledgement", kE5, false},
      {"SD1", Poll(2), false},
  };
  for (const Case& c : cases) {
    Build("2");
    Local(Request(2, 1, 0, 0));
    FromModule(c.data);
    Clear();
    Local(Poll(2));
    ASSERT_EQ(local.size(), 1u) << c.what;
    EXPECT_EQ(local[0].size(), c.stored ? 256u : 1u) << c.what;
  }
}

TEST_F(PpiAssistTest, TruncatedChunksAreDroppedSafely) {
  Build("2");
  const Bytes request = Request(2, 3, 0x34, 0x12);
  const Bytes response = {0x68, 0x0D, 0x0D, 0x68, 0x00, 0x02, 0x08, 0x32, 0x03, 0x00,
                          0x00, 0x99, 0x99, 0x00, 0x00, 0x00, 0x00, 0x71, 0x16};
  ppi.LocalChunk(nullptr, 0, io);
  ppi.ModuleData(nullptr, 0, io);
  for (std::size_t n = 1; n < 13; ++n) {
    Clear();
    Local(Bytes(request.begin(), request.begin() + static_cast<std::ptrdiff_t>(n)));
    FromModule(Bytes(response.begin(), response.begin() + static_cast<std::ptrdiff_t>(n)));
    const std::string line = "SD2 too short (" + std::to_string(n) + " bytes), dropped\r\n";
    EXPECT_EQ(logs, (std::vector<std::string>{line, line}));
    EXPECT_TRUE(local.empty() && module.empty());
    EXPECT_FALSE(ppi.ResponseReady(2));
  }
  for (const Bytes& sd1 : {Poll(2), Bytes{0x10, 0x02, 0x00, 0x49, 0x4B, 0x16}})
    for (std::size_t n = 1; n < 6; ++n) {
      Clear();
      Local(Bytes(sd1.begin(), sd1.begin() + static_cast<std::ptrdiff_t>(n)));
      EXPECT_EQ(logs, std::vector<std::string>{"SD1 too short (" + std::to_string(n) + " bytes), dropped\r\n"});
      EXPECT_TRUE(local.empty() && module.empty());
    }
  // The shortest frames that are long enough are served.
  Clear();
  Local(Bytes(request.begin(), request.begin() + 13));
  FromModule(WithFcs(Bytes(response.begin(), response.begin() + 13)));
  Local(Poll(2));
  EXPECT_EQ(local.size(), 2u);
  EXPECT_EQ(local.back().size(), 13u);
}

TEST_F(PpiAssistTest, UnbuiltTableServesNothing) {
  Local(Request(2, 1, 0, 0));
  Local(Poll(2));
  Build("2");
  ppi.Discard();
  Local(Request(2, 1, 0, 0));
  FromModule({0x68, 0x0D, 0x0D, 0x68, 0x00, 0x02, 0x08, 0x32, 0x03, 0x00, 0x00, 0x01, 0x00, 0, 0, 0, 0, 0x40, 0x16});
  Local(Poll(2));
  EXPECT_TRUE(local.empty() && module.empty());
  EXPECT_FALSE(ppi.ResponseReady(2));
}

}  // namespace
