#include "image/crc32.h"

#include <array>
#include <cstring>

namespace {
constexpr std::uint32_t kPolynomial = 0xEDB88320u;
constexpr std::size_t kSlices = 16;

// Sixteen 256-entry tables: table[0] is the classic byte table; table[k] advances a byte by k more zero bytes,
// so that sixteen bytes are folded per step ("slicing by 16"): the loads of one step are independent of each
// other, and the step's dependency chain is shared by twice as many bytes as with eight slices. The result is
// bit-identical to the byte loop.
using Tables = std::array<std::array<std::uint32_t, 256>, kSlices>;

constexpr Tables MakeTables() {
  Tables t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (c >> 1) ^ kPolynomial : c >> 1;
    t[0][i] = c;
  }
  for (std::uint32_t i = 0; i < 256; ++i) {
    for (std::size_t k = 1; k < kSlices; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFFu];
  }
  return t;
}

constexpr Tables kTables = MakeTables();

// The four bytes of a little-endian word, each advanced through its own table.
inline std::uint32_t Fold(std::uint32_t word, std::size_t firstTable) {
  return kTables[firstTable][word & 0xFFu] ^ kTables[firstTable - 1][(word >> 8) & 0xFFu] ^
         kTables[firstTable - 2][(word >> 16) & 0xFFu] ^ kTables[firstTable - 3][word >> 24];
}
}  // namespace

std::uint32_t Crc32Update(std::uint32_t crc, const void* data, std::size_t length) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  std::uint32_t c = ~crc;
  while (length >= kSlices) {
    std::uint32_t w[4];
    std::memcpy(w, p, sizeof w);  // little-endian hosts only (x86-64 here and on Windows)
    c = Fold(w[0] ^ c, 15) ^ Fold(w[1], 11) ^ Fold(w[2], 7) ^ Fold(w[3], 3);
    p += kSlices;
    length -= kSlices;
  }
  while (length-- > 0) c = (c >> 8) ^ kTables[0][(c ^ *p++) & 0xFFu];
  return ~c;
}

std::uint32_t Crc32(const void* data, std::size_t length) { return Crc32Update(0, data, length); }
