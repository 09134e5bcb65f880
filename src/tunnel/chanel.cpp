#include "tunnel/chanel.h"

#include <cstring>

#include "diagnostics/server_log.h"
#include "tunnel/client.h"
#include "tunnel/wire_format.h"

namespace murvik {

namespace {
int AsInt(std::uint32_t v) { return static_cast<int>(v); }
std::uint32_t SeqOf(const std::uint8_t* d) { return wire::Get32(d + 8); }
int LenOf(const std::uint8_t* d) { return wire::Get16(d + 14); }
}  // namespace

std::uint32_t TChanel::NextSeqId() {
  std::uint32_t next;
  std::uint32_t cur = seqCounter_.load();
  do {
    next = cur + 1;
    if (next == 0) next = 1;
  } while (!seqCounter_.compare_exchange_weak(cur, next));
  return next;
}

int TChanel::QueuedFrames() const {
  std::lock_guard lock(deliveryMutex_);
  return (queueWrite_ - queueRead_ + kQueueSlots) % kQueueSlots;
}

bool TChanel::FrameInFlight() const {
  std::lock_guard lock(deliveryMutex_);
  return hasInFlight_;
}

void TChanel::SendFrame(Frame& f) {
  if (TClient* s = session_.load()) s->SendToModule(f.data, f.size);
}

void TChanel::TakeNextIntoFlight() {
  Frame& next = queue_[queueRead_];
  std::memcpy(inFlight_.data, next.data, next.size);
  inFlight_.size = next.size;
  queueRead_ = (queueRead_ + 1) % kQueueSlots;
  hasInFlight_ = true;
  sendCount_ = 1;
}

bool TChanel::ReliableSend(const std::uint8_t* datagram, std::size_t size, int comNumber) {
  if (size < wire::kHeaderSize || size > kMaxFrame) return false;
  std::lock_guard lock(deliveryMutex_);
  if ((queueWrite_ + 1) % kQueueSlots == queueRead_) {
    LogF(3, "[COM%d]Send queue full, frame refused, SEQ_ID=%d, Len=%d\r\n", comNumber, AsInt(SeqOf(datagram)),
         LenOf(datagram));
    return false;
  }
  Frame& slot = queue_[queueWrite_];
  std::memcpy(slot.data, datagram, size);
  slot.size = size;
  queueWrite_ = (queueWrite_ + 1) % kQueueSlots;
  if (hasInFlight_) {
    LogF(0, "[COM%d]Send Data To IOServer, buffered!!! SEQ_ID=%d, Len=%d", comNumber, AsInt(SeqOf(datagram)),
         LenOf(datagram));
    return true;
  }
  TakeNextIntoFlight();
  lastSend_ = ClientServices().loop ? ClientServices().loop->Now() : 0;
  SendFrame(inFlight_);
  LogF(0, "[COM%d]Send Data To IOServer, SEQ_ID=%d, Len=%d", comNumber, AsInt(SeqOf(inFlight_.data)),
       LenOf(inFlight_.data));
  return true;
}

void TChanel::HandleDataAck(std::uint32_t seqId, int comNumber, bool downloadMode) {
  LogF(3, "[COM%d]Recv Data Ack From IOServer, SEQ_ID=%d", comNumber, AsInt(seqId));
  std::lock_guard lock(deliveryMutex_);
  if (!downloadMode || !hasInFlight_ || SeqOf(inFlight_.data) != seqId) return;
  if (queueRead_ == queueWrite_) {
    hasInFlight_ = false;
    return;
  }
  TakeNextIntoFlight();
  lastSend_ = ClientServices().loop->Now();
  LogF(0, "[COM%d]Prev Acked, Send Buffered Data To IOServer, SEQ_ID=%d, Len=%d", comNumber,
       AsInt(SeqOf(inFlight_.data)), LenOf(inFlight_.data));
  SendFrame(inFlight_);
}

void TChanel::RetransmitTick() {
  const std::uint32_t now = ClientServices().loop->Now();
  std::lock_guard lock(deliveryMutex_);
  if (!hasInFlight_ || sendCount_ <= 0 || now - lastSend_ < 1000) return;
  ++sendCount_;
  if (sendCount_ <= 10) {
    lastSend_ = now;
    LogF(3, "repeat send:time=%d, SendCount=%d, SEQ_ID=%d \r\n", AsInt(now), sendCount_, AsInt(SeqOf(inFlight_.data)));
    SendFrame(inFlight_);
    return;
  }
  LogF(3, "too many repeat send,drop:time=%d, SendCount=%d, SEQ_ID=%d \r\n", AsInt(now), sendCount_,
       AsInt(SeqOf(inFlight_.data)));
  hasInFlight_ = false;
  if (queueRead_ == queueWrite_) return;
  TakeNextIntoFlight();
  lastSend_ = now;
  LogF(3, "DoTranDataAckFromIOServer()-first send:time=%d, SEQ_ID=%d\r\n", AsInt(now), AsInt(SeqOf(inFlight_.data)));
  SendFrame(inFlight_);
}

void TChanel::AcknowledgeReceived(std::uint32_t seqId, std::uint8_t channelByte, bool downloadMode) {
  if (!downloadMode) return;
  auto ack = wire::EncodeComDataAck(seqId, channelByte);
  if (TClient* s = session_.load()) s->SendToModule(ack.data(), ack.size());
}

bool TChanel::AcceptReceived(std::uint32_t seqId, int comNumber) {
  if (seqId == lastReceivedSeq_) {
    LogF(3, "[COM%d]Drop the same SEQ_ID frame, SEQ_ID=%d", comNumber, AsInt(seqId));
    return false;
  }
  lastReceivedSeq_ = seqId;
  return true;
}

}  // namespace murvik
