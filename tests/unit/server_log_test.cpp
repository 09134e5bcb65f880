#include "diagnostics/server_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "platform/text.h"

using murvik::TServerLog;
using murvik::platform::UdpSocket;

namespace {

struct Datagram {
  std::uint16_t source = 0, level = 0, textSize = 0;
  std::uint32_t sequence = 0;
  std::int64_t time = 0;
  std::u16string text;  // without the terminating zero
  std::size_t size = 0;
  bool terminated = false;
};

std::uint64_t Le(const unsigned char* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// A loopback receiver on a port of its own and a sender opened towards it.
class ServerLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(rx_.Open());
    ASSERT_TRUE(rx_.Bind(murvik::platform::Ipv4FromText("127.0.0.1"), 0));
    port_ = rx_.LocalPort();
  }

  Datagram Receive() {
    unsigned char buf[8192];
    long n = rx_.Receive(buf, sizeof buf, nullptr, -1, 10000);
    Datagram d;
    if (n < 18) {
      ADD_FAILURE() << "no datagram";
      return d;
    }
    d.size = static_cast<std::size_t>(n);
    d.source = static_cast<std::uint16_t>(Le(buf, 2));
    d.level = static_cast<std::uint16_t>(Le(buf + 2, 2));
    d.sequence = static_cast<std::uint32_t>(Le(buf + 4, 4));
    d.time = static_cast<std::int64_t>(Le(buf + 8, 8));
    d.textSize = static_cast<std::uint16_t>(Le(buf + 16, 2));
    if (d.textSize >= 2 && 18u + d.textSize <= d.size) {
      for (std::size_t i = 0; i + 1 < d.textSize / 2u; ++i) d.text += static_cast<char16_t>(Le(buf + 18 + 2 * i, 2));
      d.terminated = Le(buf + 18 + d.textSize - 2, 2) == 0;
    }
    return d;
  }

  UdpSocket rx_;
  std::uint16_t port_ = 0;
  TServerLog log_;
};

TEST_F(ServerLogTest, DatagramLayout) {
  ASSERT_TRUE(log_.Open(TServerLog::kSourceId, port_));
  const std::int64_t before = murvik::LocalMsSince1899();
  log_.Log(3, "DoNAK()\r\n");
  const std::int64_t after = murvik::LocalMsSince1899();
  Datagram d = Receive();
  EXPECT_EQ(d.size, 38u);
  EXPECT_EQ(d.source, 65000);
  EXPECT_EQ(d.level, 3);
  EXPECT_EQ(d.sequence, 1u);
  EXPECT_EQ(d.textSize, 20);
  EXPECT_TRUE(d.terminated);
  EXPECT_EQ(d.text, u"DoNAK()\r\n");
  EXPECT_GE(d.time, before);
  EXPECT_LE(d.time, after);

  log_.Log(0, "x");
  d = Receive();
  EXPECT_EQ(d.sequence, 2u);
  EXPECT_EQ(d.level, 0);
  EXPECT_EQ(log_.Counter(), 2u);
}

TEST_F(ServerLogTest, TextsAreConvertedAndCut) {
  const std::string a1999(1999, 'a');
  struct Case {
    std::string text;
    std::u16string expected;
  } cases[] = {
      {"", u""},
      {std::string(2500, 'x'), std::u16string(2000, u'x')},
      {std::string(2000, 'y'), std::u16string(2000, u'y')},
      {"错误：串口 COM5 打开失败\r\n", u"错误：串口 COM5 打开失败\r\n"},
      {"\xF0\x9F\x98\x80!", u"\U0001F600!"},
      // A surrogate pair that does not fit is left out whole.
      {a1999 + "\xF0\x9F\x98\x80", std::u16string(1999, u'a')},
      {"bad\xFF" "byte\xE4\xB8", u"bad\uFFFDbyte\uFFFD"},
  };
  ASSERT_TRUE(log_.Open(TServerLog::kSourceId, port_));
  for (const auto& c : cases) {
    log_.Log(3, c.text);
    Datagram d = Receive();
    EXPECT_EQ(d.text, c.expected) << c.text.substr(0, 40);
    EXPECT_EQ(d.textSize, 2 * (c.expected.size() + 1));
    EXPECT_EQ(d.size, 18 + d.textSize);
    EXPECT_TRUE(d.terminated);
  }
}

TEST_F(ServerLogTest, LongTextIsA4020ByteDatagram) {
  ASSERT_TRUE(log_.Open(TServerLog::kSourceId, port_));
  log_.Log(3, std::string(2500, 'z'));
  Datagram d = Receive();
  EXPECT_EQ(d.size, 4020u);
  EXPECT_EQ(d.textSize, 4002);
}

