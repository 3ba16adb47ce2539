#include "image/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <ostream>
#include <random>
#include <vector>

// Names the routine in test names and failure messages.
void PrintTo(Crc32Impl impl, std::ostream* out) { *out << (impl == Crc32Impl::Table ? "Table" : "Clmul"); }

namespace {
std::uint32_t ZlibCrc(const std::uint8_t* p, std::size_t length) {
  return static_cast<std::uint32_t>(crc32(0, p, static_cast<uInt>(length)));
}

std::vector<std::uint8_t> RandomBytes(std::size_t length, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<std::uint8_t> bytes(length);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  return bytes;
}
}  // namespace

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

// Crc32 picks a routine per call by length, so one CRC may pass from one routine to the other and back.
TEST(Crc32, RoutinesContinueEachOthersCrc) {
  const auto bytes = RandomBytes(20000, 3);
  const std::size_t pieces[] = {5, 300, 1, 64, 31, 32, 33, 4001, 7, 268, 15, 129};
  std::uint32_t crc = 0;
  std::size_t at = 0;
  for (std::size_t i = 0; i < std::size(pieces); ++i) {
    const Crc32Impl impl = i % 2 == 0 ? Crc32Impl::Table : Crc32Impl::Clmul;
    crc = Crc32With(impl, crc, bytes.data() + at, pieces[i]);
    at += pieces[i];
    ASSERT_EQ(crc, ZlibCrc(bytes.data(), at)) << "after piece " << i;
    ASSERT_EQ(Crc32Update(Crc32(bytes.data(), at - pieces[i]), bytes.data() + at - pieces[i], pieces[i]), crc);
  }
}

// Each routine the build has, forced, against zlib. A routine the processor lacks is skipped.
class Crc32Impls : public ::testing::TestWithParam<Crc32Impl> {
 protected:
  void SetUp() override {
    if (!Crc32ImplAvailable(GetParam())) GTEST_SKIP() << "this processor lacks the routine's instructions";
  }

  std::uint32_t Crc(const std::uint8_t* p, std::size_t length, std::uint32_t crc = 0) const {
    return Crc32With(GetParam(), crc, p, length);
  }
};

TEST_P(Crc32Impls, CheckValues) {
  EXPECT_EQ(Crc(reinterpret_cast<const std::uint8_t*>("123456789"), 9), 0xCBF43926u);
  EXPECT_EQ(Crc(nullptr, 0), 0u);
  EXPECT_EQ(Crc(nullptr, 0, 0x12345678u), 0x12345678u);
  const std::uint8_t zeros[272] = {};
  EXPECT_EQ(Crc(zeros, sizeof zeros), ZlibCrc(zeros, sizeof zeros));
}

// Every length a block seal or a tail can have, starting at every offset within a cache line.
TEST_P(Crc32Impls, MatchesZlibAtEveryAlignmentAndShortLength) {
  constexpr std::size_t kLongest = 600;
  alignas(64) std::array<std::uint8_t, 64 + kLongest> buffer;
  const auto random = RandomBytes(buffer.size(), 20261210);
  std::copy(random.begin(), random.end(), buffer.begin());
  for (std::size_t offset = 0; offset < 64; ++offset) {
    for (std::size_t length = 0; length <= kLongest; ++length) {
      const std::uint8_t* p = buffer.data() + offset;
      ASSERT_EQ(Crc(p, length), ZlibCrc(p, length)) << "offset " << offset << " length " << length;
    }
  }
}

// Each length alone in a heap buffer of its size: the address sanitiser catches a read past the end.
TEST_P(Crc32Impls, ReadsNoFurtherThanTheLastByte) {
  const auto random = RandomBytes(600, 11);
  for (std::size_t length = 1; length <= random.size(); ++length) {
    const std::vector<std::uint8_t> exact(random.begin(), random.begin() + static_cast<std::ptrdiff_t>(length));
    ASSERT_EQ(Crc(exact.data(), length), ZlibCrc(exact.data(), length)) << "length " << length;
  }
}

// The application and bootloader image sizes, and random lengths at random offsets.
TEST_P(Crc32Impls, MatchesZlibOverLongBuffers) {
  const auto buffer = RandomBytes(2633516 + 64, 20261211);
  for (std::size_t length : {4095u, 4096u, 65536u, 69999u, 156400u, 2633516u}) {
    for (std::size_t offset : {0u, 1u, 13u, 32u}) {
      const std::uint8_t* p = buffer.data() + offset;
      ASSERT_EQ(Crc(p, length), ZlibCrc(p, length)) << "length " << length << " offset " << offset;
    }
  }
  std::mt19937 random(20261212);
  for (int i = 0; i < 200; ++i) {
    const std::size_t length = random() % 5000;
    const std::uint8_t* p = buffer.data() + random() % 64;
    ASSERT_EQ(Crc(p, length), ZlibCrc(p, length)) << "length " << length;
  }
}

TEST_P(Crc32Impls, UpdateContinuesAcrossEverySplit) {
  const auto bytes = RandomBytes(700, 5);
  const std::uint32_t whole = ZlibCrc(bytes.data(), bytes.size());
  for (std::size_t split = 0; split <= bytes.size(); ++split) {
    ASSERT_EQ(Crc(bytes.data() + split, bytes.size() - split, Crc(bytes.data(), split)), whole) << "split " << split;
  }
}

// The bootloader image in pieces of odd lengths, so that every piece starts at another alignment.
TEST_P(Crc32Impls, UpdateContinuesOverOddPieces) {
  const auto bytes = RandomBytes(156400, 7);
  const std::size_t pieces[] = {1, 3, 15, 17, 31, 63, 65, 127, 268, 1021, 4099};
  std::uint32_t crc = 0;
  std::size_t at = 0;
  for (std::size_t i = 0; at < bytes.size(); ++i) {
    const std::size_t length = std::min(pieces[i % std::size(pieces)], bytes.size() - at);
    crc = Crc(bytes.data() + at, length, crc);
    at += length;
  }
  EXPECT_EQ(crc, ZlibCrc(bytes.data(), bytes.size()));
}

INSTANTIATE_TEST_SUITE_P(Crc32, Crc32Impls, ::testing::Values(Crc32Impl::Table, Crc32Impl::Clmul),
                         ::testing::PrintToStringParamName());
