// The serial channel against a fake local port and a scripted server on the manual loop.
#include "tunnel/com_chanel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devices/vir_com_port.h"
#include "devices/zn_common_fun.h"
#include "diagnostics/server_log.h"
#include "platform/manual_loop.h"
#include "support/scripted_server.h"
#include "tunnel/client.h"
#include "tunnel/wire_format.h"

namespace murvik {
namespace {

using B = std::vector<std::uint8_t>;

struct FakePort : IVirComPort {
  explicit FakePort(VirComPortRequest r) : request(std::move(r)) {}
  bool Open() override { return openResult; }
  bool Write(const std::uint8_t* b, std::size_t n) override {
    std::lock_guard lock(writeMutex);
    written.insert(written.end(), b, b + n);
    return true;
  }
  B Written() const {
    std::lock_guard lock(writeMutex);
    return written;
  }
  bool Close() override { return true; }
  wire::LineSettings Line() const override { return line; }
  VirComPortRequest request;
  bool openResult = true;
  mutable std::mutex writeMutex;  // the session's receive thread may write
  B written;
  wire::LineSettings line{19200, 8, 2, 0};
};

class ComChanelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClientServices() = TClientServices{};
    ClientServices().loop = &loop;
    ClientServices().pinWiring = [this](const std::string& vport, bool on) {
      pins.push_back(vport + (on ? " on" : " off"));
    };
    VirComPorts() = [this](const VirComPortRequest& r) -> std::unique_ptr<IVirComPort> {
      if (!portAvailable) return nullptr;
      auto p = std::make_unique<FakePort>(r);
      port = p.get();
      return p;
    };
    SetMessageHandler([this](MessageKind, const std::string&, const std::string& t) {
      messages.push_back(t);
      return false;
    });
    SetLogObserver([this](int level, std::string_view t) {
      std::lock_guard lock(logMutex);
      logs.emplace_back(std::to_string(level) + " " + std::string(t));
    });
    session = std::make_unique<TClient>(0);
    session->LOGNAME = "127.0.0.1";
    session->LOGPORT = server.Port();
    session->SN = "12345678901";
    ASSERT_TRUE(test::RegisterWith(loop, server, *session));
    chan.USE = 1;
    chan.VPORT = "COM5";
  }
  void TearDown() override {
    chan.Close();
    session.reset();
    VirComPorts() = nullptr;
    SetMessageHandler(nullptr);
    SetLogObserver(nullptr);
    ClientServices() = TClientServices{};
  }
  bool Logged(const std::string& line) {
    std::lock_guard lock(logMutex);
    for (const auto& l : logs)
      if (l == line) return true;
    return false;
  }
  bool NoneOf(std::uint16_t command) {
    while (auto d = server.Next(30))
      if (d->command() == command) return false;
    return true;
  }
  B ConfigAck(B payload) {
    auto p = test::Packet(wire::COM_CONFIG_ACK, payload);
    return p;
  }
  void Configure() {
    chan.OnTimer();
    ASSERT_TRUE(server.NextOf(wire::COM_CONFIG));
    auto ack = ConfigAck({static_cast<std::uint8_t>(chan.ChannelNumber()), 0, 0, 0});
    chan.OnCommandAck(ack.data(), ack.size());
    ASSERT_TRUE(chan.IsReady());
  }

  platform::ManualLoop loop;
  test::ScriptedServer server;
  std::unique_ptr<TClient> session;
  TComChanel chan{"COM2"};
  FakePort* port = nullptr;
  bool portAvailable = true;
  std::vector<std::string> pins, messages;
  std::mutex logMutex;
  std::vector<std::string> logs;
};

TEST_F(ComChanelTest, OpenFailsWithTheUsersMessageAndMitsubishiPinsAreRestoredAnyway) {
  portAvailable = false;
  chan.PlcType = 4;
  EXPECT_FALSE(chan.Open(session.get()));
  EXPECT_EQ(messages, std::vector<std::string>{"打开COM5失败"});
  EXPECT_TRUE(Logged("3 MITSUBISH Q SERIES"));
  chan.Close();  // the session start closes every enabled channel after a failure
  EXPECT_EQ(pins, (std::vector<std::string>{"COM5 on", "COM5 off"}));

  portAvailable = true;
  chan.PlcType = 1;
  EXPECT_TRUE(chan.Open(session.get()));
  EXPECT_TRUE(chan.IsOpen());
  EXPECT_TRUE(Logged("3 NORMAL PLC"));
  EXPECT_EQ(port->request.portName, "COM5");
  EXPECT_EQ(port->request.byteSize, 8);
  EXPECT_EQ(port->request.parity, 2);
}

