#include "datagram.h"

#include <cstdio>

#include "devices/zn_common_fun.h"
#include "platform/text.h"

namespace murvik::logview {

namespace {
constexpr std::size_t kHeaderSize = 18;

std::uint64_t GetLe(const unsigned char* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
}  // namespace

bool DecodeDatagram(const unsigned char* data, std::size_t size, LogLine& line, std::string& reason) {
  if (size < kHeaderSize + 2) {
    reason = "too short (" + std::to_string(size) + " bytes)";
    return false;
  }
  const std::size_t textSize = static_cast<std::size_t>(GetLe(data + 16, 2));
  if (textSize < 2 || textSize % 2 != 0) {
    reason = "bad text size " + std::to_string(textSize);
    return false;
  }
  if (kHeaderSize + textSize > size) {
    reason = "text size " + std::to_string(textSize) + " exceeds the datagram";
    return false;
  }
  if (kHeaderSize + textSize < size) {
    reason = std::to_string(size - kHeaderSize - textSize) + " bytes after the text";
    return false;
  }
  const unsigned char* text = data + kHeaderSize;
  const std::size_t units = textSize / 2 - 1;
  if (GetLe(text + 2 * units, 2) != 0) {
    reason = "text not terminated";
    return false;
  }
  line.source = static_cast<std::uint16_t>(GetLe(data, 2));
  line.level = static_cast<std::uint16_t>(GetLe(data + 2, 2));
  line.sequence = static_cast<std::uint32_t>(GetLe(data + 4, 4));
  line.time = static_cast<std::int64_t>(GetLe(data + 8, 8));
  std::u16string u16;
  u16.reserve(units);
  for (std::size_t i = 0; i < units; ++i) {
    auto c = static_cast<char16_t>(GetLe(text + 2 * i, 2));
    if (c == 0) break;  // a reader of the text stops at the first zero
    u16 += c;
  }
  line.text = platform::Utf16ToUtf8(u16);
  while (!line.text.empty() && (line.text.back() == '\n' || line.text.back() == '\r')) line.text.pop_back();
  return true;
}

std::string FormatLine(const LogLine& line) {
  std::string out = "#" + std::to_string(line.sequence) + " L" + std::to_string(line.level) + " " +
                    FormatMsTime(line.time) + " [src " + std::to_string(line.source) + "] ";
  for (unsigned char c : line.text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 && c != '\t') {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02X", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace murvik::logview
