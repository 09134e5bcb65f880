#pragma once
#include <cstddef>

namespace murvik::platform {
// Fills buf with count bytes from the kernel's cryptographic source; answers count, or 0 (buffer
// unchanged) when the source fails.
std::size_t SecureRandom(void* buf, std::size_t count);
}  // namespace murvik::platform
