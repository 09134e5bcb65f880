#include "line_format.h"

#include <array>

#include "packets.h"

namespace murvik::sim {

namespace {

constexpr std::array<std::uint32_t, 16> kBauds = {110,   300,   600,   1200,  1800,  2400,  4800,   9600,
                                                  14400, 19200, 38400, 43000, 56000, 115200, 128000, 256000};

void ReadLineByte(std::uint8_t b, LineSettings& line) {
  line.bits = (b & 0x40) ? 8 : 7;
  switch (b & 0x30) {
    case 0x00: line.parity = 'N'; break;
    case 0x10: line.parity = 'O'; break;
    case 0x20: line.parity = 'E'; break;
    default: line.parity = '?'; break;
  }
  switch (b & 0x0C) {
    case 0x00: line.stop = "1"; break;
    case 0x04: line.stop = "1.5"; break;
    case 0x08: line.stop = "2"; break;
    default: line.stop = "?"; break;
  }
}

}  // namespace

nlohmann::ordered_json LineSettings::Json() const {
  nlohmann::ordered_json j;
  j["baud"] = baud;
  j["bits"] = bits;
  j["parity"] = std::string(1, parity);
  j["stop"] = stop;
  j["line_format"] = longForm ? "long" : "short";
  return j;
}

std::optional<PcComData> DecodePcComData(const std::uint8_t* d, std::size_t n, std::string& why) {
  if (n < kHeader + 2) {
    why = "no line format code";
    return std::nullopt;
  }
  PcComData out{d[16], {}, nullptr, 0};
  const std::uint8_t code = d[17];
  std::size_t dataAt = 0;
  if (code >= 0x40 && code < 0x40 + kBauds.size()) {
    if (n < 19) {
      why = "short line format cut off";
      return std::nullopt;
    }
    out.line.baud = kBauds[code - 0x40];
    ReadLineByte(d[18], out.line);
    dataAt = 19;
  } else if (code == 0x80) {
    if (n < 23) {
      why = "long line format cut off";
      return std::nullopt;
    }
    out.line.baud = (static_cast<std::uint32_t>(d[18]) << 16) | (static_cast<std::uint32_t>(d[19]) << 8) | d[20];
    out.line.longForm = true;
    ReadLineByte(d[21], out.line);
    dataAt = 23;
  } else {
    why = "unknown line format code " + std::to_string(code);
    return std::nullopt;
  }
  if (n == dataAt) {
    why = "no data bytes";
    return std::nullopt;
  }
  out.data = d + dataAt;
  out.size = n - dataAt;
  return out;
}

}  // namespace murvik::sim
