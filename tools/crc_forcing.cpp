#include "tools/crc_forcing.h"

#include <array>

#include "image/crc32.h"

namespace {
constexpr std::uint32_t kPolynomial = 0xEDB88320u;

struct ByteTables {
  std::array<std::uint32_t, 256> forward{};   // the classic byte table
  std::array<std::uint8_t, 256> byTopByte{};  // the index whose entry has a given top byte (a bijection)
};

ByteTables MakeByteTables() {
  ByteTables t;
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (c >> 1) ^ kPolynomial : c >> 1;
    t.forward[i] = c;
    t.byTopByte[c >> 24] = static_cast<std::uint8_t>(i);
  }
  return t;
}
}  // namespace

void ForceCrc32(std::uint8_t* data, std::size_t size, std::uint32_t target) {
  static const ByteTables tables = MakeByteTables();
  // The register before the last four bytes, and the register wanted after them (both without the complement).
  const std::uint32_t before = ~Crc32(data, size - 4);
  std::uint32_t c = ~target;
  // One byte step is c' = (c >> 8) ^ T[i] with i = low byte of (c ^ byte); the top byte of c' names i, so the
  // step can be undone. Undoing four steps gives the register xor the four bytes (as a little-endian word).
  for (int step = 0; step < 4; ++step) {
    const std::uint8_t i = tables.byTopByte[c >> 24];
    c = ((c ^ tables.forward[i]) << 8) | i;
  }
  const std::uint32_t word = c ^ before;
  for (int k = 0; k < 4; ++k) data[size - 4 + k] = static_cast<std::uint8_t>(word >> (8 * k));
}
