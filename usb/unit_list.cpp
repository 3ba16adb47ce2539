#include "usb/unit_list.h"

#include <cstdio>

#include "usb/seam_records.h"

namespace {
// The location text of an enumerated device; empty when it cannot be read.
std::string LocationOf(UsbPlatform& usb, UsbDeviceList list, const UsbDeviceRef& device) {
  std::uint32_t size = 0;
  usb.GetDeviceLocation(list, device, nullptr, 0, &size);
  auto record = size != 0 ? AllocateRecord(size) : nullptr;
  if (!record || !usb.GetDeviceLocation(list, device, record.get(), size, &size)) return {};
  return LocationFromRecord(record.get(), size);
}
}  // namespace

std::vector<UnitEntry> ListUnits(UsbPlatform& usb) {
  std::vector<UnitEntry> units;
  UsbDeviceList list = usb.GetClassDevs(TAVIK_INTERFACE_GUID);
  if (list == nullptr) return units;
  UsbInterfaceRef iface{};
  for (std::uint32_t index = 0; usb.EnumDeviceInterfaces(list, TAVIK_INTERFACE_GUID, index, &iface); ++index) {
    std::uint32_t size = 0;
    usb.GetDeviceInterfaceDetail(list, iface, nullptr, 0, &size, nullptr);
    auto detail = size != 0 ? AllocateRecord(size) : nullptr;
    UsbDeviceRef device{};
    if (!detail || !usb.GetDeviceInterfaceDetail(list, iface, detail.get(), size, &size, &device)) continue;
    UnitEntry unit;
    const char* path = usb.DetailDevicePath(detail.get());
    unit.path = path != nullptr ? path : "";
    unit.location = LocationOf(usb, list, device);
    UsbDeviceIds ids{};
    if (usb.GetDeviceIds(list, device, &ids)) {
      unit.vendorId = ids.vendorId;
      unit.productId = ids.productId;
    }
    units.push_back(std::move(unit));
  }
  usb.DestroyDeviceInfoList(list);
  return units;
}

const UnitEntry* FindUnit(const std::vector<UnitEntry>& units, const std::string& wanted) {
  if (wanted.empty()) return nullptr;
  for (const UnitEntry& unit : units) {
    if (unit.path == wanted || unit.location == wanted) return &unit;
  }
  return nullptr;
}

std::string UnitIdsText(const UnitEntry& unit) {
  if (unit.vendorId == 0 && unit.productId == 0) return {};
  char text[16];
  std::snprintf(text, sizeof text, "%04x:%04x", unit.vendorId, unit.productId);
  return text;
}
