#include "usb/raw_data.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace {
class CHeap final : public RawDataHeap {
 public:
  void* AllocZeroed(std::uint32_t size) override { return std::calloc(size, 1); }
  void* ReAllocZeroed(void* block, std::uint32_t oldSize, std::uint32_t newSize) override {
    void* grown = std::realloc(block, newSize);
    if (grown != nullptr && newSize > oldSize)
      std::memset(static_cast<std::uint8_t*>(grown) + oldSize, 0, newSize - oldSize);
    return grown;
  }
  void Free(void* block) override { std::free(block); }
};
}  // namespace

RawDataHeap* ProcessRawDataHeap() {
  static CHeap heap;
  return &heap;
}

RawData::RawData(std::uint32_t size, RawDataHeap* heap) : heapHandle(heap) {
  if (size == 0 || heapHandle == nullptr) return;
  dataBuffer = static_cast<std::uint8_t*>(heapHandle->AllocZeroed(size));
  if (dataBuffer != nullptr) bufferSize = size;
}

RawData::~RawData() {
  if (dataBuffer == nullptr || heapHandle == nullptr) return;
  heapHandle->Free(dataBuffer);
  dataBuffer = nullptr;
  bufferSize = 0;
  dataLength = 0;
}

int RawData::AddData(const std::uint8_t* bytes, std::uint32_t count) {
  if (heapHandle == nullptr || bytes == nullptr || count == 0) return dataBuffer != nullptr;
  // The data, the new bytes and the terminating zero; a room beyond 32 bits cannot be held.
  if (count > std::numeric_limits<std::uint32_t>::max() - 1 - dataLength) return 0;
  const std::uint32_t room = dataLength + count + 1;
  if (dataBuffer == nullptr) {
    dataBuffer = static_cast<std::uint8_t*>(heapHandle->AllocZeroed(room));
    if (dataBuffer != nullptr) bufferSize = room;
  } else if (bufferSize < room) {
    void* grown = heapHandle->ReAllocZeroed(dataBuffer, bufferSize, room);
    if (grown != nullptr) {
      dataBuffer = static_cast<std::uint8_t*>(grown);
      bufferSize = room;
    }
  }
  if (dataBuffer == nullptr || bufferSize < room) return 0;
  std::memcpy(dataBuffer + dataLength, bytes, count);
  dataLength += count;
  dataBuffer[dataLength] = 0;
  return 1;
}
