#include "support/fake_image_resources.h"

#include <algorithm>
#include <cstring>

void FakeImageResources::Add(std::uint16_t id, std::vector<std::uint8_t> bytes) {
  Entry entry;
  entry.size = static_cast<std::uint32_t>(bytes.size());
  entry.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), entry.bytes.get());
  entries_[id] = std::move(entry);
}

void FakeImageResources::Remove(std::uint16_t id) { entries_.erase(id); }
void FakeImageResources::FailLoad(std::uint16_t id) { entries_.at(id).failLoad = true; }
void FakeImageResources::FailLock(std::uint16_t id) { entries_.at(id).failLock = true; }

ResourceInfo FakeImageResources::FindRawData(std::uint16_t id) {
  lookups_.push_back(id);
  const auto found = entries_.find(id);
  return found != entries_.end() ? &found->second : nullptr;
}

std::uint32_t FakeImageResources::SizeOf(ResourceInfo info) {
  return info != nullptr ? static_cast<Entry*>(info)->size : 0;
}

ResourceHandle FakeImageResources::Load(ResourceInfo info) {
  auto* entry = static_cast<Entry*>(info);
  if (entry == nullptr || entry->failLoad) return nullptr;
  ++loads_;
  return entry;
}

const std::uint8_t* FakeImageResources::Lock(ResourceHandle handle) {
  auto* entry = static_cast<Entry*>(handle);
  return entry != nullptr && !entry->failLock ? entry->bytes.get() : nullptr;
}

void FakeImageResources::Free(ResourceHandle handle) {
  if (handle != nullptr) ++frees_;
}

std::vector<std::uint8_t> FillerImage(std::size_t size) {
  std::vector<std::uint8_t> image(size);
  for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<std::uint8_t>('A' + i % 23);
  return image;
}

void PutTaggedText(std::vector<std::uint8_t>& image, std::size_t offset, std::string_view tag, std::string_view text,
                   bool terminate) {
  std::string bytes(tag);
  bytes += text;
  if (terminate) bytes += '\0';
  for (std::size_t i = 0; i < bytes.size() && offset + i < image.size(); ++i) {
    image[offset + i] = static_cast<std::uint8_t>(bytes[i]);
  }
}
