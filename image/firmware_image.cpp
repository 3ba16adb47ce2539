#include "image/firmware_image.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>

#include "image/crc32.h"
#include "image/image_tags.h"

FirmwareImageInfo ApplicationImageInfo{};
FirmwareImageInfo BootloaderImageInfo{};

namespace {
// A loaded resource, released when the scan leaves by any road.
class LoadedResource {
 public:
  LoadedResource(ResourceLoader& resources, ResourceInfo found)
      : resources_(resources), handle_(resources.Load(found)) {}
  ~LoadedResource() {
    if (handle_ != nullptr) resources_.Free(handle_);
  }
  LoadedResource(const LoadedResource&) = delete;
  LoadedResource& operator=(const LoadedResource&) = delete;

  bool Loaded() const { return handle_ != nullptr; }
  const std::uint8_t* Lock() { return resources_.Lock(handle_); }

 private:
  ResourceLoader& resources_;
  ResourceHandle handle_;
};

// The first position where the 37 bytes of tag stand, or null. Same result as comparing at every position
// from the first byte on; memchr only skips the positions whose first byte cannot match.
const std::uint8_t* FindTag(const std::uint8_t* image, std::size_t size, const char* tag) {
  if (size < IMAGE_TAG_LENGTH) return nullptr;
  const std::uint8_t* p = image;
  const std::uint8_t* const last = image + (size - IMAGE_TAG_LENGTH);
  while (p <= last) {
    p = static_cast<const std::uint8_t*>(
        std::memchr(p, static_cast<unsigned char>(tag[0]), static_cast<std::size_t>(last - p) + 1));
    if (p == nullptr) return nullptr;
    if (std::memcmp(p + 1, tag + 1, IMAGE_TAG_LENGTH - 1) == 0) return p;
    ++p;
  }
  return nullptr;
}

// The text behind a tag runs to its first NUL byte, and never past the image's end.
const std::uint8_t* TextEnd(const std::uint8_t* text, const std::uint8_t* imageEnd) {
  const void* nul = std::memchr(text, 0, static_cast<std::size_t>(imageEnd - text));
  return nul != nullptr ? static_cast<const std::uint8_t*>(nul) : imageEnd;
}

void CopyVersion(const std::uint8_t* text, const std::uint8_t* textEnd, char (&version)[IMAGE_VERSION_SIZE]) {
  const std::size_t length = std::min<std::size_t>(static_cast<std::size_t>(textEnd - text), IMAGE_VERSION_SIZE - 1);
  std::memcpy(version, text, length);
  version[length] = '\0';
}

bool IsScanfSpace(std::uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// One "%d" conversion: white space, an optional sign, at least one decimal digit. A number beyond the 32-bit
// range is held at its nearest bound instead of being left undefined.
bool ReadDecimal(const std::uint8_t*& p, const std::uint8_t* end, std::int32_t& value) {
  const std::uint8_t* q = p;
  while (q < end && IsScanfSpace(*q)) ++q;
  bool negative = false;
  if (q < end && (*q == '+' || *q == '-')) negative = *q++ == '-';
  if (q == end || *q < '0' || *q > '9') return false;
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t magnitude = 0;
  for (; q < end && *q >= '0' && *q <= '9'; ++q) magnitude = std::min(magnitude * 10 + (*q - '0'), kLimit);
  if (!negative) magnitude = std::min(magnitude, kLimit - 1);
  value = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
  p = q;
  return true;
}

// The hardware range text, read as "%d_%d": two numbers are the lowest and the highest identifier, one number
// is both, none leaves the range 0 to 0. Negative numbers keep their two's-complement form.
void ReadHardwareRange(const std::uint8_t* text, const std::uint8_t* textEnd, FirmwareImageInfo& info) {
  const std::uint8_t* p = text;
  std::int32_t low = 0;
  std::int32_t high = 0;
  if (!ReadDecimal(p, textEnd, low)) return;
  high = low;
  if (p < textEnd && *p == '_') {
    ++p;
    ReadDecimal(p, textEnd, high);
  }
  info.hardwareLow = static_cast<std::uint32_t>(low);
  info.hardwareHigh = static_cast<std::uint32_t>(high);
}
}  // namespace

int ScanFirmwareImage(std::uint16_t resourceId, FirmwareImageInfo& info, ResourceLoader& resources) {
  info = FirmwareImageInfo{};
  const ResourceInfo found = resources.FindRawData(resourceId);
  if (found == nullptr) return 0;
  info.size = resources.SizeOf(found);
  if (info.size <= IMAGE_SIZE_LOWER_BOUND || info.size >= IMAGE_SIZE_UPPER_BOUND) return 0;

  // The size alone decides which version tag is looked for.
  const bool bootloader = info.size <= BOOTLOADER_SIZE_LIMIT;
  const char* versionTag = bootloader ? BOOTLOADER_VERSION_TAG : APPLICATION_VERSION_TAG;

  LoadedResource loaded(resources, found);
  if (!loaded.Loaded()) return 0;
  const std::uint8_t* image = loaded.Lock();  // read in place, never copied
  if (image == nullptr) return 0;
  const std::uint8_t* const imageEnd = image + info.size;

  // The first occurrence of each tag counts; the two searches are independent of each other.
  if (const std::uint8_t* tag = FindTag(image, info.size, versionTag)) {
    const std::uint8_t* text = tag + IMAGE_TAG_LENGTH;
    info.kind = bootloader ? IMAGE_KIND_BOOTLOADER : IMAGE_KIND_APPLICATION;
    CopyVersion(text, TextEnd(text, imageEnd), info.version);
  }
  if (const std::uint8_t* tag = FindTag(image, info.size, HARDWARE_RANGE_TAG)) {
    const std::uint8_t* text = tag + IMAGE_TAG_LENGTH;
    ReadHardwareRange(text, TextEnd(text, imageEnd), info);
  }

  info.crc = Crc32(image, info.size);
  return info.kind != IMAGE_KIND_NONE ? 1 : 0;
}

int ValidateFirmwareImages(ResourceLoader& resources) {
  if (ScanFirmwareImage(IDR_APPLICATION_IMAGE, ApplicationImageInfo, resources) == 0) return 0;
  if (ApplicationImageInfo.crc != APPLICATION_IMAGE_CRC) return 0;
  if (ScanFirmwareImage(IDR_BOOTLOADER_IMAGE, BootloaderImageInfo, resources) == 0) return 0;
  if (BootloaderImageInfo.crc != BOOTLOADER_IMAGE_CRC) return 0;
  return 1;
}
