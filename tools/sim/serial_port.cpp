#include "serial_port.h"

#include "platform/poll_loop.h"

namespace murvik::sim {

namespace {

constexpr std::size_t kMaxFrameData = 512;
constexpr std::size_t kMaxQueued = 1024;  // beyond that a stuck PC only costs memory
constexpr int kMaxSends = 10;
constexpr std::uint64_t kResendMs = 1000;

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

const char* AckFormName(ConfigAckForm f) {
  switch (f) {
    case ConfigAckForm::New: return "new";
    case ConfigAckForm::Old: return "old";
    case ConfigAckForm::Refuse: return "refuse";
  }
  return "?";
}

}  // namespace

SerialPort::SerialPort(int channel, ConfigAckForm ackForm, std::unique_ptr<SerialDevice> device)
    : channel_(channel), ackForm_(ackForm), device_(std::move(device)) {
  device_->SetEmit([this](const std::uint8_t* data, std::size_t size) {
    std::string error;
    if (!SendToPc(data, size, error)) ++count_.txUnconfigured;
  });
}

std::uint32_t SerialPort::NextSeq() {
  if (++txSeq_ == 0) ++txSeq_;
  return txSeq_;
}

void SerialPort::Transmit(const Bytes& packet) {
  ++count_.txSends;
  if (answering_ != nullptr)
    answering_->push_back(packet);
  else
    ToSessions(packet);
}

void SerialPort::OnPacket(const Head& head, const std::uint8_t* data, std::size_t size, PortAnswer& out) {
  answering_ = &out.packets;
  switch (head.command) {
    case cmd::COM_CONFIG: OnConfig(head, data, size, out); break;
    case cmd::COM_DATA: OnData(head, data, size, out); break;
    case cmd::COM_DATA_ACK: OnAck(head, data, size, out); break;
    default: out.note = "not a serial port packet"; break;
  }
  answering_ = nullptr;
}

void SerialPort::OnConfig(const Head&, const std::uint8_t* data, std::size_t size, PortAnswer& out) {
  if (size != kHeader + 6 || Le16(data + 16) != channel_) {
    out.note = "malformed COM_CONFIG";
    return;
  }
  const std::uint16_t plcType = Le16(data + 18);
  const std::uint16_t transMode = Le16(data + 20);
  out.fields["plc_type"] = plcType;
  out.fields["trans_mode"] = transMode;
  ++count_.configs;
  out.packets.push_back(EncodeComConfigAck(static_cast<std::uint16_t>(channel_), ackForm_));
  if (ackForm_ == ConfigAckForm::Refuse) {
    ++count_.refusals;
    out.note = "configuration refused";
    return;
  }
  plcType_ = plcType;
  transMode_ = transMode;
  device_->OnConfigured(plcType);
}

void SerialPort::OnData(const Head& head, const std::uint8_t* data, std::size_t size, PortAnswer& out) {
  std::string why;
  auto frame = DecodePcComData(data, size, why);
  if (!frame) {
    out.note = "malformed COM_DATA: " + why;
    return;
  }
  out.fields.update(frame->line.Json());
  if (!Configured()) {
    ++count_.rxUnconfigured;
    out.note = "COM" + std::to_string(channel_ + 1) + " not configured";
    return;
  }
  line_ = frame->line;
  ++count_.rxFrames;
  if (DownloadMode()) {
    out.packets.push_back(EncodeComDataAckFromModule(head.seq, frame->channel));
    ++count_.acksSent;
  }
  if (head.seq == lastRxSeq_) {
    ++count_.rxRepeats;
    out.note = "repeated SEQ_ID";
    return;
  }
  lastRxSeq_ = head.seq;
  count_.rxBytes += frame->size;
  device_->FromPc(frame->data, frame->size, frame->line);
  if (auto fields = device_->TakeRecordFields(); fields.is_object()) out.fields.update(fields);
}

void SerialPort::OnAck(const Head& head, const std::uint8_t*, std::size_t size, PortAnswer& out) {
  if (size != kHeader + 1) {
    out.note = "malformed COM_DATA_ACK";
    return;
  }
  if (queue_.empty() || queue_.front().sends == 0 || queue_.front().seq != head.seq) {
    ++count_.acksIgnored;
    out.note = "acknowledges no frame in flight";
    return;
  }
  ++count_.txAcked;
  queue_.pop_front();
  StartNext(platform::MonotonicMs());
}

void SerialPort::StartNext(std::uint64_t nowMs) {
  if (queue_.empty() || queue_.front().sends > 0) return;
  Frame& f = queue_.front();
  f.sends = 1;
  f.lastSendMs = nowMs;
  Transmit(f.packet);
}

bool SerialPort::SendToPc(const std::uint8_t* data, std::size_t size, std::string& error) {
  if (!Configured()) {
    error = "COM" + std::to_string(channel_ + 1) + " not configured";
    return false;
  }
  for (std::size_t at = 0; at < size; at += kMaxFrameData) {
    const std::size_t n = std::min(kMaxFrameData, size - at);
    Bytes packet = EncodeComDataFromModule(NextSeq(), static_cast<std::uint8_t>(channel_), data + at, n);
    ++count_.txFrames;
    count_.txBytes += n;
    if (!DownloadMode()) {
      Transmit(packet);
      continue;
    }
    if (queue_.size() >= kMaxQueued) {
      ++count_.txDropped;
      continue;
    }
    queue_.push_back(Frame{std::move(packet), txSeq_});
    StartNext(platform::MonotonicMs());
  }
  return true;
}

void SerialPort::OnTick(std::uint64_t nowMs) {
  if (queue_.empty() || queue_.front().sends == 0) return;
  Frame& f = queue_.front();
  if (nowMs - f.lastSendMs < kResendMs) return;
  if (f.sends >= kMaxSends) {
    ++count_.txDropped;
    queue_.pop_front();
    StartNext(nowMs);
    return;
  }
  ++f.sends;
  f.lastSendMs = nowMs;
  Transmit(f.packet);
}

nlohmann::ordered_json SerialPort::Stats() const {
  nlohmann::ordered_json j;
  j["com"] = channel_ + 1;
  j["backend"] = device_->Kind();
  if (!device_->Path().empty()) j["path"] = device_->Path();
  j["comack"] = AckFormName(ackForm_);
  j["configured"] = Configured();
  j["plc_type"] = plcType_ ? nlohmann::ordered_json(*plcType_) : nlohmann::ordered_json(nullptr);
  j["trans_mode"] = Configured() ? nlohmann::ordered_json(transMode_) : nlohmann::ordered_json(nullptr);
  j["line"] = line_ ? line_->Json() : nlohmann::ordered_json(nullptr);
  j["configs"] = count_.configs;
  j["refusals"] = count_.refusals;
  j["rx_frames"] = count_.rxFrames;
  j["rx_bytes"] = count_.rxBytes;
  j["rx_repeats"] = count_.rxRepeats;
  j["rx_unconfigured"] = count_.rxUnconfigured;
  j["acks_sent"] = count_.acksSent;
  j["tx_frames"] = count_.txFrames;
  j["tx_bytes"] = count_.txBytes;
  j["tx_sends"] = count_.txSends;
  j["tx_acked"] = count_.txAcked;
  j["tx_dropped"] = count_.txDropped;
  j["tx_unconfigured"] = count_.txUnconfigured;
  j["tx_queued"] = queue_.size();
  j["acks_ignored"] = count_.acksIgnored;
  j["device_lost_bytes"] = device_->lostBytes;
  if (auto device = device_->Stats(); !device.is_null()) j["device"] = std::move(device);
  return j;
}

}  // namespace murvik::sim
