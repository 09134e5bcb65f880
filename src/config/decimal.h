#pragma once
// Strict decimal integers for configuration values.
#include <cstdint>
#include <string_view>

namespace murvik {

// An optional sign and digits, within 32 bits; no blanks, no hex, no trailing text.
inline bool ParseDecimalInt32(std::string_view s, std::int32_t* out) {
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return false;
  std::int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > 0x80000000LL) return false;
  }
  if (negative) v = -v;
  if (v > 0x7FFFFFFFLL) return false;
  *out = static_cast<std::int32_t>(v);
  return true;
}

}  // namespace murvik