TEST_F(ServerLogTest, NothingIsSentBeforeOpenOrAfterClose) {
  log_.Log(3, "early\r\n");
  EXPECT_FALSE(log_.Ready());
  EXPECT_EQ(log_.Counter(), 0u);

  ASSERT_TRUE(log_.Open(TServerLog::kSourceId, port_));
  EXPECT_TRUE(log_.Ready());
  log_.Log(3, "first\r\n");
  Datagram d = Receive();
  EXPECT_EQ(d.sequence, 1u);
  EXPECT_EQ(d.text, u"first\r\n");

  log_.Close();
  log_.Log(3, "late\r\n");
  EXPECT_EQ(log_.Counter(), 1u);
  unsigned char buf[64];
  EXPECT_EQ(rx_.TryReceive(buf, sizeof buf, nullptr), -1);  // "early" never left either
}

// Nobody listens at first: the sender rests instead of paying for every lost line, keeps
// numbering them, and a viewer that starts listening gets lines again.
TEST_F(ServerLogTest, ARefusedLineRestsTheSenderUntilAViewerListens) {
  rx_.Close();
  ASSERT_TRUE(log_.Open(TServerLog::kSourceId, port_));
  bool resting = false;
  for (int i = 0; i < 100 && !resting; ++i) {  // until the refusal has come back
    log_.Log(3, "nobody hears this\r\n");
    resting = log_.SkipWhileResting();
    if (!resting) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(resting);
  const std::uint32_t counted = log_.Counter();

  ASSERT_TRUE(rx_.Open());
  ASSERT_TRUE(rx_.Bind(murvik::platform::Ipv4FromText("127.0.0.1"), port_));
  unsigned char buf[256];
  long n = -1;
  for (int i = 0; i < 300 && n < 0; ++i) {
    log_.Log(3, "heard\r\n");
    n = rx_.Receive(buf, sizeof buf, nullptr, -1, 10);
  }
  ASSERT_GE(n, 18);
  EXPECT_GT(Le(buf + 4, 4), counted);  // the rested lines kept their numbers
}

TEST_F(ServerLogTest, ConcurrentCallersNeverMixTheirLines) {
  ASSERT_TRUE(rx_.SetReceiveBuffer(1 << 20));
  ASSERT_TRUE(log_.Open(TServerLog::kSourceId, port_));
  constexpr int kThreads = 4, kLines = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      // Each thread's lines have their own length and letter, so a mixed buffer shows.
      const std::string text(10 + 40 * t, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) log_.Log(3, text);
    });
  }
  std::vector<bool> seen(kThreads * kLines + 1, false);
  unsigned char buf[8192];
  for (auto& th : threads) th.join();
  EXPECT_EQ(log_.Counter(), static_cast<std::uint32_t>(kThreads * kLines));
  // Loopback may drop datagrams when the receive buffer fills; whatever arrived must be whole.
  long n;
  while ((n = rx_.TryReceive(buf, sizeof buf, nullptr)) >= 0) {
    ASSERT_GE(n, 20);
    const auto seq = static_cast<std::uint32_t>(Le(buf + 4, 4));
    ASSERT_GE(seq, 1u);
    ASSERT_LE(seq, static_cast<std::uint32_t>(kThreads * kLines));
    EXPECT_FALSE(seen[seq]) << "sequence number used twice: " << seq;
    seen[seq] = true;
    const auto units = static_cast<std::size_t>(Le(buf + 16, 2)) / 2 - 1;
    ASSERT_EQ(static_cast<std::size_t>(n), 18 + 2 * (units + 1));
    const int t = static_cast<int>((units - 10) / 40);
    ASSERT_EQ(units, static_cast<std::size_t>(10 + 40 * t));
    for (std::size_t i = 0; i < units; ++i) ASSERT_EQ(buf[18 + 2 * i], 'a' + t);
  }
}

TEST(ServerLogGlobal, ObserverSeesEveryLineEvenWithTheSenderClosed) {
  std::vector<std::pair<int, std::string>> seen;
  murvik::SetLogObserver([&](int level, std::string_view text) { seen.emplace_back(level, std::string(text)); });
  murvik::Log(3, "DoNAK()\r\n");
  murvik::LogF(0, "m_nQueryIOServerCnt=%d %s\r\n", 7, "错误");
  murvik::LogF(1, "%s", std::string(9000, 'q').c_str());
  murvik::SetLogObserver(nullptr);
  murvik::Log(3, "unseen");
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], std::make_pair(3, std::string("DoNAK()\r\n")));
  EXPECT_EQ(seen[1], std::make_pair(0, std::string("m_nQueryIOServerCnt=7 错误\r\n")));
  // Formatting is cut at the stack buffer, still far beyond what a datagram keeps.
  EXPECT_EQ(seen[2].first, 1);
  EXPECT_GT(seen[2].second.size(), TServerLog::kMaxChars);
}

}  // namespace
