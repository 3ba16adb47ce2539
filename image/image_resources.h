#pragma once
// Raw-data resources of the program's own module, found by integer identifier, read in place.
// Shaped after FindResourceW / SizeofResource / LoadResource / LockResource / FreeResource.
// Windows: RT_RCDATA resources. Natively: byte ranges linked into the program, found by the same ids.

#include <cstdint>

inline constexpr std::uint16_t IDR_APPLICATION_IMAGE = 109;
inline constexpr std::uint16_t IDR_BOOTLOADER_IMAGE = 110;

using ResourceInfo = void*;    // null: no such resource
using ResourceHandle = void*;  // null: not loaded

class ResourceLoader {
 public:
  virtual ~ResourceLoader() = default;
  virtual ResourceInfo FindRawData(std::uint16_t id) = 0;
  virtual std::uint32_t SizeOf(ResourceInfo info) = 0;
  virtual ResourceHandle Load(ResourceInfo info) = 0;
  virtual const std::uint8_t* Lock(ResourceHandle handle) = 0;  // null if the bytes cannot be reached
  virtual void Free(ResourceHandle handle) = 0;
};

// The program's own resources.
ResourceLoader& ProgramResources();
