#include "image/crc32.h"

#include <array>
#include <cstring>

namespace {
constexpr std::uint32_t kPolynomial = 0xEDB88320u;

// Eight 256-entry tables: table[0] is the classic byte table; table[k] advances a byte by k more zero bytes,
// so that eight bytes are folded per step ("slicing by 8"). The result is bit-identical to the byte loop.
using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr Tables MakeTables() {
  Tables t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (c >> 1) ^ kPolynomial : c >> 1;
    t[0][i] = c;
  }
  for (std::uint32_t i = 0; i < 256; ++i) {
    for (std::size_t k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFFu];
  }
  return t;
}

constexpr Tables kTables = MakeTables();
}  // namespace

std::uint32_t Crc32Update(std::uint32_t crc, const void* data, std::size_t length) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  std::uint32_t c = ~crc;
  while (length >= 8) {
    std::uint32_t low;
    std::uint32_t high;
    std::memcpy(&low, p, 4);  // little-endian hosts only (x86-64 here and on Windows)
    std::memcpy(&high, p + 4, 4);
    low ^= c;
    c = kTables[7][low & 0xFFu] ^ kTables[6][(low >> 8) & 0xFFu] ^ kTables[5][(low >> 16) & 0xFFu] ^
        kTables[4][low >> 24] ^ kTables[3][high & 0xFFu] ^ kTables[2][(high >> 8) & 0xFFu] ^
        kTables[1][(high >> 16) & 0xFFu] ^ kTables[0][high >> 24];
    p += 8;
    length -= 8;
  }
  while (length-- > 0) c = (c >> 8) ^ kTables[0][(c ^ *p++) & 0xFFu];
  return ~c;
}

std::uint32_t Crc32(const void* data, std::size_t length) { return Crc32Update(0, data, length); }
