#pragma once
// The contract's bench on the emulated bus: units of the emulated model, on its virtual clock. A unit that comes
// back elsewhere does so by the model's own rule (UnitConfig::newPortOnReturn): its next port is 16 past the
// last, and its first port is its number on the bus, so such a bus has its units at the ports 1, 2, ... in order.

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/clock.h"
#include "contract/usb_contract.h"
#include "emu/emulated_usb.h"
#include "support/emu_violations.h"

class EmulatedBench : public UsbBench {
 public:
  ~EmulatedBench() override {
    EXPECT_NO_USB_VIOLATIONS(bus_);
    EXPECT_EQ(bus_.OpenHandleCount(), 0u);
  }

  std::string Lacks(BenchPart) const override { return {}; }

  void Make(const std::vector<BenchUnit>& units, Return returns) override {
    for (const BenchUnit& u : units) {
      UnitConfig config;
      config.productId = u.productId;
      if (returns == Return::OtherPort) {
        config.newPortOnReturn = true;
        EXPECT_EQ(u.port, bus_.UnitCount() + 1) << "the emulated bus numbers the ports of moving units itself";
      } else {
        config.location = LocationOf(u.port);
        char path[128];
        std::snprintf(path, sizeof path, "\\\\?\\usb#vid_%04x&pid_%04x#bench&%u#{c0850fa1-2b83-47db-bcb7-738ab1a8b498}",
                      config.vendorId, config.productId, static_cast<unsigned>(u.port));
        config.devicePath = path;
      }
      bus_.AddUnit(config);
    }
  }

  UsbPlatform& Usb() override { return bus_; }

  std::string LocationOf(std::uint8_t port) const override {
    char text[32];
    std::snprintf(text, sizeof text, "Port_#%04u.Hub_#0001", static_cast<unsigned>(port));
    return text;
  }

  void Leave(std::size_t index) override { bus_.Unit(index).Unplug(); }
  std::string ComeBack(std::size_t index) override {
    EmulatedUnit& unit = bus_.Unit(index);
    unit.PlugIn();
    return unit.Location();
  }
  std::uint64_t RequestsSeen(std::size_t index) override { return bus_.Unit(index).ExchangeCount(); }
  Clock* InjectedClock() override { return &clock_; }
  std::size_t OpenHandles() override { return bus_.OpenHandleCount(); }

  EmulatedUsb& Bus() { return bus_; }

 private:
  VirtualClock clock_;
  EmulatedUsb bus_{clock_};
};
