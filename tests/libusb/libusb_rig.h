#pragma once
// The world of a libusb backend test: emulated units on their bus, plugged into a umockdev testbed, and the
// libusb platform started after them (as it is, or following the units as they come and go). Built in that
// order and taken down in the reverse one; at the end the unit side must have seen no misuse and every handle
// on both sides must be closed.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/clock.h"
#include "emu/emulated_usb.h"
#include "libusb/umockdev_unit.h"
#include "platform/libusb/libusb_platform.h"
#include "support/emu_violations.h"

// The libusb platform as a host on a live bus meets it: before each listing and opening the testbed follows the
// units (UmockdevUnits::Follow), so a unit away after its reset or a power cut is not listed, and one that is
// back is listed at its port again under a new device address. Everything else is libusb's own.
class FollowingUsb final : public UsbPlatform {
 public:
  FollowingUsb(UsbPlatform& usb, UmockdevUnits& bus) : usb_(usb), bus_(bus) {}

  UsbDeviceList GetClassDevs(const Guid& interfaceClass) override {
    bus_.Follow();
    return usb_.GetClassDevs(interfaceClass);
  }
  bool EnumDeviceInterfaces(UsbDeviceList list, const Guid& interfaceClass, std::uint32_t memberIndex,
                            UsbInterfaceRef* iface) override {
    return usb_.EnumDeviceInterfaces(list, interfaceClass, memberIndex, iface);
  }
  bool GetDeviceInterfaceDetail(UsbDeviceList list, const UsbInterfaceRef& iface, void* detail,
                                std::uint32_t detailSize, std::uint32_t* requiredSize, UsbDeviceRef* device) override {
    return usb_.GetDeviceInterfaceDetail(list, iface, detail, detailSize, requiredSize, device);
  }
  const char* DetailDevicePath(const void* detail) override { return usb_.DetailDevicePath(detail); }
  bool GetDeviceLocation(UsbDeviceList list, const UsbDeviceRef& device, void* buffer, std::uint32_t bufferSize,
                         std::uint32_t* requiredSize) override {
    return usb_.GetDeviceLocation(list, device, buffer, bufferSize, requiredSize);
  }
  bool GetDeviceIds(UsbDeviceList list, const UsbDeviceRef& device, UsbDeviceIds* ids) override {
    return usb_.GetDeviceIds(list, device, ids);
  }
  void DestroyDeviceInfoList(UsbDeviceList list) override { usb_.DestroyDeviceInfoList(list); }
  UsbFileHandle OpenDeviceFile(const char* path) override {
    bus_.Follow();
    return usb_.OpenDeviceFile(path);
  }
  bool CloseDeviceFile(UsbFileHandle file) override { return usb_.CloseDeviceFile(file); }
  bool InitializeInterface(UsbFileHandle file, UsbInterfaceHandle* handle) override {
    return usb_.InitializeInterface(file, handle);
  }
  bool QueryInterfaceSettings(UsbInterfaceHandle handle, std::uint8_t alternateIndex,
                              UsbInterfaceDescriptor* descriptor) override {
    return usb_.QueryInterfaceSettings(handle, alternateIndex, descriptor);
  }
  bool QueryPipe(UsbInterfaceHandle handle, std::uint8_t alternateIndex, std::uint8_t pipeIndex,
                 UsbPipeInformation* pipe) override {
    return usb_.QueryPipe(handle, alternateIndex, pipeIndex, pipe);
  }
  bool SetPipePolicy(UsbInterfaceHandle handle, std::uint8_t pipeId, std::uint32_t policyType,
                     std::uint32_t valueLength, const void* value) override {
    return usb_.SetPipePolicy(handle, pipeId, policyType, valueLength, value);
  }
  bool WritePipe(UsbInterfaceHandle handle, std::uint8_t pipeId, const std::uint8_t* buffer, std::uint32_t length,
                 std::uint32_t* transferred) override {
    return usb_.WritePipe(handle, pipeId, buffer, length, transferred);
  }
  bool ReadPipe(UsbInterfaceHandle handle, std::uint8_t pipeId, std::uint8_t* buffer, std::uint32_t length,
                std::uint32_t* transferred) override {
    return usb_.ReadPipe(handle, pipeId, buffer, length, transferred);
  }
  bool AbortPipe(UsbInterfaceHandle handle, std::uint8_t pipeId) override { return usb_.AbortPipe(handle, pipeId); }
  bool FreeInterface(UsbInterfaceHandle handle) override { return usb_.FreeInterface(handle); }
  std::uint32_t LastError() override { return usb_.LastError(); }

 private:
  UsbPlatform& usb_;
  UmockdevUnits& bus_;
};

// The location that libusb gives a unit in root port `port` of the testbed's bus, as --unit takes it.
inline std::string LocationAt(std::uint8_t port) { return "1-" + std::to_string(port); }

struct PluggedUnit {
  UnitConfig config;
  std::uint8_t port;
};

class LibusbRig {
 public:
  explicit LibusbRig(const std::vector<PluggedUnit>& units = {{UnitConfig{}, 2}}) {
    for (const PluggedUnit& u : units) bus_.Plug(emulated_.AddUnit(u.config), u.port);
    usb_ = std::make_unique<LibusbPlatform>();
    following_ = std::make_unique<FollowingUsb>(*usb_, bus_);
  }
  ~LibusbRig() {
    EXPECT_EQ(usb_->OpenHandleCount(), 0u);
    following_.reset();
    usb_.reset();
    EXPECT_NO_USB_VIOLATIONS(emulated_);
    EXPECT_EQ(emulated_.OpenHandleCount(), 0u);
  }

  LibusbPlatform& Usb() { return *usb_; }
  // libusb on a bus whose units come and go on their own clock (their resets, power cuts).
  UsbPlatform& Following() { return *following_; }
  EmulatedUsb& Units() { return emulated_; }
  EmulatedUnit& Unit(std::size_t index = 0) { return emulated_.Unit(index); }
  UmockdevUnits& Bus() { return bus_; }
  VirtualClock& Clock() { return clock_; }

 private:
  VirtualClock clock_;
  EmulatedUsb emulated_{clock_};
  UmockdevUnits bus_{emulated_};
  std::unique_ptr<LibusbPlatform> usb_;
  std::unique_ptr<FollowingUsb> following_;
};
