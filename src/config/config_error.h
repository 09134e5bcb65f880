#pragma once
// A configuration record or file that cannot be read; the message names the element and
// attribute and says what is wrong with it.
#include <stdexcept>
#include <string>

namespace murvik {

class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace murvik
