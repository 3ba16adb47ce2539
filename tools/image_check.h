#pragma once
// What a unit holds after a completed update, checked against the program's own images: both bootloader copies
// and the application equal to the images (no unstable bit), every slot flag set. Shared by the cut sweep and
// the tray campaign (a header of its own, so that each tool's build takes it without a source more).

#include <cstdint>
#include <string>
#include <vector>

#include "emu/emulated_unit.h"
#include "image/image_resources.h"
#include "ui/resource_ids.h"

struct ExpectedImages {
  std::vector<std::uint8_t> bootloader;
  std::vector<std::uint8_t> application;
};

inline std::vector<std::uint8_t> ResourceCopy(std::uint16_t id) {
  ResourceLoader& resources = ProgramResources();
  const ResourceInfo info = resources.FindRawData(id);
  if (info == nullptr) return {};
  const std::uint32_t size = resources.SizeOf(info);
  const ResourceHandle handle = resources.Load(info);
  const std::uint8_t* bytes = handle != nullptr ? resources.Lock(handle) : nullptr;
  std::vector<std::uint8_t> copy;
  if (bytes != nullptr) copy.assign(bytes, bytes + size);
  if (handle != nullptr) resources.Free(handle);
  return copy;
}

// The images the program carries, read once.
inline const ExpectedImages& TheImages() {
  static const ExpectedImages images{ResourceCopy(IDR_BOOTLOADER_IMAGE), ResourceCopy(IDR_APPLICATION_IMAGE)};
  return images;
}

// What the unit should hold after a completed update and does not ("copy 1 differs; flag 2 clear; "); empty
// when it holds it all.
inline std::string WhatIsWrong(const EmulatedUnit& unit) {
  const ExpectedImages& images = TheImages();
  const struct {
    const char* name;
    std::uint32_t address;
    const std::vector<std::uint8_t>& image;
  } regions[] = {{"copy 1", UNIT_BOOTLOADER1_ADDRESS, images.bootloader},
                 {"copy 2", UNIT_BOOTLOADER2_ADDRESS, images.bootloader},
                 {"the application", UNIT_APPLICATION_ADDRESS, images.application}};
  std::string wrong;
  for (const auto& region : regions) {
    const auto size = static_cast<std::uint32_t>(region.image.size());
    if (!unit.FlashHolds(region.address, region.image.data(), size)) wrong += std::string(region.name) + " differs; ";
  }
  for (UnitSlot slot : UNIT_SLOTS) {
    if (!unit.SlotFlag(slot)) wrong += "flag " + std::to_string(SlotIndex(slot)) + " clear; ";
  }
  return wrong;
}
