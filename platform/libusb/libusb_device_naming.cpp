#include "platform/libusb/libusb_device_naming.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

#include "app/registry_check.h"

namespace {
// "VID_7A31&PID_ACDC" → the two ids; false for any other shape.
bool ParseDeviceId(const char* text, std::uint16_t* vendorId, std::uint16_t* productId) {
  unsigned vid = 0, pid = 0;
  int consumed = 0;
  if (std::sscanf(text, "VID_%4x&PID_%4x%n", &vid, &pid, &consumed) != 2 || text[consumed] != '\0') return false;
  *vendorId = static_cast<std::uint16_t>(vid);
  *productId = static_cast<std::uint16_t>(pid);
  return true;
}
}  // namespace

std::string GuidText(const Guid& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.data1, guid.data2,
                guid.data3, guid.data4[0], guid.data4[1], guid.data4[2], guid.data4[3], guid.data4[4], guid.data4[5],
                guid.data4[6], guid.data4[7]);
  return text;
}

std::optional<std::uint8_t> UnitInterfaceNumber(const Guid& interfaceClass, std::uint16_t vendorId,
                                                std::uint16_t productId) {
  const std::string wanted = GuidText(interfaceClass);
  for (int device = 0; device < REGCHECK_DEVICE_COUNT; ++device) {
    std::uint16_t vid = 0, pid = 0;
    if (!ParseDeviceId(REGCHECK_DEVICE_IDS[device], &vid, &pid) || vid != vendorId || pid != productId) continue;
    for (int number = 0; number < REGCHECK_INTERFACE_COUNT; ++number) {
      if (strcasecmp(REGCHECK_INTERFACE_GUIDS[device][number], wanted.c_str()) == 0) {
        return static_cast<std::uint8_t>(number);
      }
    }
  }
  return std::nullopt;
}

std::string UsbLocationText(const UsbPortChain& chain) {
  std::string text = std::to_string(chain.bus);
  for (int i = 0; i < chain.portCount; ++i) {
    text += i == 0 ? '-' : '.';
    text += std::to_string(chain.ports[i]);
  }
  return text;
}

std::string UsbDevicePath(const UsbPortChain& chain, std::uint8_t interfaceNumber) {
  return "usb:" + UsbLocationText(chain) + "/" + std::to_string(interfaceNumber);
}

bool UsbDevicePathMatches(const char* path, const UsbPortChain& chain, std::uint8_t* interfaceNumber) {
  if (path == nullptr) return false;
  const std::string device = "usb:" + UsbLocationText(chain) + "/";
  if (std::strncmp(path, device.c_str(), device.size()) != 0) return false;
  const char* number = path + device.size();
  unsigned value = 0;
  int digits = 0;
  for (; number[digits] >= '0' && number[digits] <= '9' && digits < 4; ++digits) {
    value = value * 10 + static_cast<unsigned>(number[digits] - '0');
  }
  if (digits == 0 || number[digits] != '\0' || value > 255) return false;
  *interfaceNumber = static_cast<std::uint8_t>(value);
  return true;
}
