#pragma once
// UTF-8 is the text form inside the core; the wire and the files carry UTF-16LE.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace murvik::platform {

// The code point at s[i] (i < s.size()), advancing i past it; malformed input yields U+FFFD and
// consumes only the bytes of the broken sequence. Never reads past the input.
char32_t DecodeUtf8(std::string_view s, std::size_t& i);
// Malformed UTF-8 becomes U+FFFD; never reads past the input.
std::u16string Utf8ToUtf16(std::string_view s);
// Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view s);
// Length in UTF-16 code units, the measure of the fixed text fields and the 15-character limits.
std::size_t Utf16Length(std::string_view utf8);

}  // namespace murvik::platform
