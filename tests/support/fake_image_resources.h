#pragma once
// A resource loader over images held in memory, with failures on demand, for tests of what reads images.
// Each image's bytes lie in an allocation of exactly its size, so that a read past its end is caught by ASan.

#include <cstdint>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

#include "image/image_resources.h"

class FakeImageResources final : public ResourceLoader {
 public:
  void Add(std::uint16_t id, std::vector<std::uint8_t> bytes);
  void Remove(std::uint16_t id);
  void FailLoad(std::uint16_t id);  // Load answers null
  void FailLock(std::uint16_t id);  // Lock answers null

  const std::vector<std::uint16_t>& Lookups() const { return lookups_; }  // ids asked for, in order
  int Loads() const { return loads_; }
  int Frees() const { return frees_; }

  ResourceInfo FindRawData(std::uint16_t id) override;
  std::uint32_t SizeOf(ResourceInfo info) override;
  ResourceHandle Load(ResourceInfo info) override;
  const std::uint8_t* Lock(ResourceHandle handle) override;
  void Free(ResourceHandle handle) override;

 private:
  struct Entry {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::uint32_t size = 0;
    bool failLoad = false;
    bool failLock = false;
  };
  std::map<std::uint16_t, Entry> entries_;
  std::vector<std::uint16_t> lookups_;
  int loads_ = 0;
  int frees_ = 0;
};

// An image of `size` filler bytes (no NUL, no tag) to place tagged texts into.
std::vector<std::uint8_t> FillerImage(std::size_t size);

// Writes tag and text at offset, each byte that fits inside the image; with terminate, a NUL after the text.
void PutTaggedText(std::vector<std::uint8_t>& image, std::size_t offset, std::string_view tag, std::string_view text,
                   bool terminate = true);
