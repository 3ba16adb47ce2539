#include "usb/seam_records.h"

#include <cstring>
#include <new>

std::unique_ptr<std::uint8_t[]> AllocateRecord(std::uint32_t size) {
  return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[size]());
}

bool FillLocationRecord(const std::string& location, void* buffer, std::uint32_t bufferSize,
                        std::uint32_t* requiredSize) {
  const auto required = static_cast<std::uint32_t>((location.size() + 1) * sizeof(std::uint16_t));
  if (requiredSize != nullptr) *requiredSize = required;
  if (buffer == nullptr || bufferSize < required) return false;
  auto* out = static_cast<std::uint8_t*>(buffer);
  for (std::size_t i = 0; i <= location.size(); ++i) {
    const std::uint16_t unit = i < location.size() ? static_cast<std::uint8_t>(location[i]) : 0;
    std::memcpy(out + i * sizeof unit, &unit, sizeof unit);
  }
  return true;
}

std::string LocationFromRecord(const std::uint8_t* record, std::uint32_t size) {
  std::string text;
  for (std::uint32_t i = 0; record != nullptr && i + 1 < size; i += 2) {
    std::uint16_t unit = 0;
    std::memcpy(&unit, record + i, sizeof unit);
    if (unit == 0) break;
    text += static_cast<char>(unit & 0xFF);
  }
  return text;
}