TEST_F(ComChanelTest, ConfigurationHandshakeRepeatsEveryThreeSecondsUntilAccepted) {
  chan.TransMode = 0;
  ASSERT_TRUE(chan.Open(session.get()));
  chan.OnTimer();
  auto cfg = server.NextOf(wire::COM_CONFIG);
  ASSERT_TRUE(cfg);
  EXPECT_EQ(B(cfg->bytes.begin() + 16, cfg->bytes.end()), (B{1, 0, 1, 0, 0, 0}));  // COM2, PlcType 1, mode 0
  EXPECT_TRUE(Logged("3 [COM2] Confige Chanel"));

  for (const B& ignored : {B{1, 0, 9}, B{1, 0, 5, 0}}) {  // length 3; new form refused
    auto ack = ConfigAck(ignored);
    chan.OnCommandAck(ack.data(), ack.size());
    EXPECT_FALSE(chan.IsReady());
  }
  loop.Advance(2900);
  chan.OnTimer();
  EXPECT_TRUE(NoneOf(wire::COM_CONFIG)) << "the session's own queries go on meanwhile";
  loop.Advance(100);
  chan.OnTimer();
  EXPECT_TRUE(server.NextOf(wire::COM_CONFIG));

  auto old = ConfigAck({1, 0});
  chan.OnCommandAck(old.data(), old.size());
  EXPECT_TRUE(chan.IsReady());
  EXPECT_TRUE(Logged("3 [COM2] Recv Command Ack From IOServer, old mode"));
  chan.Reset();
  EXPECT_FALSE(chan.IsReady());
  auto fresh = ConfigAck({1, 0, 0, 0});
  chan.OnCommandAck(fresh.data(), fresh.size());
  EXPECT_TRUE(Logged("3 [COM2] Recv Command Ack From IOServer, new mode"));
}

TEST_F(ComChanelTest, LocalBytesBeforeTheHandshakeAreLostAndCountedNowhere) {
  ASSERT_TRUE(chan.Open(session.get()));
  const std::uint8_t bytes[] = {1, 2, 3};
  chan.ReceiveFromLocalPort(bytes, 3);
  EXPECT_EQ(chan.bytesToModule.load(), 0);
  chan.OnTimer();
  ASSERT_TRUE(server.NextOf(wire::COM_CONFIG));
  EXPECT_TRUE(server.Quiet());
}

TEST_F(ComChanelTest, TransparentFramesCarryTheLineSettingsOfTheLocalPort) {
  chan.TransMode = 0;
  ASSERT_TRUE(chan.Open(session.get()));
  Configure();
  const std::uint8_t bytes[] = {0xAA, 0xBB, 0xCC};
  chan.ReceiveFromLocalPort(bytes, 3);
  auto frame = server.NextOf(wire::COM_DATA);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->header().length, 6);
  EXPECT_EQ(B(frame->bytes.begin() + 16, frame->bytes.end()), (B{1, 0x49, 0x60, 0xAA, 0xBB, 0xCC}));
  EXPECT_TRUE(Logged("0 [COM2]Send Data To IOServer, SEQ_ID=1, Len=6"));
  EXPECT_EQ(chan.bytesToModule.load(), 3);

  port->line = {57600, 7, 0, 2};  // read for every frame
  chan.ReceiveFromLocalPort(bytes, 1);
  frame = server.NextOf(wire::COM_DATA);
  ASSERT_TRUE(frame);
  EXPECT_EQ(B(frame->bytes.begin() + 16, frame->bytes.begin() + 23), (B{1, 0x80, 0x00, 0xE1, 0x00, 0x08, 0x00}));
}

TEST_F(ComChanelTest, DownloadModeSendsReliablyAndAcknowledgesModuleData) {
  ASSERT_TRUE(chan.Open(session.get()));
  Configure();
  const std::uint8_t bytes[] = {7};
  chan.ReceiveFromLocalPort(bytes, 1);
  chan.ReceiveFromLocalPort(bytes, 1);
  auto first = server.NextOf(wire::COM_DATA);
  ASSERT_TRUE(first);
  EXPECT_TRUE(server.Quiet()) << "the second waits for the first's acknowledgement";
  auto ack = test::Packet(wire::COM_DATA_ACK_FROM_MODULE, {1}, 5, first->header().seqId);
  chan.OnDataAck(ack.data(), ack.size());
  EXPECT_TRUE(server.NextOf(wire::COM_DATA));

  auto data = test::Packet(wire::COM_DATA_FROM_MODULE, {1, 'o', 'k'}, 5, 40);
  chan.OnData(data.data(), data.size());
  chan.OnData(data.data(), data.size());  // repeated: acknowledged again, written once
  for (int i = 0; i < 2; ++i) {
    auto a = server.NextOf(wire::COM_DATA_ACK);
    ASSERT_TRUE(a) << i;
    EXPECT_EQ(a->header().seqId, 40u);
  }
  EXPECT_EQ(port->written, (B{'o', 'k'}));
  EXPECT_EQ(chan.bytesFromModule.load(), 2);
  EXPECT_TRUE(Logged("3 [COM2]Recv Data From IOServer, SEQ_ID=40, Len=3"));
}

