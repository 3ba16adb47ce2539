#include "cli/unit_choice.h"

#include <cctype>
#include <memory>

namespace {
// The path of an enumerated interface; empty when its detail cannot be read.
std::string PathOf(UsbPlatform& usb, UsbDeviceList list, const UsbInterfaceRef& iface) {
  std::uint32_t size = 0;
  usb.GetDeviceInterfaceDetail(list, iface, nullptr, 0, &size, nullptr);
  if (size == 0) return {};
  auto detail = std::make_unique<std::uint64_t[]>(size / 8 + 1);  // aligned as the records want
  UsbDeviceRef device{};
  if (!usb.GetDeviceInterfaceDetail(list, iface, detail.get(), size, &size, &device)) return {};
  const char* path = usb.DetailDevicePath(detail.get());
  return path != nullptr ? path : "";
}
}  // namespace

thread_local std::uint32_t ChosenUnitPlatform::lastError_ = 0;

std::vector<std::string> ListUnitPaths(UsbPlatform& usb) {
  std::vector<std::string> paths;
  UsbDeviceList list = usb.GetClassDevs(TAVIK_INTERFACE_GUID);
  if (list == nullptr) return paths;
  UsbInterfaceRef iface{};
  for (std::uint32_t index = 0; usb.EnumDeviceInterfaces(list, TAVIK_INTERFACE_GUID, index, &iface); ++index) {
    paths.push_back(PathOf(usb, list, iface));
  }
  usb.DestroyDeviceInfoList(list);
  return paths;
}

std::string UnitIdsFromPath(const std::string& path) {
  std::string lower;
  for (char c : path) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::size_t vid = lower.find("vid_");
  const std::size_t pid = lower.find("pid_");
  if (vid == std::string::npos || pid == std::string::npos || vid + 8 > lower.size() || pid + 8 > lower.size()) {
    return {};
  }
  return lower.substr(vid + 4, 4) + ":" + lower.substr(pid + 4, 4);
}

bool ChosenUnitPlatform::EnumDeviceInterfaces(UsbDeviceList list, const Guid& interfaceClass,
                                              std::uint32_t memberIndex, UsbInterfaceRef* iface) {
  lastError_ = 0;
  std::uint32_t matches = 0;
  for (std::uint32_t index = 0; inner_.EnumDeviceInterfaces(list, interfaceClass, index, iface); ++index) {
    if (PathOf(inner_, list, *iface) != path_) continue;
    if (matches++ == memberIndex) return true;
  }
  lastError_ = WIN_ERROR_NO_MORE_ITEMS;
  return false;
}
