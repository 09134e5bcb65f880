#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "diagnostics/server_log.h"
#include "platform/net.h"
#include "platform/process.h"

using murvik::platform::ChildProcess;

namespace {

const std::string kLogview = std::string(MURVIK_BIN_DIR) + "/tools/logview/murvik-logview";

// The viewer with standard output and standard error on one pipe.
class Logview {
 public:
  explicit Logview(std::vector<std::string> args) {
    args.insert(args.begin(), kLogview);
    EXPECT_EQ(child_.Start(args, true), 0) << kLogview;
  }

  // Reads until pred(output) holds or the viewer ends; the bound only keeps a broken viewer from
  // hanging the run.
  template <class Pred>
  bool ReadUntil(Pred pred) {
    for (int round = 0; round < 3000; ++round) {
      if (pred(output_)) return true;
      char buf[4096];
      long waiting = child_.BytesWaiting();
      if (waiting > 0) {
        long n = child_.Read(buf, sizeof buf);
        if (n > 0) output_.append(buf, static_cast<std::size_t>(n));
        continue;
      }
      if (child_.HasEnded()) {
        while ((waiting = child_.BytesWaiting()) > 0) {
          long n = child_.Read(buf, sizeof buf);
          if (n <= 0) break;
          output_.append(buf, static_cast<std::size_t>(n));
        }
        return pred(output_);
      }
      child_.WaitForOutput(10);
    }
    return false;
  }

  // The port it listens on, from its start-up note.
  std::uint16_t Port() {
    std::smatch m;
    static const std::regex kListening("listening on 127\\.0\\.0\\.1:(\\d+)\n");
    EXPECT_TRUE(ReadUntil([&](const std::string& out) { return std::regex_search(out, m, kListening); })) << output_;
    return m.empty() ? 0 : static_cast<std::uint16_t>(std::stoi(m[1].str()));
  }

  // Reads everything up to the viewer's end.
  bool WaitForEnd() {
    ReadUntil([](const std::string&) { return false; });
    return child_.HasEnded();
  }

  ChildProcess child_;
  std::string output_;
};

std::vector<unsigned char> Datagram(std::uint16_t textSize, std::vector<unsigned char> text) {
  std::vector<unsigned char> d = {0xE8, 0xFD, 3, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  d.push_back(static_cast<unsigned char>(textSize));
  d.push_back(static_cast<unsigned char>(textSize >> 8));
  d.insert(d.end(), text.begin(), text.end());
  return d;
}

TEST(Logview, PrintsEachLogLineAndRejectsMalformedDatagrams) {
  Logview viewer({"--port", "0", "--count", "3"});
  const std::uint16_t port = viewer.Port();
  ASSERT_NE(port, 0);

  struct Bad {
    std::vector<unsigned char> bytes;
    const char* reason;
  } bad[] = {
      {{1, 2, 3, 4, 5}, "too short"},
      {Datagram(3, {'a', 0, 0}), "bad text size 3"},
      {Datagram(100, {'a', 0}), "exceeds the datagram"},
      {Datagram(4, {'a', 0, 'b', 0}), "not terminated"},
      {Datagram(2, {0, 0, 'x', 0}), "2 bytes after the text"},
  };
  murvik::platform::UdpSocket raw;
  ASSERT_TRUE(raw.Open());
  const murvik::platform::SockAddrV4 to{murvik::platform::Ipv4FromText("127.0.0.1"), port};
  for (const auto& b : bad) ASSERT_EQ(raw.SendTo(to, b.bytes.data(), b.bytes.size()), static_cast<long>(b.bytes.size()));

  murvik::TServerLog log;
  ASSERT_TRUE(log.Open(murvik::TServerLog::kSourceId, port));
  log.Log(3, "DoNAK()\r\n");
  log.Log(0, "COM1 发送 8 字节");
  log.Log(1, "two\r\nlines\r\n");
  ASSERT_TRUE(viewer.WaitForEnd()) << viewer.output_;
  EXPECT_EQ(viewer.child_.ExitStatus(), 0);

  const std::string& out = viewer.output_;
  for (const auto& b : bad) EXPECT_NE(out.find(b.reason), std::string::npos) << b.reason << "\n" << out;
  const std::string stamp = R"(\d\d-\d\d,\d\d:\d\d:\d\d\.\d\d\d)";
  const std::string expected[] = {
      "\n#1 L3 " + stamp + R"( \[src 65000\] DoNAK\(\)\n)",
      "\n#2 L0 " + stamp + R"( \[src 65000\] COM1 发送 8 字节\n)",
      "\n#3 L1 " + stamp + R"( \[src 65000\] two\\r\\nlines\n)",
  };
  for (const auto& e : expected) EXPECT_TRUE(std::regex_search(out, std::regex(e))) << e << "\n" << out;
}

TEST(Logview, StopsCleanlyOnTerminate) {
  Logview viewer({"--port", "0"});
  ASSERT_NE(viewer.Port(), 0);
  viewer.child_.Terminate();
  ASSERT_TRUE(viewer.WaitForEnd());
  EXPECT_EQ(viewer.child_.ExitStatus(), 0);
}

TEST(Logview, RefusesBadArguments) {
  Logview viewer({"--port", "70000"});
  ASSERT_TRUE(viewer.WaitForEnd());
  EXPECT_EQ(viewer.child_.ExitStatus(), 2);
  EXPECT_NE(viewer.output_.find("usage:"), std::string::npos);
}

}  // namespace
