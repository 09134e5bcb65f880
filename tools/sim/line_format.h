#pragma once
// The simulator's own reading of the COM_DATA frames the PC sends: channel, line settings in
// either line format, and the data bytes.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace murvik::sim {

struct LineSettings {
  std::uint32_t baud = 0;
  int bits = 8;
  char parity = 'N';      // N, O, E, or ? for both parity bits set
  std::string stop = "1";  // 1, 1.5, 2, or ? for both stop bits set
  bool longForm = false;

  bool operator==(const LineSettings&) const = default;
  // "baud", "bits", "parity", "stop" fields.
  nlohmann::ordered_json Json() const;
};

struct PcComData {
  std::uint8_t channel;
  LineSettings line;
  const std::uint8_t* data;  // into the datagram
  std::size_t size;
};

// A whole COM_DATA datagram (size already matched to its length); nullopt with `why` when the
// line format code is unknown or the frame carries no data.
std::optional<PcComData> DecodePcComData(const std::uint8_t* d, std::size_t n, std::string& why);

}  // namespace murvik::sim
