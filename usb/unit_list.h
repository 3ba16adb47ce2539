#pragma once
// The units present on the bus, each with a stable identity, and the choice of one: the one place where a unit
// is found and chosen. The unit has no serial number, so a unit is its location (the port path it is plugged
// into); an update pins its unit by that location (UsbPort::PinUnit), and a unit that comes back elsewhere is
// another unit. Every USB backend serves this through the enumeration of the USB seam; nothing is opened and
// nothing is sent to any unit.

#include <cstdint>
#include <string>
#include <vector>

#include "usb/usb_platform.h"

struct UnitEntry {
  std::string path;            // the device path as the platform lists it
  std::string location;        // the location information (the port path); empty when the platform gave none
  std::uint16_t vendorId = 0;  // both 0 when the platform cannot tell
  std::uint16_t productId = 0;
};

// The units that expose the unit's interface class now, in the platform's order. A unit whose detail cannot be
// read is left out.
std::vector<UnitEntry> ListUnits(UsbPlatform& usb);

// The unit whose device path or location equals `wanted`; null when none does.
const UnitEntry* FindUnit(const std::vector<UnitEntry>& units, const std::string& wanted);

// "7a31:acdc", or empty when the ids are unknown.
std::string UnitIdsText(const UnitEntry& unit);
