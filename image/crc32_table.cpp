#include <array>
#include <cstring>

#include "image/crc32_kernels.h"

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

std::uint32_t Crc32TableKernel(std::uint32_t c, const std::uint8_t* p, std::size_t length) {
  std::uint32_t w[4];  // little-endian hosts only (x86-64 here and on Windows)
  while (length >= kSlices) {
    std::memcpy(w, p, sizeof w);
    c = Fold(w[0] ^ c, 15) ^ Fold(w[1], 11) ^ Fold(w[2], 7) ^ Fold(w[3], 3);
    p += kSlices;
    length -= kSlices;
  }
  // The same tables fold eight and four bytes at once, so that a tail costs at most three steps and three bytes
  // (a block seal covers 268 bytes: sixteen steps and a tail of twelve).
  if (length >= 8) {
    std::memcpy(w, p, 8);
    c = Fold(w[0] ^ c, 7) ^ Fold(w[1], 3);
    p += 8;
    length -= 8;
  }
  if (length >= 4) {
    std::memcpy(w, p, 4);
    c = Fold(w[0] ^ c, 3);
    p += 4;
    length -= 4;
  }
  while (length-- > 0) c = (c >> 8) ^ kTables[0][(c ^ *p++) & 0xFFu];
  return c;
}
