#pragma once
// The USB platform of the Windows program: SetupAPI finds the unit's interface, CreateFileA opens it and WinUSB
// drives its pipes, each call made through a WinUsbApi table.

#include "platform/win32/winusb_api.h"
#include "usb/usb_platform.h"

class WinUsbPlatform final : public UsbPlatform {
 public:
  explicit WinUsbPlatform(const WinUsbApi& api) : api_(api) {}

  UsbDeviceList GetClassDevs(const Guid& interfaceClass) override;
  bool EnumDeviceInterfaces(UsbDeviceList list, const Guid& interfaceClass, std::uint32_t memberIndex,
                            UsbInterfaceRef* iface) override;
  bool GetDeviceInterfaceDetail(UsbDeviceList list, const UsbInterfaceRef& iface, void* detail,
                                std::uint32_t detailSize, std::uint32_t* requiredSize, UsbDeviceRef* device) override;
  const char* DetailDevicePath(const void* detail) override;
  bool GetDeviceLocation(UsbDeviceList list, const UsbDeviceRef& device, void* buffer, std::uint32_t bufferSize,
                         std::uint32_t* requiredSize) override;
  // From the device's hardware ids (SPDRP_HARDWAREID, "USB\VID_7A31&PID_ACDC&REV_0100" first): the first of
  // them that names both ids. WIN_ERROR_INVALID_DATA when none does; SetupAPI's error when it cannot be read.
  bool GetDeviceIds(UsbDeviceList list, const UsbDeviceRef& device, UsbDeviceIds* ids) override;
  void DestroyDeviceInfoList(UsbDeviceList list) override;

  UsbFileHandle OpenDeviceFile(const char* path) override;
  bool CloseDeviceFile(UsbFileHandle file) override;

  bool InitializeInterface(UsbFileHandle file, UsbInterfaceHandle* handle) override;
  bool QueryInterfaceSettings(UsbInterfaceHandle handle, std::uint8_t alternateIndex,
                              UsbInterfaceDescriptor* descriptor) override;
  bool QueryPipe(UsbInterfaceHandle handle, std::uint8_t alternateIndex, std::uint8_t pipeIndex,
                 UsbPipeInformation* pipe) override;
  bool SetPipePolicy(UsbInterfaceHandle handle, std::uint8_t pipeId, std::uint32_t policyType,
                     std::uint32_t valueLength, const void* value) override;
  bool WritePipe(UsbInterfaceHandle handle, std::uint8_t pipeId, const std::uint8_t* buffer, std::uint32_t length,
                 std::uint32_t* transferred) override;
  bool ReadPipe(UsbInterfaceHandle handle, std::uint8_t pipeId, std::uint8_t* buffer, std::uint32_t length,
                std::uint32_t* transferred) override;
  bool AbortPipe(UsbInterfaceHandle handle, std::uint8_t pipeId) override;
  bool FreeInterface(UsbInterfaceHandle handle) override;

  std::uint32_t LastError() override;

 private:
  WinUsbApi api_;
};
