#include "emu/block_crc.h"

#include <array>
#include <cstring>

#include "image/crc32.h"

namespace {
constexpr std::uint32_t POLYNOMIAL = 0xEDB88320u;
constexpr std::size_t HEADER = BLOCK_CRC_OFFSET - BLOCK_DATA_SIZE;  // id, address, length

// The CRC register after 256 zero bytes is linear in the register before them: four tables, one per byte of it.
using ZeroTables = std::array<std::array<std::uint32_t, 256>, 4>;

std::uint32_t OverZeros(std::uint32_t reg, std::size_t count) {
  for (std::size_t i = 0; i < count * 8; ++i) reg = (reg & 1u) ? (reg >> 1) ^ POLYNOMIAL : reg >> 1;
  return reg;
}

const ZeroTables& Tables() {
  static const ZeroTables tables = [] {
    ZeroTables t{};
    for (std::uint32_t k = 0; k < 4; ++k) {
      for (std::uint32_t b = 0; b < 256; ++b) t[k][b] = OverZeros(b << (8 * k), BLOCK_DATA_SIZE);
    }
    return t;
  }();
  return tables;
}

bool DataIsZero(const UsbBlock& block) {
  static const std::uint8_t zeros[BLOCK_DATA_SIZE] = {};
  return std::memcmp(block.BlockData, zeros, BLOCK_DATA_SIZE) == 0;
}
}  // namespace

std::uint32_t BlockCrc(const UsbBlock& block) {
  if (!DataIsZero(block)) return Crc32(&block, BLOCK_CRC_OFFSET);
  const std::uint32_t reg = ~Crc32(&block, HEADER);
  const ZeroTables& t = Tables();
  return ~(t[0][reg & 0xFF] ^ t[1][(reg >> 8) & 0xFF] ^ t[2][(reg >> 16) & 0xFF] ^ t[3][reg >> 24]);
}
