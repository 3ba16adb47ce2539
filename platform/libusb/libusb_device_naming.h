#pragma once
// How the libusb backend names what SetupAPI would name on Windows: which interface of which device carries a
// device interface class, the device path of that interface, and its location text.
//
// A bus seen through libusb has no interface classes. The unit's driver entries (the table the registry check
// walks) say which interface number carries which class on each of the unit's two products; the backend uses
// the same table, so the class of the program finds interface 0 of a 0xACDC unit and interface 1 of a 0xACDD.

#include <cstdint>
#include <optional>
#include <string>

#include "usb/usb_platform.h"

// The interface number that carries `interfaceClass` on a device with these ids; nullopt when the device is
// not one of the unit's products or the class is not one of its interfaces.
std::optional<std::uint8_t> UnitInterfaceNumber(const Guid& interfaceClass, std::uint16_t vendorId,
                                                std::uint16_t productId);

// The class as registry text, "{C0850FA1-2B83-47DB-BCB7-738AB1A8B498}".
std::string GuidText(const Guid& guid);

// The port chain of a device: its bus and the port numbers from the root hub down (libusb_get_port_numbers).
struct UsbPortChain {
  std::uint8_t bus = 0;
  std::uint8_t ports[7] = {};  // USB 3 allows at most 7 tiers
  int portCount = 0;
};

// The location text: bus and ports as Linux names the device, "1-4.2" ("1" for a root hub). It stays the same
// while the unit is plugged into the same port, across replugging and restarts of the unit.
std::string UsbLocationText(const UsbPortChain& chain);
// The device path of one interface: "usb:" + location + "/" + interface number, e.g. "usb:1-4.2/0".
std::string UsbDevicePath(const UsbPortChain& chain, std::uint8_t interfaceNumber);
// Splits a device path made above: true, with the interface number, when `path` names an interface of the
// device at `chain`.
bool UsbDevicePathMatches(const char* path, const UsbPortChain& chain, std::uint8_t* interfaceNumber);
