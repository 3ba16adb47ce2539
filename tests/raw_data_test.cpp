#include "usb/raw_data.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace {
// A heap that counts its calls and fails on demand.
class FakeHeap final : public RawDataHeap {
 public:
  void* AllocZeroed(std::uint32_t size) override {
    ++allocs;
    return failAlloc ? nullptr : std::calloc(size, 1);
  }
  void* ReAllocZeroed(void* block, std::uint32_t oldSize, std::uint32_t newSize) override {
    ++reallocs;
    if (failReAlloc) return nullptr;
    return ProcessRawDataHeap()->ReAllocZeroed(block, oldSize, newSize);
  }
  void Free(void* block) override {
    ++frees;
    std::free(block);
  }
  bool failAlloc = false;
  bool failReAlloc = false;
  int allocs = 0;
  int reallocs = 0;
  int frees = 0;
};

const std::uint8_t kBytes[] = {'a', 'b', 'c', 'd', 'e', 'f', 'g'};

std::string Contents(const RawData& data) {
  return std::string(reinterpret_cast<const char*>(data.dataBuffer), data.dataLength);
}
}  // namespace

TEST(RawData, ConstructionAllocatesTheSizeZeroFilledOrNothing) {
  FakeHeap heap;
  {
    RawData data(5, &heap);
    EXPECT_EQ(data.heapHandle, &heap);
    ASSERT_NE(data.dataBuffer, nullptr);
    EXPECT_EQ(data.bufferSize, 5u);
    EXPECT_EQ(data.dataLength, 0u);
    EXPECT_EQ(std::memcmp(data.dataBuffer, "\0\0\0\0\0", 5), 0);
  }
  EXPECT_EQ(heap.frees, 1);

  RawData empty(0, &heap);
  EXPECT_EQ(empty.dataBuffer, nullptr);
  EXPECT_EQ(empty.bufferSize, 0u);
  EXPECT_EQ(heap.allocs, 1);

  heap.failAlloc = true;
  RawData failed(5, &heap);
  EXPECT_EQ(failed.dataBuffer, nullptr);
  EXPECT_EQ(failed.bufferSize, 0u);

  RawData noHeap(5, nullptr);
  EXPECT_EQ(noHeap.dataBuffer, nullptr);
  EXPECT_EQ(noHeap.AddData(kBytes, 3), 0);
  EXPECT_EQ(noHeap.dataBuffer, nullptr);
}

TEST(RawData, NothingToAddChangesNothingAndSucceedsOnlyWithABuffer) {
  struct Case {
    std::uint32_t size;
    const std::uint8_t* bytes;
    std::uint32_t count;
    int expected;
  };
  const Case cases[] = {
      {0, kBytes, 0, 0},
      {4, kBytes, 0, 1},
      {0, nullptr, 3, 0},
      {4, nullptr, 3, 1},
  };
  for (const Case& c : cases) {
    FakeHeap heap;
    RawData data(c.size, &heap);
    const std::uint8_t* buffer = data.dataBuffer;
    EXPECT_EQ(data.AddData(c.bytes, c.count), c.expected) << c.size << " " << c.count;
    EXPECT_EQ(data.dataBuffer, buffer);
    EXPECT_EQ(data.bufferSize, c.size);
    EXPECT_EQ(data.dataLength, 0u);
    EXPECT_EQ(heap.allocs, c.size != 0 ? 1 : 0);
    EXPECT_EQ(heap.reallocs, 0);
  }
}

TEST(RawData, AddedBytesFollowEachOtherAndStayZeroTerminated) {
  FakeHeap heap;
  RawData data(0, &heap);
  ASSERT_NE(data.AddData(kBytes, 3), 0);
  EXPECT_EQ(data.bufferSize, 4u);
  ASSERT_NE(data.AddData(kBytes + 3, 4), 0);
  EXPECT_EQ(data.dataLength, 7u);
  EXPECT_EQ(data.bufferSize, 8u);
  EXPECT_EQ(Contents(data), "abcdefg");
  EXPECT_EQ(data.dataBuffer[7], 0);
  EXPECT_EQ(heap.allocs, 1);
  EXPECT_EQ(heap.reallocs, 1);
}

TEST(RawData, ABufferOfTheCountGrowsByTheTerminatorAndALargeOneIsKept) {
  FakeHeap heap;
  RawData exact(7, &heap);
  ASSERT_NE(exact.AddData(kBytes, 7), 0);
  EXPECT_EQ(exact.bufferSize, 8u);
  EXPECT_EQ(heap.reallocs, 1);

  RawData large(16, &heap);
  const std::uint8_t* buffer = large.dataBuffer;
  ASSERT_NE(large.AddData(kBytes, 7), 0);
  EXPECT_EQ(large.dataBuffer, buffer);
  EXPECT_EQ(large.bufferSize, 16u);
  EXPECT_EQ(Contents(large), "abcdefg");
  EXPECT_EQ(heap.reallocs, 1);
}

TEST(RawData, AFailedGrowthKeepsTheDataAsItWas) {
  FakeHeap heap;
  RawData data(0, &heap);
  ASSERT_NE(data.AddData(kBytes, 3), 0);
  heap.failReAlloc = true;
  EXPECT_EQ(data.AddData(kBytes + 3, 4), 0);
  EXPECT_EQ(Contents(data), "abc");
  EXPECT_EQ(data.bufferSize, 4u);
  EXPECT_EQ(data.dataBuffer[3], 0);

  heap.failAlloc = true;
  RawData none(0, &heap);
  EXPECT_EQ(none.AddData(kBytes, 3), 0);
  EXPECT_EQ(none.dataBuffer, nullptr);
  EXPECT_EQ(none.dataLength, 0u);
}

TEST(RawData, ALengthBeyond32BitsIsRefusedWithoutTouchingTheBuffer) {
  FakeHeap heap;
  RawData data(4, &heap);
  data.dataLength = std::numeric_limits<std::uint32_t>::max() - 2;  // as if almost 4 GiB were held
  EXPECT_EQ(data.AddData(kBytes, 2), 0);
  EXPECT_EQ(heap.reallocs, 0);
  EXPECT_EQ(data.bufferSize, 4u);
  data.dataLength = 0;
}
