#pragma once
// Emulated units as real USB devices for libusb: a umockdev testbed holds bus 1's root hub and one device per
// plugged unit (sysfs attributes, descriptors, a /dev/bus/usb node), and an ioctl handler per device node
// answers the usbdevfs requests that libusb makes (capabilities, claim, release, submit, reap, discard, ...).
// The handler plays the device side through the units' own bus: a bulk OUT URB is a WritePipe on the
// EmulatedUsb, a bulk IN URB a ReadPipe there, so the unit's request/answer logic, faults and records are
// those of every other test. An IN URB whose answer does not come (dropped) stays in flight until libusb
// discards it (the host's timeout or AbortPipe) or the unit is unplugged.
//
// The process runs under umockdev-wrapper, and the testbed is made before libusb starts (before the first
// LibusbPlatform): libusb lists what the testbed holds at its start.
//
//   VirtualClock clock;
//   EmulatedUsb units(clock);
//   UmockdevUnits bus(units);
//   bus.Plug(units.AddUnit(), 2);        // "usb:1-2/0"
//   LibusbPlatform usb;                  // then run the device link on &usb

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emu/emulated_usb.h"

class UmockdevUnits {
 public:
  explicit UmockdevUnits(EmulatedUsb& units);
  ~UmockdevUnits();
  UmockdevUnits(const UmockdevUnits&) = delete;
  UmockdevUnits& operator=(const UmockdevUnits&) = delete;

  // True when the process runs under umockdev-wrapper; nothing here works otherwise.
  static bool InMockEnvironment();

  // Puts a unit of the bus into root port `port` of bus 1 (device address port + 1). Its descriptors carry
  // three vendor interfaces; the unit's endpoints sit on the interface that carries the device link's class on
  // its product (0 on 0xACDC, 1 on 0xACDD), or on `dataInterface` when given. A unit plugged again (at another
  // port) is served there from then on; its earlier device stays gone.
  void Plug(EmulatedUnit& unit, std::uint8_t port, int dataInterface = -1);
  // Takes the device off the bus as the kernel does: the unit goes, URBs in flight end with ESHUTDOWN, every
  // later request fails with ENODEV, the "remove" uevent is sent and the device leaves the testbed.
  void Unplug(EmulatedUnit& unit);
  // Brings the testbed up to the units' own bus, as the kernel follows the wire: a unit that has left it on its
  // clock (a reset, a power cut) leaves the testbed as Unplug takes it, and one that is back appears again at
  // its port under a new device address, as a device does each time it enumerates (also when it was back
  // before this call, once a transfer has found its earlier device gone). The bus moves its units
  // only when it is asked, so a host calls this before it lists or opens (FollowingUsb, libusb_rig.h).
  // Safe to call from any thread.
  void Follow();

  // Waits until an IN URB of the unit is in flight with no answer to give (its read is pending); false if
  // none came within `guardMs` of real time, a bound that only ends a broken test.
  bool AwaitPendingRead(EmulatedUnit& unit, int guardMs = 10000);
  // Requests of each kind that the unit's device node has served, for checks of what libusb did.
  std::uint64_t Submitted(EmulatedUnit& unit) const;
  std::uint64_t Discarded(EmulatedUnit& unit) const;

  struct Device;  // one plugged unit and its node's state

 private:
  // The unit's device of its latest plug.
  Device& DeviceOf(EmulatedUnit& unit) const;
  // Each runs with devicesMutex_ held.
  Device& DeviceOfLocked(EmulatedUnit& unit) const;
  void PlugLocked(EmulatedUnit& unit, std::uint8_t port, int dataInterface, std::uint8_t address);
  void TakeOffLocked(Device& device);

  EmulatedUsb& units_;
  struct Testbed;
  std::unique_ptr<Testbed> testbed_;
  mutable std::mutex devicesMutex_;
  std::vector<std::unique_ptr<Device>> devices_;  // every device ever plugged, oldest first
  std::uint8_t nextAddress_ = 64;  // the addresses of devices enumerated again, past those of first plugs
};