TEST_F(ComChanelTest, PlcTypeZeroDropsLocalBytesButWritesModuleData) {
  chan.PlcType = 0;
  chan.TransMode = 0;
  ASSERT_TRUE(chan.Open(session.get()));
  Configure();
  const std::uint8_t bytes[] = {1};
  chan.ReceiveFromLocalPort(bytes, 1);
  EXPECT_TRUE(server.Quiet());
  auto data = test::Packet(wire::COM_DATA_FROM_MODULE, {1, 'x'}, 5, 3);
  chan.OnData(data.data(), data.size());
  EXPECT_EQ(port->written, (B{'x'}));
  chan.Close();
  chan.OnData(data.data(), data.size());  // not open: dropped
}

TEST_F(ComChanelTest, S7200TrafficGoesThroughTheLinkAssistance) {
  chan.PlcType = 2;
  chan.TransMode = 0;
  chan.Other = "2";
  chan.BaudRate = 19200;  // the fake port runs at 19200
  ASSERT_TRUE(chan.Open(session.get()));
  EXPECT_TRUE(Logged("3 S7200 PLC"));
  Configure();
  const std::uint8_t fdl[] = {0x10, 0x02, 0x00, 0x49, 0x4B, 0x16};
  chan.ReceiveFromLocalPort(fdl, sizeof fdl);
  EXPECT_EQ(port->written, (B{0x10, 0x02, 0x00, 0x00, 0x02, 0x16})) << "answered on the PC side";
  EXPECT_TRUE(NoneOf(wire::COM_DATA));

  port->written.clear();
  B request = {0x68, 0x1B, 0x1B, 0x68, 0x02, 0x00, 0x6C, 0x32, 0x01, 0x00, 0x00, 0x34, 0x12};
  request.resize(33, 0);
  request[31] = 0x00;  // checksum position; the channel forwards the frame as it is
  request[32] = 0x16;
  chan.ReceiveFromLocalPort(request.data(), request.size());
  EXPECT_EQ(port->written, (B{0xE5}));
  auto frame = server.NextOf(wire::COM_DATA);
  ASSERT_TRUE(frame);
  EXPECT_EQ(B(frame->bytes.begin() + 19, frame->bytes.end()), request);
}


// With direct delivery the receive thread writes module data to the port itself, but only when
// nothing waits in the ring ahead of it, so bytes keep the order the module sent them in.
TEST_F(ComChanelTest, DirectDeliveryKeepsTheModulesOrder) {
  ClientServices().directComDelivery = true;
  test::ScriptedServer module;
  TClient direct(0);
  direct.LOGNAME = "127.0.0.1";
  direct.LOGPORT = module.Port();
  direct.SN = "12345678902";
  auto owned = std::make_unique<TComChanel>("COM1");
  owned->USE = 1;
  owned->TransMode = 0;
  owned->VPORT = "COM6";
  TComChanel* com1 = owned.get();
  direct.channels.push_back(std::move(owned));
  ASSERT_TRUE(test::RegisterWith(loop, module, direct));
  ASSERT_TRUE(test::DeliverTo(loop, module, test::QueryAck(0, 1, 1, 77)));
  ASSERT_TRUE(module.NextOf(wire::QUERY_PARAM));
  ASSERT_TRUE(test::DeliverTo(loop, module, test::ParamAck("DLXK2-4G", "N2W", 31, 1)));
  ASSERT_EQ(direct.LinkState(), 2);
  loop.Advance(100);
  ASSERT_TRUE(module.NextOf(wire::COM_CONFIG));
  ASSERT_TRUE(test::DeliverTo(loop, module, ConfigAck({0, 0, 0, 0})));
  ASSERT_TRUE(com1->IsReady());

  std::uint32_t seq = 0;
  B expected;
  auto sendFrames = [&](int count) {
    for (int i = 0; i < count; ++i) {
      ++seq;
      const auto hi = static_cast<std::uint8_t>(seq >> 8), lo = static_cast<std::uint8_t>(seq);
      module.Send(test::Packet(wire::COM_DATA_FROM_MODULE, {0, hi, lo}, 5, seq));
      expected.insert(expected.end(), {hi, lo});
    }
  };
  auto waitForAll = [&](bool runLoop) {
    for (int i = 0; i < 400 && port->Written().size() < expected.size(); ++i) {
      if (runLoop) loop.RunPending();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return port->Written();
  };

  // A datagram the loop has not handled yet holds back every frame behind it.
  module.Send(test::Packet(wire::PING_ACK, {}, 5, 1));
  sendFrames(50);
  ASSERT_TRUE(loop.WaitForPosted(2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(port->Written().empty()) << "frames overtook the queued datagram";
  EXPECT_EQ(waitForAll(true), expected);

  // Nothing waiting: frames reach the port without the loop running.
  sendFrames(200);
  EXPECT_EQ(waitForAll(false), expected);

  // The debug hook sees everything, so with a hook installed frames go through the loop again.
  direct.InstallHook([](const std::uint8_t*, std::size_t, void*) { return false; }, nullptr);
  sendFrames(1);
  ASSERT_TRUE(loop.WaitForPosted(2000)) << "the frame bypassed the hook";
  EXPECT_EQ(waitForAll(true), expected);
  direct.RemoveHook();
  direct.Stop();
}

}  // namespace
}  // namespace murvik
