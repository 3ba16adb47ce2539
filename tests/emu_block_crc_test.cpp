// The unit's block CRC takes a short way over blocks without data; it must equal the CRC-32 of bytes 0 to 267.

#include <gtest/gtest.h>

#include "emu/block_crc.h"
#include "image/crc32.h"

namespace {
TEST(EmuBlockCrc, EqualsTheCrcOfTheFirst268BytesWithAndWithoutData) {
  std::uint32_t x = 12345;
  const auto next = [&] { return x = x * 1664525u + 1013904223u; };
  for (int i = 0; i < 200; ++i) {
    UsbBlock block{};
    block.BlockID = next() % 16;
    block.BlockAddress = next();
    block.BlockLength = i % 3 == 0 ? 0 : next();
    block.BlockCRC = next();  // never part of it
    if (i % 2 == 1) block.BlockData[next() % BLOCK_DATA_SIZE] = static_cast<std::uint8_t>(next() | 1);
    EXPECT_EQ(BlockCrc(block), Crc32(&block, BLOCK_CRC_OFFSET)) << i;
  }
}
}  // namespace
