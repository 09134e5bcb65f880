#include "config/delimited_list.h"

namespace murvik {

namespace {
bool IsBlank(char c) {
  auto u = static_cast<unsigned char>(c);
  return u >= 1 && u <= 32;
}
}  // namespace

std::vector<std::string> ReadDelimitedText(std::string_view text, char delimiter) {
  // A NUL ends the text, as it would in the C string the text came from; it would otherwise
  // start no item and stop the scan from moving.
  if (auto nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);

  std::vector<std::string> items;
  const std::size_t n = text.size();
  std::size_t p = 0;
  auto skipBlanks = [&] {
    while (p < n && IsBlank(text[p])) ++p;
  };

  skipBlanks();
  while (p < n) {
    std::string item;
    if (text[p] == '"') {
      ++p;
      while (p < n) {
        std::size_t q = text.find('"', p);
        if (q == std::string_view::npos) {  // unterminated: the rest of the text
          item.append(text.substr(p));
          p = n;
          break;
        }
        item.append(text.substr(p, q - p));
        if (q + 1 < n && text[q + 1] == '"') {
          item.push_back('"');
          p = q + 2;
        } else {
          p = q + 1;
          break;
        }
      }
    } else {
      std::size_t start = p;
      while (p < n && static_cast<unsigned char>(text[p]) > 32 && text[p] != delimiter) ++p;
      item.assign(text.substr(start, p - start));
    }
    items.push_back(std::move(item));

    skipBlanks();
    if (p < n && text[p] == delimiter) {
      if (p + 1 == n) items.emplace_back();
      ++p;
      skipBlanks();
    }
  }
  return items;
}

std::string WriteDelimitedText(const std::vector<std::string>& items, char delimiter) {
  if (items.empty()) return std::string();
  if (items.size() == 1 && items[0].empty()) return "\"\"";
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out.push_back(delimiter);
    const std::string& item = items[i];
    bool quote = false;
    for (char c : item)
      if (static_cast<unsigned char>(c) <= 32 || c == '"' || c == delimiter) {
        quote = true;
        break;
      }
    if (!quote) {
      out += item;
      continue;
    }
    out.push_back('"');
    for (char c : item) {
      if (c == '"') out.push_back('"');
      out.push_back(c);
    }
    out.push_back('"');
  }
  return out;
}

}  // namespace murvik
