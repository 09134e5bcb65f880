#pragma once
// The channel of one module serial port: a local virtual serial port on the PC side, COM_DATA
// frames carrying the port's line settings towards the module, and the COM_CONFIG handshake.
#include <atomic>
#include <memory>
#include <string>

#include "tunnel/chanel.h"
#include "tunnel/ppi_assist.h"

namespace murvik {

class IVirComPort;

class TComChanel : public TChanel {
 public:
  explicit TComChanel(std::string dport);
  ~TComChanel() override;

  bool Open(TClient* session) override;
  bool Close() override;
  void Reset() override;
  bool IsReady() override { return configState_.load() == 2; }
  void OnData(std::uint8_t* packet, std::size_t size) override;
  void OnDataAck(const std::uint8_t* packet, std::size_t size) override;
  void OnCommandAck(const std::uint8_t* packet, std::size_t size) override;
  void OnTimer() override;
  bool CopySettingsTo(TChanel* target) const override;

  // 0 for DPORT "COM1", 1 for "COM2", 2 for "COM3"; -1 otherwise.
  int ChannelNumber() const;
  // Bytes the PC software wrote to the local port (the port service's thread).
  void ReceiveFromLocalPort(const std::uint8_t* bytes, std::size_t count);
  // Builds a COM_DATA of the bytes and sends it in the channel's transfer mode.
  void SendToModuleAsComData(const std::uint8_t* bytes, std::size_t count);
  // Writes module data to the local port, counting it.
  void WriteToLocalPort(const std::uint8_t* bytes, std::size_t count);

  std::int32_t PlcType = 1;
  std::int32_t TransMode = 1;
  std::string VPORT;
  std::string DPORT;
  std::int32_t BaudRate = 9600;
  std::int32_t ByteSize = 8;
  std::int32_t StopBits = 0;
  std::int32_t Parity = 2;
  std::string Other;

 private:
  int ComNumber() const { return channelNumber_ + 1; }

  bool DownloadMode() const { return TransMode == 1; }

  int channelNumber_ = 0;  // as taken at Open
  std::atomic<int> configState_{0};
  int configAttempts_ = 0;
  std::uint32_t lastConfigSend_ = 0;
  std::unique_ptr<IVirComPort> port_;
  std::unique_ptr<TPpiAssist> ppi_;  // only while a PlcType 2 channel is open
  TPpiAssist::Io ppiIo_;             // the channel's services the assistance uses
};

}  // namespace murvik
