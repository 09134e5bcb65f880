#pragma once
// A list as one text: items joined by a delimiter, double-quote quoting, blanks end unquoted items.
#include <string>
#include <string_view>
#include <vector>

namespace murvik {

std::vector<std::string> ReadDelimitedText(std::string_view text, char delimiter);
std::string WriteDelimitedText(const std::vector<std::string>& items, char delimiter);

}  // namespace murvik
