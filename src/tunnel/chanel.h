#pragma once
// The common base of the channels that carry one module port each. The session drives every
// channel through these virtual operations, in this slot order.
#include <atomic>
#include <cstddef>
#include <cstdint>

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

  std::int32_t USE = 0;
  const std::int32_t kind;
  // Written on the channel's threads, read by the frames.
  std::atomic<double> bytesFromModule{0};
  std::atomic<double> bytesToModule{0};

 protected:
  std::atomic<bool> open_{false};
  std::atomic<std::uint32_t> seqCounter_{0};
  TClient* session_ = nullptr;
};

}  // namespace murvik
