#pragma once
// The world of a libusb backend test: emulated units on their bus, plugged into a umockdev testbed, and the
// libusb platform started after them. Built in that order and taken down in the reverse one; at the end the
// unit side must have seen no misuse and every handle on both sides must be closed.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "app/clock.h"
#include "emu/emulated_usb.h"
#include "libusb/umockdev_unit.h"
#include "platform/libusb/libusb_platform.h"
#include "support/emu_violations.h"

struct PluggedUnit {
  UnitConfig config;
  std::uint8_t port;
};

class LibusbRig {
 public:
  explicit LibusbRig(const std::vector<PluggedUnit>& units = {{UnitConfig{}, 2}}) {
    for (const PluggedUnit& u : units) bus_.Plug(emulated_.AddUnit(u.config), u.port);
    usb_ = std::make_unique<LibusbPlatform>();
  }
  ~LibusbRig() {
    EXPECT_EQ(usb_->OpenHandleCount(), 0u);
    usb_.reset();
    EXPECT_NO_USB_VIOLATIONS(emulated_);
    EXPECT_EQ(emulated_.OpenHandleCount(), 0u);
  }

  LibusbPlatform& Usb() { return *usb_; }
  EmulatedUsb& Units() { return emulated_; }
  EmulatedUnit& Unit(std::size_t index = 0) { return emulated_.Unit(index); }
  UmockdevUnits& Bus() { return bus_; }
  VirtualClock& Clock() { return clock_; }

 private:
  VirtualClock clock_;
  EmulatedUsb emulated_{clock_};
  UmockdevUnits bus_{emulated_};
  std::unique_ptr<LibusbPlatform> usb_;
};
