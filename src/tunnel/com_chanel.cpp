#include "tunnel/com_chanel.h"

#include <cstdio>

#include "devices/zn_common_fun.h"

namespace murvik {

bool TComChanel::Open(TClient*) {
  open_ = false;
  char text[512];
  std::snprintf(text, sizeof text, "打开%s失败", VPORT.c_str());
  ShowError(text);
  return false;
}

bool TComChanel::Close() {
  open_ = false;
  session_.store(nullptr);
  return true;
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

int TComChanel::ChannelNumber() const {
  if (DPORT == "COM1") return 0;
  if (DPORT == "COM2") return 1;
  if (DPORT == "COM3") return 2;
  return -1;
}

}  // namespace murvik
