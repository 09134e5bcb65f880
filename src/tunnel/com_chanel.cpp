#include "tunnel/com_chanel.h"

#include <cstdio>

#include "devices/vir_com_port.h"
#include "devices/zn_common_fun.h"
#include "diagnostics/server_log.h"
#include "tunnel/client.h"
#include "tunnel/wire_format.h"

namespace murvik {

TComChanel::TComChanel(std::string dport) : TChanel(kSerial), DPORT(std::move(dport)) {
  int n = ChannelNumber();
  if (n >= 0) channelNumber_ = n;
  ppiIo_.writeLocal = [this](const std::uint8_t* b, std::size_t count) { WriteToLocalPort(b, count); };
  ppiIo_.sendToModule = [this](const std::uint8_t* b, std::size_t count) { SendToModuleAsComData(b, count); };
  ppiIo_.localBaud = [this] { return port_ ? port_->Line().baudRate : 0u; };
}

TComChanel::~TComChanel() {
  if (port_) port_->Close();
}

int TComChanel::ChannelNumber() const {
  if (DPORT == "COM1") return 0;
  if (DPORT == "COM2") return 1;
  if (DPORT == "COM3") return 2;
  return -1;
}

bool TComChanel::Open(TClient* session) {
  open_ = false;
  if (int n = ChannelNumber(); n >= 0) channelNumber_ = n;
  const TClientServices& services = ClientServices();
  if (PlcType == 2) {
    Log(3, "S7200 PLC");
    ppi_ = std::make_unique<TPpiAssist>();
    ppi_->Build(Other, BaudRate);
  } else if (PlcType == 4) {
    Log(3, "MITSUBISH Q SERIES");
    if (services.pinWiring) services.pinWiring(VPORT, true);
    ppi_.reset();
  } else {
    Log(3, "NORMAL PLC");
    ppi_.reset();
  }
  VirComPortRequest request{VPORT, [this](const std::uint8_t* b, std::size_t n) { ReceiveFromLocalPort(b, n); },
                            ByteSize, Parity};
  std::unique_ptr<IVirComPort> port = VirComPorts() ? VirComPorts()(request) : nullptr;
  session_ = session;
  if (port && port->Open()) {
    port_ = std::move(port);
    bytesFromModule = 0;
    bytesToModule = 0;
    open_ = true;
    return true;
  }
  char text[512];
  std::snprintf(text, sizeof text, "打开%s失败", VPORT.c_str());
  ShowError(text);
  return false;
}

bool TComChanel::Close() {
  if (port_) {
    port_->Close();
    port_.reset();
  }
  if (PlcType == 2) ppi_.reset();  // the port's thread has ended above
  if (PlcType == 4 && ClientServices().pinWiring) ClientServices().pinWiring(VPORT, false);
  open_ = false;
  session_ = nullptr;
  return true;
}

void TComChanel::Reset() {
  configState_ = 0;
  configAttempts_ = 0;
}

void TComChanel::OnTimer() {
  if (USE == 0) return;
  if (configState_ != 2) {
    const std::uint32_t now = ClientServices().loop->Now();
    if (configAttempts_ == 0 || now - lastConfigSend_ >= 3000) {
      ++configAttempts_;
      auto cfg = wire::EncodeComConfig(static_cast<std::uint16_t>(channelNumber_), static_cast<std::uint16_t>(PlcType),
                                       static_cast<std::uint16_t>(TransMode));
      if (TClient* s = session_.load()) s->SendToModule(cfg.data(), cfg.size());
      lastConfigSend_ = now;
      LogF(3, "[COM%d] Confige Chanel", ComNumber());
    }
  } else if (DownloadMode()) {
    RetransmitTick();
  }
}

void TComChanel::OnCommandAck(const std::uint8_t* packet, std::size_t size) {
  auto ack = wire::DecodeComConfigAck(packet, size);
  if (!ack || ack->result != wire::ComConfigAck::Accepted) return;
  configState_ = 2;
  const bool oldForm = wire::Get16(packet + 14) == 2;
  LogF(3, "[COM%d] Recv Command Ack From IOServer, %s mode", ComNumber(), oldForm ? "old" : "new");
}

void TComChanel::OnDataAck(const std::uint8_t* packet, std::size_t size) {
  auto ack = wire::DecodeComDataAck(packet, size);
  if (ack) HandleDataAck(ack->seqId, ComNumber(), DownloadMode());
}

void TComChanel::ReceiveFromLocalPort(const std::uint8_t* bytes, std::size_t count) {
  if (PlcType == 0 || configState_ != 2) return;  // typed before the handshake: lost, not buffered
  bytesToModule = bytesToModule + static_cast<double>(count);
  if (PlcType == 2) {
    if (ppi_) ppi_->LocalChunk(bytes, count, ppiIo_);
    return;
  }
  SendToModuleAsComData(bytes, count);
}

void TComChanel::SendToModuleAsComData(const std::uint8_t* bytes, std::size_t count) {
  const wire::LineSettings line = port_ ? port_->Line() : wire::LineSettings{};
  while (count > 0) {
    const std::size_t n = std::min(count, wire::kMaxComData);
    std::uint8_t frame[wire::kHeaderSize + 7 + wire::kMaxComData];
    const std::uint32_t seq = NextSeqId();
    std::size_t size = wire::EncodeComData(frame, sizeof frame, seq, static_cast<std::uint8_t>(channelNumber_), line,
                                           bytes, n);
    if (DownloadMode()) {
      ReliableSend(frame, size, ComNumber());
    } else {
      if (TClient* s = session_.load()) s->SendToModule(frame, size);
      LogF(0, "[COM%d]Send Data To IOServer, SEQ_ID=%d, Len=%d", ComNumber(), static_cast<int>(seq),
           static_cast<int>(size - wire::kHeaderSize));
    }
    bytes += n;
    count -= n;
  }
}

void TComChanel::WriteToLocalPort(const std::uint8_t* bytes, std::size_t count) {
  if (!port_) return;
  port_->Write(bytes, count);
  bytesFromModule = bytesFromModule + static_cast<double>(count);
}

void TComChanel::OnData(std::uint8_t* packet, std::size_t size) {
  auto data = wire::DecodeComData(packet, size);
  if (!data) return;
  LogF(3, "[COM%d]Recv Data From IOServer, SEQ_ID=%d, Len=%d", ComNumber(), static_cast<int>(data->seqId),
       static_cast<int>(wire::Get16(packet + 14)));
  if (AcceptReceived(data->seqId, ComNumber()) && data->size < 1500 && open_) {
    if (PlcType == 2) {
      if (ppi_) ppi_->ModuleData(data->data, data->size, ppiIo_);
    } else {
      WriteToLocalPort(data->data, data->size);
    }
  }
  AcknowledgeReceived(data->seqId, data->channel, DownloadMode());
}

bool TComChanel::CopySettingsTo(TChanel* target) const {
  auto* t = dynamic_cast<TComChanel*>(target);
  if (t == nullptr) return false;
  t->USE = USE;
  t->PlcType = PlcType;
  t->TransMode = TransMode;
  t->VPORT = VPORT;
  t->DPORT = DPORT;
  t->BaudRate = BaudRate;
  t->ByteSize = ByteSize;
  t->StopBits = StopBits;
  t->Parity = Parity;
  t->Other = Other;
  return true;
}

}  // namespace murvik
