#pragma once
// A ResourceLoader that serves byte vectors by id. Each Load hands out its own heap copy that Free releases,
// so that a read of the image after its release is a use-after-free under AddressSanitizer.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "image/image_resources.h"

class FakeResources final : public ResourceLoader {
 public:
  void Add(std::uint16_t id, std::vector<std::uint8_t> bytes) { resources_[id] = std::move(bytes); }
  bool failLoad = false;         // Load gives no handle
  bool failLock = false;         // Lock gives no pointer
  std::function<void()> onFree;  // runs inside Free, on the thread that releases

  ResourceInfo FindRawData(std::uint16_t id) override;
  std::uint32_t SizeOf(ResourceInfo info) override;
  ResourceHandle Load(ResourceInfo info) override;
  const std::uint8_t* Lock(ResourceHandle handle) override;
  void Free(ResourceHandle handle) override;

  int Loads() const { return loads_.load(); }
  int Frees() const { return frees_.load(); }

 private:
  std::map<std::uint16_t, std::vector<std::uint8_t>> resources_;
  std::atomic<int> loads_{0};
  std::atomic<int> frees_{0};
};
