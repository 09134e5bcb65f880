#include "tunnel/client_state_text.h"

#include <cstdio>

#include "tunnel/client.h"

namespace murvik {

namespace {
const char* ErrorText(int code) {
  switch (code) {
    case 0: return "模块未连接";
    case 1: return "网络错误，未连接";
    case 2: return "未注册的模块，未连接";
    case 3: return "密码错误，未连接";
    case 4: return "模块已被其他客户端连接";
    case 5: return "模块不支持该模式，未连接";
    case 6: return "模块固件版本过低，请更新";
    case 7: return "模块型号不一致";
    default: return "未知错误";
  }
}

std::string RelayTitle(const TClient& s) {
  const TransServerItem* r = s.SelectedRelay();
  if (r == nullptr) return "默认";
  return r->note.empty() ? r->title : r->title + "," + r->note;
}
}  // namespace

std::string ClientStateText(const TClient& s, const std::string& previous) {
  const int reg = s.RegState();
  if (reg == 0) return ErrorText(s.ErrorCode());
  if (reg >= 1 && reg <= 3) return "正在连接服务器...";
  if (reg != 4) return previous;
  if (s.LinkState() != 2) return "正在连接模块...";
  if (!s.AllChannelsReady()) return "正在配置模块...";
  char figures[256];
  std::snprintf(figures, sizeof figures, "[流量 %.2fKB][网速 R:%.2fKB/s,T:%.2fKB/s]",
                (s.BytesSent() + s.BytesReceived()) / 1024.0, s.ReceiveRate(), s.SendRate());
  return "模块已连接[" + RelayTitle(s) + "]" + figures;
}

std::string ClientStateKey(const TClient& s) {
  if (s.RegState() == 4 && s.LinkState() == 2 && s.AllChannelsReady()) return "模块已连接[" + RelayTitle(s) + "]";
  return ClientStateText(s);
}

}  // namespace murvik
