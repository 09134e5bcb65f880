#include "config/global_conf.h"

#include <string_view>

#include "platform/paths.h"
#include "platform/text.h"

namespace murvik {

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= 32) s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= 32) s.remove_suffix(1);
  return s;
}

// The value of the first line whose name (the text before its first "=", untrimmed) is name.
bool FindValue(std::string_view text, std::string_view name, std::string_view* value) {
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::size_t eq = line.find('=');
    if (eq != std::string_view::npos && SameIgnoringCase(line.substr(0, eq), name)) {
      *value = line.substr(eq + 1);
      return true;
    }
    pos = end + 1;
  }
  return false;
}

// Decimal integer with an optional sign; digits beyond the range saturate (they clamp anyway).
bool ParseDecimal(std::string_view s, std::int64_t* out) {
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return false;
  std::int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    if (v < 1000000000000LL) v = v * 10 + (c - '0');
  }
  *out = negative ? -v : v;
  return true;
}

// The settings file may come from an editor that wrote a BOM or UTF-16.
std::string AsUtf8(const std::string& raw) {
  auto bytes = [&](std::size_t i) { return static_cast<unsigned char>(raw[i]); };
  if (raw.size() >= 3 && bytes(0) == 0xEF && bytes(1) == 0xBB && bytes(2) == 0xBF) return raw.substr(3);
  if (raw.size() >= 2 && ((bytes(0) == 0xFF && bytes(1) == 0xFE) || (bytes(0) == 0xFE && bytes(1) == 0xFF))) {
    bool little = bytes(0) == 0xFF;
    std::u16string u;
    for (std::size_t i = 2; i + 1 < raw.size(); i += 2)
      u.push_back(static_cast<char16_t>(little ? (bytes(i) | (bytes(i + 1) << 8)) : ((bytes(i) << 8) | bytes(i + 1))));
    return platform::Utf16ToUtf8(u);
  }
  return raw;
}

}  // namespace

bool TGlobalConf::Load(const std::string& iniPath, std::string* errorText) {
  if (!platform::FileExists(iniPath)) return LoadText(std::string(), errorText);
  std::string raw;
  if (!platform::ReadFile(iniPath, &raw)) {
    LoadText(std::string(), nullptr);
    if (errorText) *errorText = "cannot read the settings file " + iniPath;
    return false;
  }
  return LoadText(AsUtf8(raw), errorText);
}

bool TGlobalConf::LoadText(const std::string& text, std::string* errorText) {
  MTU = kDefaultMtu;
  defaultLoginServer = kDefaultLoginServer;
  cloudApiHost = kDefaultCloudApiHost;
  caFile.clear();

  bool ok = true;
  std::string_view value;
  if (FindValue(text, "MTU", &value)) {
    value = Trim(value);
    std::int64_t v = 0;
    if (value.empty()) {
      // keeps the default
    } else if (ParseDecimal(value, &v)) {
      MTU = static_cast<std::int32_t>(v < 128 ? 128 : (v > kDefaultMtu ? kDefaultMtu : v));
    } else {
      ok = false;
      if (errorText) *errorText = "MTU=" + std::string(value) + " is not a decimal number; using " + std::to_string(kDefaultMtu);
    }
  }
  auto setText = [&](const char* name, std::string& target) {
    std::string_view v;
    if (FindValue(text, name, &v) && !Trim(v).empty()) target = std::string(Trim(v));
  };
  setText("LOGINSERVER", defaultLoginServer);
  setText("CLOUDHOST", cloudApiHost);
  setText("CAFILE", caFile);
  return ok;
}

TGlobalConf& GlobalConf() {
  static TGlobalConf conf;
  return conf;
}

}  // namespace murvik
