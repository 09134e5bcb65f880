#pragma once
// The channel of one module serial port. Its settings live here; carrying data follows with the
// local virtual port.
#include <string>

#include "tunnel/chanel.h"

namespace murvik {

class TComChanel : public TChanel {
 public:
  explicit TComChanel(std::string dport) : TChanel(kSerial), DPORT(std::move(dport)) {}

  // No local port service exists in this build yet: the open fails with the user's message.
  bool Open(TClient* session) override;
  bool Close() override;
  bool CopySettingsTo(TChanel* target) const override;
  // 0 for DPORT "COM1", 1 for "COM2", 2 for "COM3"; -1 otherwise.
  int ChannelNumber() const;

  std::int32_t PlcType = 1;
  std::int32_t TransMode = 1;
  std::string VPORT;
  std::string DPORT;
  std::int32_t BaudRate = 9600;
  std::int32_t ByteSize = 8;
  std::int32_t StopBits = 0;
  std::int32_t Parity = 2;
  std::string Other;
};

}  // namespace murvik
