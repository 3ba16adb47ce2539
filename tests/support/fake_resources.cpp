#include "support/fake_resources.h"

ResourceInfo FakeResources::FindRawData(std::uint16_t id) {
  const auto found = resources_.find(id);
  return found == resources_.end() ? nullptr : &found->second;
}

std::uint32_t FakeResources::SizeOf(ResourceInfo info) {
  return static_cast<std::uint32_t>(static_cast<const std::vector<std::uint8_t>*>(info)->size());
}

ResourceHandle FakeResources::Load(ResourceInfo info) {
  if (failLoad) return nullptr;
  ++loads_;
  return new std::vector<std::uint8_t>(*static_cast<const std::vector<std::uint8_t>*>(info));
}

const std::uint8_t* FakeResources::Lock(ResourceHandle handle) {
  if (failLock) return nullptr;
  auto* bytes = static_cast<std::vector<std::uint8_t>*>(handle);
  if (bytes->empty()) bytes->reserve(1);  // an empty resource still has an address, as on Windows
  return bytes->data();
}

void FakeResources::Free(ResourceHandle handle) {
  if (onFree) onFree();
  ++frees_;
  delete static_cast<std::vector<std::uint8_t>*>(handle);
}
