#pragma once
// The fixture of the emulated unit's own tests: a bus on a virtual clock and a bare host. At the end the host
// closes, and no request may have broken the protocol and no handle may be left open.

#include <gtest/gtest.h>

#include "app/clock.h"
#include "emu/emulated_usb.h"
#include "support/emu_host.h"
#include "support/emu_violations.h"

struct EmuHostTest : ::testing::Test {
  VirtualClock clock;
  EmulatedUsb usb{clock};
  EmuHost host{usb};

  // Attaches a unit and opens it.
  EmulatedUnit& Attach(const UnitConfig& config = {}) {
    EmulatedUnit& unit = usb.AddUnit(config);
    EXPECT_TRUE(host.Open());
    return unit;
  }
  void TearDown() override {
    host.Close();
    EXPECT_NO_USB_VIOLATIONS(usb);
    EXPECT_EQ(usb.OpenHandleCount(), 0u);
  }
};
