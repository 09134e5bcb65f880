// Download-mode delivery of a channel: one frame in flight, acknowledgement by SEQ_ID,
// retransmission every second, drop after ten sends, and the repeat filter on reception.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "diagnostics/server_log.h"
#include "platform/manual_loop.h"
#include "support/scripted_server.h"
#include "tunnel/chanel.h"
#include "tunnel/client.h"
#include "tunnel/wire_format.h"

namespace murvik {
namespace {

using test::ScriptedServer;

class TestChanel : public TChanel {
 public:
  TestChanel() : TChanel(kSerial) {}
  void Attach(TClient* s) { session_ = s; }
  void SetCounter(std::uint32_t v) { seqCounter_ = v; }
  using TChanel::AcceptReceived;
  using TChanel::AcknowledgeReceived;
  using TChanel::HandleDataAck;
  using TChanel::ReliableSend;
  using TChanel::RetransmitTick;
};

class ReliableDeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClientServices() = TClientServices{};
    ClientServices().loop = &loop;
    SetLogObserver([this](int, std::string_view t) {
      std::lock_guard lock(logMutex);
      logs.emplace_back(t);
    });
    session = std::make_unique<TClient>(0);
    session->LOGNAME = "127.0.0.1";
    session->LOGPORT = server.Port();
    session->SN = "12345678901";
    ASSERT_TRUE(test::RegisterWith(loop, server, *session));
    chan.Attach(session.get());
  }
  void TearDown() override {
    chan.Attach(nullptr);
    session.reset();
    SetLogObserver(nullptr);
    ClientServices() = TClientServices{};
  }
  // A COM_DATA frame with the channel's next SEQ_ID.
  std::vector<std::uint8_t> Frame(std::uint8_t byte) {
    std::uint8_t out[64];
    std::size_t n = wire::EncodeComData(out, sizeof out, chan.NextSeqId(), 0, {}, &byte, 1);
    return std::vector<std::uint8_t>(out, out + n);
  }
  // SEQ_IDs of the COM_DATA the server receives until it goes quiet.
  std::vector<std::uint32_t> Sent() {
    std::vector<std::uint32_t> out;
    while (auto d = server.Next(30))
      if (d->command() == wire::COM_DATA) out.push_back(d->header().seqId);
    return out;
  }
  int CountLogs(const std::string& prefix) {
    std::lock_guard lock(logMutex);
    int n = 0;
    for (const auto& l : logs) n += l.rfind(prefix, 0) == 0;
    return n;
  }
  // Ticks the retransmission step every 100 ms for ms milliseconds.
  void Tick(std::uint32_t ms) {
    for (std::uint32_t t = 0; t < ms; t += 100) {
      loop.Advance(100);
      chan.RetransmitTick();
    }
  }

  platform::ManualLoop loop;
  ScriptedServer server;
  std::unique_ptr<TClient> session;
  TestChanel chan;
  std::mutex logMutex;
  std::vector<std::string> logs;
};

TEST_F(ReliableDeliveryTest, OneFrameInFlightReleasedByItsAcknowledgement) {
  for (std::uint8_t b : {1, 2, 3}) ASSERT_TRUE(chan.ReliableSend(Frame(b).data(), 20, 1));
  EXPECT_EQ(Sent(), (std::vector<std::uint32_t>{1}));
  EXPECT_EQ(CountLogs("[COM1]Send Data To IOServer, buffered!!! "), 2);
  chan.HandleDataAck(7, 1, true);  // not the frame in flight
  EXPECT_TRUE(Sent().empty());
  chan.HandleDataAck(1, 1, false);  // not in download mode
  EXPECT_TRUE(Sent().empty());
  chan.HandleDataAck(1, 1, true);
  EXPECT_EQ(Sent(), (std::vector<std::uint32_t>{2}));
  EXPECT_EQ(CountLogs("[COM1]Prev Acked, Send Buffered Data To IOServer, SEQ_ID=2, Len=4"), 1);
  chan.HandleDataAck(2, 1, true);
  chan.HandleDataAck(3, 1, true);
  EXPECT_EQ(Sent(), (std::vector<std::uint32_t>{3}));
  EXPECT_FALSE(chan.FrameInFlight());
}

