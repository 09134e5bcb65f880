// The port service on the hidden end of a real pair.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "devices/vir_com.h"
#include "devices/vir_com_mgr.h"
#include "platform/paths.h"
#include "platform/serial_pair.h"
#include "support/serial_pair_fixture.h"

namespace murvik {
namespace {

using VirComTest = test::SerialPairFixture;
using test::kDriverFolder;
using test::WaitFor;

TEST_F(VirComTest, PortServiceCarriesBytesAndSeesTheLine) {
  Setupc("INSTALL PortName=COM# -");
  Setupc("INSTALL PortName=COM# -");
  CVirComMgr mgr(kDriverFolder);
  mgr.RefreshPorts();
  std::mutex m;
  std::string received;
  VirComPortRequest request{"COM2",
                            [&](const std::uint8_t* b, std::size_t n) {
                              std::lock_guard lock(m);
                              received.append(reinterpret_cast<const char*>(b), n);
                            },
                            7, 2};
  ASSERT_TRUE(WaitIdle(Visible(2)));  // a program came and went before the session
  TVirCom port(request, [&](const std::string& com) { return mgr.HiddenPortName(com); }, kDriverFolder);
  ASSERT_TRUE(port.Open());
  TVirCom second(request, [&](const std::string& com) { return mgr.HiddenPortName(com); }, kDriverFolder);
  EXPECT_FALSE(second.Open());  // one session per pair
  TVirCom unlisted({"COM7", nullptr, 8, 0}, [&](const std::string& com) { return mgr.HiddenPortName(com); }, kDriverFolder);
  EXPECT_FALSE(unlisted.Open());

  int fd = open(Visible(2).c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  struct Case {
    std::uint32_t baud;
    int stopBits;
  };
  const Case cases[] = {{14400, 2}, {56000, 0}, {128000, 0}, {256000, 2}, {9600, 0}};
  for (const auto& c : cases) {
    ASSERT_TRUE(platform::SetSerialLine(fd, {c.baud, 8, 0, c.stopBits}));
    std::string text = "rate " + std::to_string(c.baud);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    EXPECT_TRUE(WaitFor([&] {
      std::lock_guard lock(m);
      return received.find(text) != std::string::npos;
    }));
    wire::LineSettings line = port.Line();
    EXPECT_EQ(line.baudRate, c.baud);
    EXPECT_EQ(line.stopBits, c.stopBits);
    EXPECT_EQ(line.byteSize, 7);  // the channel's, a pty keeps none
    EXPECT_EQ(line.parity, 2);
  }

  const std::string reply = "from the module";
  EXPECT_TRUE(port.Write(reinterpret_cast<const std::uint8_t*>(reply.data()), reply.size()));
  std::string got;
  EXPECT_TRUE(WaitFor([&] {
    char buf[64];
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    ssize_t n = read(fd, buf, sizeof buf);
    fcntl(fd, F_SETFL, flags);
    if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    return got == reply;
  })) << got;

  port.Close();
  // The holder has the end again: the next session opens it, and writes go nowhere meanwhile.
  ASSERT_TRUE(WritesMegabyteWithoutBlocking(fd, 1));
  EXPECT_TRUE(second.Open());
  second.Close();
  close(fd);
}

TEST_F(VirComTest, PortServiceRestartsAMissingHolder) {
  Setupc("INSTALL PortName=COM# -");
  ASSERT_TRUE(platform::StopPairHolder(state_.Path(), 0));
  TVirCom port({"COM1", nullptr, 8, 0}, [](const std::string&) { return std::string("CNCB0"); }, kDriverFolder);
  EXPECT_TRUE(port.Open());
  EXPECT_TRUE(platform::FileExists(Visible(1)));
  port.Close();
}

// Module data arrives in bursts faster than a program may read: the pty's buffer is small, so
// the surplus must wait, not vanish.
TEST_F(VirComTest, ASlowReaderStillGetsEveryByte) {
  Setupc("INSTALL PortName=COM# -");
  TVirCom port({"COM1", nullptr, 8, 0}, [](const std::string&) { return std::string("CNCB0"); }, kDriverFolder);
  ASSERT_TRUE(port.Open());
  int fd = open(Visible(1).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(platform::SetSerialLine(fd, {115200, 8, 0, 0}));
  std::string sent;
  for (int i = 0; sent.size() < 256 * 1024; ++i) {
    std::string chunk(512, static_cast<char>('a' + i % 26));
    chunk[0] = static_cast<char>(i);
    ASSERT_TRUE(port.Write(reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size())) << i;
    sent += chunk;
  }
  std::string got;
  EXPECT_TRUE(WaitFor([&] {
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) got.append(buf, static_cast<std::size_t>(n));
    return got.size() >= sent.size();
  }));
  EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size() << " bytes";
  close(fd);
  port.Close();
}

// The hidden end resets the line on the last close too, so settings keep succeeding in a session.
TEST_F(VirComTest, EverySettingSucceedsWhileASessionHoldsThePair) {
  Setupc("INSTALL PortName=COM# -");
  TVirCom port({"COM1", nullptr, 8, 0}, [](const std::string&) { return std::string("CNCB0"); }, kDriverFolder);
  ASSERT_TRUE(port.Open());
  std::string path = Visible(1);
  for (int round = 0; round < 2; ++round) {
    for (auto baud : wire::kBaudTable) {
      for (const auto& f : test::kFormats) {
        ASSERT_TRUE(WaitIdle(path));
        int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(platform::SetSerialLine(fd, {baud, f.byteSize, f.parity, 0}))
            << "round " << round << " " << baud << " " << f.byteSize << "/" << f.parity;
        close(fd);
      }
    }
  }
  port.Close();
}

}  // namespace
}  // namespace murvik
