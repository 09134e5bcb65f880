#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/random.h"

namespace murvik::platform {

std::size_t SecureRandom(void* buf, std::size_t count) {
  std::vector<unsigned char> tmp(count);
  std::size_t got = 0;
  while (got < count) {
    ssize_t n = getrandom(tmp.data() + got, count - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return 0;
    }
    got += static_cast<std::size_t>(n);
  }
  if (count) std::memcpy(buf, tmp.data(), count);
  return count;
}

}  // namespace murvik::platform
