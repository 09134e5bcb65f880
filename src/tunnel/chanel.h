#pragma once
// The common base of the channels that carry one module port each. The session drives every
// channel through these virtual operations, in this slot order.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace murvik {

class TClient;

class TChanel {
 public:
  enum Kind : std::int32_t { kSerial = 0, kNetwork = 1 };

  explicit TChanel(std::int32_t kind) : kind(kind) {}
  TChanel(const TChanel&) = delete;
  TChanel& operator=(const TChanel&) = delete;

  virtual ~TChanel() = default;
  virtual bool Open(TClient* session) { (void)session; return false; }
  virtual bool Close() { return false; }
  // Forget the configuration handshake with the module.
  virtual void Reset() {}
  virtual bool IsReady() { return false; }
  // Packets from the module; the datagram is writable so a channel may rework it in place.
  virtual void OnData(std::uint8_t* packet, std::size_t size) { (void)packet; (void)size; }
  virtual void OnDataAck(const std::uint8_t* packet, std::size_t size) { (void)packet; (void)size; }
  virtual void OnCommandAck(const std::uint8_t* packet, std::size_t size) { (void)packet; (void)size; }
  // The session's 100 ms tick, only while the module is online.
  virtual void OnTimer() {}
  virtual bool CopySettingsTo(TChanel* target) const { (void)target; return false; }

  // Counter + 1, skipping 0; never reset.
  std::uint32_t NextSeqId();
  bool IsOpen() const { return open_.load(); }

  static constexpr int kQueueSlots = 128;
  static constexpr std::size_t kMaxFrame = 1536;
  // Frames waiting behind the one in flight, and whether one is in flight (tests, frames).
  int QueuedFrames() const;
  bool FrameInFlight() const;

  std::int32_t USE = 0;
  const std::int32_t kind;
  // Written on the channel's threads, read by the frames.
  std::atomic<double> bytesFromModule{0};
  std::atomic<double> bytesToModule{0};

 protected:
  // Reliable delivery of download mode: one frame in flight, the rest queued behind it, released
  // by the acknowledgement of its SEQ_ID, resent every second and dropped after ten sends.
  // comNumber is the channel number + 1 of the log lines. Answers false, with a log line, when
  // the queue is full: the new frame is refused so that no waiting frame is lost.
  bool ReliableSend(const std::uint8_t* datagram, std::size_t size, int comNumber);
  // The acknowledgement of a frame; ignored unless in download mode and for the frame in flight.
  void HandleDataAck(std::uint32_t seqId, int comNumber, bool downloadMode);
  // The 100 ms retransmission step.
  void RetransmitTick();
  // A data frame from the module: answers whether its data is new (a back-to-back repeat of the
  // last SEQ_ID is not).
  bool AcceptReceived(std::uint32_t seqId, int comNumber);
  // Download mode acknowledges every data frame, repeats included. Sent once the data went to
  // the local port, so the acknowledgement's send does not delay the software's bytes.
  void AcknowledgeReceived(std::uint32_t seqId, std::uint8_t channelByte, bool downloadMode);

  std::atomic<bool> open_{false};
  std::atomic<std::uint32_t> seqCounter_{0};
  std::atomic<TClient*> session_{nullptr};

 private:
  struct Frame {
    std::uint8_t data[kMaxFrame];
    std::size_t size;
  };
  void SendFrame(Frame& f);
  void TakeNextIntoFlight();  // caller holds deliveryMutex_ and the queue is not empty

  mutable std::mutex deliveryMutex_;
  Frame queue_[kQueueSlots];
  int queueWrite_ = 0;
  int queueRead_ = 0;
  Frame inFlight_;
  bool hasInFlight_ = false;
  std::int32_t sendCount_ = 0;
  std::uint32_t lastSend_ = 0;
  std::uint32_t lastReceivedSeq_ = 0;  // by whichever thread delivers module data, one at a time
};

}  // namespace murvik
