#pragma once
// Ethernet frame helpers of the network channel: the IEEE 802.3 frame check sequence, removal
// of an 802.1Q tag, and the MAC address as the adapter settings write it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace murvik::ethernet {

using Mac = std::array<std::uint8_t, 6>;

// The standard Ethernet CRC-32 (reflected, polynomial 0x04C11DB7, final inversion).
std::uint32_t Crc32(const std::uint8_t* data, std::size_t size);
// Whether the last four bytes hold the CRC-32 of the rest, least significant byte first.
bool HasValidFcs(const std::uint8_t* frame, std::size_t size);
// Takes bytes 12..15 out of a tagged frame that ends in its FCS and writes the new FCS; answers
// the new size. Frames that are not tagged, or shorter than 18 bytes, are left alone.
std::size_t RemoveVlanTag(std::uint8_t* frame, std::size_t size);
bool IsVlanTagged(const std::uint8_t* frame, std::size_t size);

// "001A2B3C4D5E": twelve upper-case hex digits, first byte first.
std::string MacText(const Mac& mac);
// The text above, in either case; nullopt for anything else.
std::optional<Mac> ParseMacText(const std::string& text);

}  // namespace murvik::ethernet
