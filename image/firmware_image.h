#pragma once
// The embedded image catalogue: what is known of each of the two firmware images that the program carries,
// read from their tagged texts and their CRC-32.

#include <cstddef>
#include <cstdint>

#include "image/image_resources.h"

inline constexpr std::int32_t IMAGE_KIND_NONE = 0;  // no version tag found: the record is not valid
inline constexpr std::int32_t IMAGE_KIND_APPLICATION = 1;
inline constexpr std::int32_t IMAGE_KIND_BOOTLOADER = 2;

// An image is used only when its size lies strictly between these bounds.
inline constexpr std::uint32_t IMAGE_SIZE_LOWER_BOUND = 0x10000;   // 65,536: too small
inline constexpr std::uint32_t IMAGE_SIZE_UPPER_BOUND = 0x700000;  // 7,340,032: too large

// An image of at most this size is a bootloader image, a larger one an application image.
inline constexpr std::uint32_t BOOTLOADER_SIZE_LIMIT = 0x5E800;  // 387,072

// The CRC-32 values that the two embedded images must have.
inline constexpr std::uint32_t APPLICATION_IMAGE_CRC = 0x89FDCD98u;
inline constexpr std::uint32_t BOOTLOADER_IMAGE_CRC = 0xD5BBA49Fu;

inline constexpr std::size_t IMAGE_VERSION_SIZE = 16;  // at most 15 characters and the NUL

struct FirmwareImageInfo {
  std::int32_t kind;
  std::uint32_t size;
  char version[IMAGE_VERSION_SIZE];
  std::uint32_t hardwareLow;
  std::uint32_t hardwareHigh;
  std::uint32_t crc;
};

// The records of the two embedded images (resources 109 and 110), for the life of the process.
// Only the user-interface thread touches them.
extern FirmwareImageInfo ApplicationImageInfo;
extern FirmwareImageInfo BootloaderImageInfo;

// Fills info from the image resourceId: its size, the version behind the size-chosen version tag, the hardware
// range and the CRC-32. Returns nonzero when the version tag was found (info.kind nonzero), else 0.
int ScanFirmwareImage(std::uint16_t resourceId, FirmwareImageInfo& info, ResourceLoader& resources);

// Scans the application image, then the bootloader image, and checks each CRC-32; the first failure ends it.
// Returns 1 when both images are present, carry their version tag and have the expected CRC-32, else 0.
int ValidateFirmwareImages(ResourceLoader& resources);
