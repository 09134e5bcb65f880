#include "tunnel/ethernet_frame.h"

#include <cstdio>
#include <cstring>

namespace murvik::ethernet {

namespace {
constexpr std::size_t kTagOffset = 12;
constexpr std::size_t kTagSize = 4;
constexpr std::size_t kFcsSize = 4;
constexpr std::size_t kMinTagged = kTagOffset + kTagSize + 2;  // addresses, tag, EtherType

const std::array<std::uint32_t, 256>& CrcTable() {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  return table;
}

void PutFcs(std::uint8_t* at, std::uint32_t crc) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(crc >> (8 * i));
}
}  // namespace

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size) {
  const auto& table = CrcTable();
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

bool HasValidFcs(const std::uint8_t* frame, std::size_t size) {
  if (size < kFcsSize) return false;
  std::uint8_t expected[4];
  PutFcs(expected, Crc32(frame, size - kFcsSize));
  return std::memcmp(expected, frame + size - kFcsSize, kFcsSize) == 0;
}

bool IsVlanTagged(const std::uint8_t* frame, std::size_t size) {
  return size >= kTagOffset + 2 && frame[12] == 0x81 && frame[13] == 0x00;
}

std::size_t RemoveVlanTag(std::uint8_t* frame, std::size_t size) {
  if (!IsVlanTagged(frame, size) || size < kMinTagged) return size;
  std::memmove(frame + kTagOffset, frame + kTagOffset + kTagSize, size - kTagOffset - kTagSize);
  size -= kTagSize;
  PutFcs(frame + size - kFcsSize, Crc32(frame, size - kFcsSize));
  return size;
}

std::string MacText(const Mac& mac) {
  char text[13];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return text;
}

std::optional<Mac> ParseMacText(const std::string& text) {
  if (text.size() != 12) return std::nullopt;
  Mac mac{};
  for (std::size_t i = 0; i < 6; ++i) {
    unsigned value = 0;
    for (std::size_t k = 0; k < 2; ++k) {
      const char c = text[2 * i + k];
      unsigned digit;
      if (c >= '0' && c <= '9')
        digit = static_cast<unsigned>(c - '0');
      else if (c >= 'A' && c <= 'F')
        digit = static_cast<unsigned>(c - 'A' + 10);
      else if (c >= 'a' && c <= 'f')
        digit = static_cast<unsigned>(c - 'a' + 10);
      else
        return std::nullopt;
      value = value * 16 + digit;
    }
    mac[i] = static_cast<std::uint8_t>(value);
  }
  return mac;
}

}  // namespace murvik::ethernet
