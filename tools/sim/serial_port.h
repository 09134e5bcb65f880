#pragma once
// One serial port of a module as the PC sees it over the tunnel: the COM_CONFIG handshake,
// COM_DATA both ways with acknowledgement, repeat filter and retransmission in download mode,
// and the device on the port's line.
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "line_format.h"
#include "module.h"
#include "packets.h"
#include "serial_devices.h"

namespace murvik::sim {

class SerialPort : public PortBackend {
 public:
  SerialPort(int channel, ConfigAckForm ackForm, std::unique_ptr<SerialDevice> device);

  void OnPacket(const Head& head, const std::uint8_t* data, std::size_t size, PortAnswer& out) override;
  void OnTick(std::uint64_t nowMs) override;
  int Fd() const override { return device_->Fd(); }
  void OnReadable() override { device_->OnReadable(); }
  nlohmann::ordered_json Stats() const override;

  // Bytes from the port's line to the PC, in frames of at most 512 bytes. False with `error`
  // while the PC has not configured the port.
  bool SendToPc(const std::uint8_t* data, std::size_t size, std::string& error);

  const SerialDevice& Device() const { return *device_; }
  bool Configured() const { return plcType_.has_value(); }
  bool DownloadMode() const { return transMode_ == 1; }

 private:
  struct Frame {
    Bytes packet;
    std::uint32_t seq;
    int sends = 0;
    std::uint64_t lastSendMs = 0;
  };

  void OnConfig(const Head& head, const std::uint8_t* data, std::size_t size, PortAnswer& out);
  void OnData(const Head& head, const std::uint8_t* data, std::size_t size, PortAnswer& out);
  void OnAck(const Head& head, const std::uint8_t* data, std::size_t size, PortAnswer& out);
  std::uint32_t NextSeq();
  void Transmit(const Bytes& packet);
  void StartNext(std::uint64_t nowMs);

  int channel_;
  ConfigAckForm ackForm_;
  std::unique_ptr<SerialDevice> device_;
  std::optional<std::uint16_t> plcType_;
  std::uint16_t transMode_ = 1;
  std::optional<LineSettings> line_;  // of the last frame from the PC
  std::uint32_t lastRxSeq_ = 0;
  std::uint32_t txSeq_ = 0;
  std::deque<Frame> queue_;  // front is in flight once sent
  // While a PC packet is being answered, frames the device emits ride with the answer.
  std::vector<Bytes>* answering_ = nullptr;

  struct Counters {
    std::uint64_t configs = 0, refusals = 0, rxFrames = 0, rxBytes = 0, rxRepeats = 0, rxUnconfigured = 0,
                  acksSent = 0, txFrames = 0, txBytes = 0, txSends = 0, txAcked = 0, txDropped = 0,
                  txUnconfigured = 0, acksIgnored = 0;
  } count_;
};

}  // namespace murvik::sim