TEST_F(ReliableDeliveryTest, ResentEverySecondAndDroppedAfterTenSends) {
  ASSERT_TRUE(chan.ReliableSend(Frame(1).data(), 20, 2));
  ASSERT_TRUE(chan.ReliableSend(Frame(2).data(), 20, 2));
  EXPECT_EQ(Sent().size(), 1u);
  Tick(900);
  EXPECT_TRUE(Sent().empty());
  Tick(100);
  EXPECT_EQ(Sent(), (std::vector<std::uint32_t>{1}));  // second send after 1 s
  Tick(8000);
  EXPECT_EQ(Sent().size(), 8u);  // sends 3 to 10
  EXPECT_EQ(CountLogs("repeat send:"), 9);
  Tick(900);
  EXPECT_TRUE(Sent().empty());
  Tick(100);  // due again: dropped, and the next frame goes at once
  EXPECT_EQ(Sent(), (std::vector<std::uint32_t>{2}));
  EXPECT_EQ(CountLogs("too many repeat send,drop:"), 1);
  EXPECT_EQ(CountLogs("DoTranDataAckFromIOServer()-first send:"), 1);
}

TEST_F(ReliableDeliveryTest, AFullQueueRefusesTheNewFrameAndLosesNoWaitingOne) {
  for (int i = 0; i < 128; ++i) ASSERT_TRUE(chan.ReliableSend(Frame(1).data(), 20, 1)) << i;
  EXPECT_EQ(chan.QueuedFrames(), 127);
  EXPECT_FALSE(chan.ReliableSend(Frame(1).data(), 20, 1));
  EXPECT_EQ(CountLogs("[COM1]Send queue full"), 1);
  std::vector<std::uint32_t> delivered;
  for (std::uint32_t seq = 1; seq <= 128; ++seq) {
    auto d = server.NextOf(wire::COM_DATA);  // each acknowledgement releases exactly one frame
    ASSERT_TRUE(d) << seq;
    delivered.push_back(d->header().seqId);
    chan.HandleDataAck(seq, 1, true);
  }
  EXPECT_TRUE(Sent().empty());
  ASSERT_EQ(delivered.size(), 128u);
  for (std::uint32_t i = 0; i < 128; ++i) EXPECT_EQ(delivered[i], i + 1);
}

TEST_F(ReliableDeliveryTest, ReceivedFramesAreAcknowledgedAndRepeatsFiltered) {
  struct Step {
    std::uint32_t seq;
    bool download;
    bool delivered;
  };
  const std::vector<Step> steps = {
      {5, true, true}, {5, true, false},  // a lost acknowledgement makes the module repeat
      {6, true, true}, {5, true, true},   // the same SEQ_ID after another frame is new again
      {9, false, true}, {9, false, false},  // transparent: not acknowledged, repeat still dropped
  };
  for (const auto& s : steps) {
    EXPECT_EQ(chan.AcceptReceived(s.seq, 3), s.delivered) << s.seq;
    chan.AcknowledgeReceived(s.seq, 2, s.download);
    auto ack = server.Next(30);
    if (s.download) {
      ASSERT_TRUE(ack);
      EXPECT_EQ(ack->command(), wire::COM_DATA_ACK);
      EXPECT_EQ(ack->header().seqId, s.seq);
      EXPECT_EQ(ack->bytes.size(), 17u);
      EXPECT_EQ(ack->bytes[16], 2);
    } else {
      EXPECT_FALSE(ack);
    }
  }
  EXPECT_EQ(CountLogs("[COM3]Drop the same SEQ_ID frame, SEQ_ID=5"), 1);
}

TEST_F(ReliableDeliveryTest, SequenceNumbersSkipZero) {
  chan.SetCounter(0xFFFFFFFEu);
  EXPECT_EQ(chan.NextSeqId(), 0xFFFFFFFFu);
  EXPECT_EQ(chan.NextSeqId(), 1u);
}

}  // namespace
}  // namespace murvik
