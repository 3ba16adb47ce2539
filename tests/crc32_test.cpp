#include "image/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

TEST(Crc32, CheckValues) {
  EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(Crc32("", 0), 0u);
  EXPECT_EQ(Crc32(nullptr, 0), 0u);
  const std::uint8_t zeros[272] = {};
  EXPECT_EQ(Crc32(zeros, sizeof zeros), static_cast<std::uint32_t>(crc32(0, zeros, sizeof zeros)));
}

// zlib is the independent oracle: random buffers of many lengths and at every alignment.
TEST(Crc32, MatchesZlibOverRandomBuffers) {
  std::mt19937 random(20261210);
  std::vector<std::uint8_t> buffer(70000 + 64);  // room for the longest length at every offset
  for (auto& b : buffer) b = static_cast<std::uint8_t>(random());
  for (std::size_t length :
       {1u, 2u, 3u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 255u, 256u, 268u, 272u, 4095u, 65536u, 69999u}) {
    for (std::size_t offset = 0; offset < 8; ++offset) {
      const std::uint8_t* p = buffer.data() + offset;
      ASSERT_EQ(Crc32(p, length), static_cast<std::uint32_t>(crc32(0, p, static_cast<uInt>(length))))
          << "length " << length << " offset " << offset;
    }
  }
  for (int i = 0; i < 200; ++i) {
    const std::size_t length = random() % 5000;
    const std::size_t offset = random() % 64;
    const std::uint8_t* p = buffer.data() + offset;
    ASSERT_EQ(Crc32(p, length), static_cast<std::uint32_t>(crc32(0, p, static_cast<uInt>(length))));
  }
}

TEST(Crc32, UpdateContinuesAcrossPieces) {
  const char text[] = "123456789";
  EXPECT_EQ(Crc32Update(Crc32(text, 4), text + 4, 5), 0xCBF43926u);
}
