// The program's resources natively: the two firmware images are byte ranges linked into the program
// (generated/embedded_images.cpp), found by their resource ids and read in place.

#include <cstdint>

#include "image/image_resources.h"

extern "C" const std::uint8_t embedded_application_image_begin[];
extern "C" const std::uint8_t embedded_application_image_end[];
extern "C" const std::uint8_t embedded_bootloader_image_begin[];
extern "C" const std::uint8_t embedded_bootloader_image_end[];

namespace {
struct LinkedResource {
  std::uint16_t id;
  const std::uint8_t* begin;
  const std::uint8_t* end;
};

const LinkedResource kLinkedResources[] = {
    {IDR_APPLICATION_IMAGE, embedded_application_image_begin, embedded_application_image_end},
    {IDR_BOOTLOADER_IMAGE, embedded_bootloader_image_begin, embedded_bootloader_image_end},
};

// The linked ranges need no loading: the handle is the range itself, and freeing it does nothing.
class LinkedResources final : public ResourceLoader {
 public:
  ResourceInfo FindRawData(std::uint16_t id) override {
    for (const LinkedResource& resource : kLinkedResources) {
      if (resource.id == id) return const_cast<LinkedResource*>(&resource);
    }
    return nullptr;
  }
  std::uint32_t SizeOf(ResourceInfo info) override {
    const auto* resource = static_cast<const LinkedResource*>(info);
    return resource != nullptr ? static_cast<std::uint32_t>(resource->end - resource->begin) : 0;
  }
  ResourceHandle Load(ResourceInfo info) override { return info; }
  const std::uint8_t* Lock(ResourceHandle handle) override {
    const auto* resource = static_cast<const LinkedResource*>(handle);
    return resource != nullptr ? resource->begin : nullptr;
  }
  void Free(ResourceHandle) override {}
};
}  // namespace

ResourceLoader& ProgramResources() {
  static LinkedResources resources;
  return resources;
}
