#include <cstring>

#include "platform/text.h"
#include "tunnel/wire_format.h"

namespace murvik::wire {

namespace {
constexpr std::uint32_t kK[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
constexpr int kS[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 5, 9,  14, 20, 5, 9,
                        14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                        4, 11, 16, 23, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

inline std::uint32_t Rotl(std::uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }

// The session key value: four little-endian state words A, B, C, D.
constexpr std::uint8_t kSessionKey[16] = {0x6e, 0xd1, 0x0f, 0x3a, 0x27, 0x9c, 0x58, 0xb4,
                                          0xe2, 0x71, 0xc5, 0x0d, 0x83, 0x9f, 0x4a, 0x16};
}  // namespace

void Md5Compress(std::uint32_t state[4], const std::uint8_t block[64]) {
  std::uint32_t m[16];
  for (int i = 0; i < 16; ++i) m[i] = Get32(block + 4 * i);
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int i = 0; i < 64; ++i) {
    std::uint32_t f;
    int g;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (d & b) | (~d & c);
      g = (5 * i + 1) % 16;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    std::uint32_t tmp = d;
    d = c;
    c = b;
    b = b + Rotl(a + f + kK[i] + m[g], kS[i]);
    a = tmp;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

Digest ChallengeDigest(const Challenge& challenge, std::string_view password) {
  std::uint8_t block[64] = {};
  std::memcpy(block, challenge.data(), 32);
  std::u16string pwd = platform::Utf8ToUtf16(password);
  if (pwd.size() > 15) pwd.resize(15);  // the zero terminator must fit in the 32 bytes
  for (std::size_t i = 0; i < pwd.size(); ++i) Put16(block + 32 + 2 * i, static_cast<std::uint16_t>(pwd[i]));
  std::uint32_t state[4];
  for (int i = 0; i < 4; ++i) state[i] = Get32(kSessionKey + 4 * i);
  Md5Compress(state, block);
  Digest out;
  for (int i = 0; i < 4; ++i) Put32(out.data() + 4 * i, state[i]);
  return out;
}

}  // namespace murvik::wire
