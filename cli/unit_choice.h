#pragma once
// The units on the bus, and a USB platform that shows the device link only the one unit the user chose, so
// the loader's own search finds exactly that unit.

#include <string>
#include <vector>

#include "usb/usb_platform.h"

// The device paths of the units present now, in the platform's order.
std::vector<std::string> ListUnitPaths(UsbPlatform& usb);

// "7a31:acdc" when the path carries the ids ("vid_7a31&pid_acdc"), else empty.
std::string UnitIdsFromPath(const std::string& path);

// Passes every call on to `inner`; the enumeration lists only the interface whose path is `path`.
class ChosenUnitPlatform final : public UsbPlatform {
 public:
  ChosenUnitPlatform(UsbPlatform& inner, std::string path) : inner_(inner), path_(std::move(path)) {}

  UsbDeviceList GetClassDevs(const Guid& interfaceClass) override { return inner_.GetClassDevs(interfaceClass); }
  bool EnumDeviceInterfaces(UsbDeviceList list, const Guid& interfaceClass, std::uint32_t memberIndex,
                            UsbInterfaceRef* iface) override;
  bool GetDeviceInterfaceDetail(UsbDeviceList list, const UsbInterfaceRef& iface, void* detail,
                                std::uint32_t detailSize, std::uint32_t* requiredSize, UsbDeviceRef* device) override {
    return inner_.GetDeviceInterfaceDetail(list, iface, detail, detailSize, requiredSize, device);
  }
  const char* DetailDevicePath(const void* detail) override { return inner_.DetailDevicePath(detail); }
  bool GetDeviceLocation(UsbDeviceList list, const UsbDeviceRef& device, void* buffer, std::uint32_t bufferSize,
                         std::uint32_t* requiredSize) override {
    return inner_.GetDeviceLocation(list, device, buffer, bufferSize, requiredSize);
  }
  void DestroyDeviceInfoList(UsbDeviceList list) override { inner_.DestroyDeviceInfoList(list); }
  UsbFileHandle OpenDeviceFile(const char* path) override { return inner_.OpenDeviceFile(path); }
  bool CloseDeviceFile(UsbFileHandle file) override { return inner_.CloseDeviceFile(file); }
  bool InitializeInterface(UsbFileHandle file, UsbInterfaceHandle* handle) override {
    return inner_.InitializeInterface(file, handle);
  }
  bool QueryInterfaceSettings(UsbInterfaceHandle handle, std::uint8_t alternateIndex,
                              UsbInterfaceDescriptor* descriptor) override {
    return inner_.QueryInterfaceSettings(handle, alternateIndex, descriptor);
  }
  bool QueryPipe(UsbInterfaceHandle handle, std::uint8_t alternateIndex, std::uint8_t pipeIndex,
                 UsbPipeInformation* pipe) override {
    return inner_.QueryPipe(handle, alternateIndex, pipeIndex, pipe);
  }
  bool SetPipePolicy(UsbInterfaceHandle handle, std::uint8_t pipeId, std::uint32_t policyType,
                     std::uint32_t valueLength, const void* value) override {
    return inner_.SetPipePolicy(handle, pipeId, policyType, valueLength, value);
  }
  bool WritePipe(UsbInterfaceHandle handle, std::uint8_t pipeId, const std::uint8_t* buffer, std::uint32_t length,
                 std::uint32_t* transferred) override {
    return inner_.WritePipe(handle, pipeId, buffer, length, transferred);
  }
  bool ReadPipe(UsbInterfaceHandle handle, std::uint8_t pipeId, std::uint8_t* buffer, std::uint32_t length,
                std::uint32_t* transferred) override {
    return inner_.ReadPipe(handle, pipeId, buffer, length, transferred);
  }
  bool AbortPipe(UsbInterfaceHandle handle, std::uint8_t pipeId) override { return inner_.AbortPipe(handle, pipeId); }
  bool FreeInterface(UsbInterfaceHandle handle) override { return inner_.FreeInterface(handle); }
  std::uint32_t LastError() override { return lastError_ != 0 ? lastError_ : inner_.LastError(); }

 private:
  UsbPlatform& inner_;
  std::string path_;
  static thread_local std::uint32_t lastError_;
};
