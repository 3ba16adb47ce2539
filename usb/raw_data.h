#pragma once
// RawData: a growable block of received bytes on a heap, kept zero-terminated behind the data so that it
// can also be read as text.

#include <cstdint>

// The heap a RawData lives on: zero-filled allocation and growth, and release.
class RawDataHeap {
 public:
  virtual ~RawDataHeap() = default;
  // A zero-filled block of size bytes, or null.
  virtual void* AllocZeroed(std::uint32_t size) = 0;
  // The block grown (or shrunk) from oldSize to newSize bytes, the added bytes zero; null on failure, and
  // the old block then stays as it was.
  virtual void* ReAllocZeroed(void* block, std::uint32_t oldSize, std::uint32_t newSize) = 0;
  virtual void Free(void* block) = 0;
};

// The process heap.
RawDataHeap* ProcessRawDataHeap();

class RawData {
 public:
  explicit RawData(std::uint32_t size, RawDataHeap* heap = ProcessRawDataHeap());
  virtual ~RawData();
  RawData(const RawData&) = delete;
  RawData& operator=(const RawData&) = delete;

  // Appends count bytes behind the data; nonzero on success.
  int AddData(const std::uint8_t* bytes, std::uint32_t count);

  // Fields, in order.
  RawDataHeap* heapHandle;
  std::uint32_t bufferSize = 0;
  std::uint8_t* dataBuffer = nullptr;
  std::uint32_t dataLength = 0;
};
