#include "platform/process.h"

namespace murvik::platform {

std::vector<std::string> SplitCommandLine(std::string_view commandLine) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;  // distinguishes an empty quoted word from no word
  bool quoted = false;
  for (char c : commandLine) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

}  // namespace murvik::platform
