#pragma once
// The emulated units of the demo program, set up from environment variables that only the demo reads:
//
//   DEMO_UNITS        how many units sit on the emulated bus, 1 (default) to 16; unit K is on port K
//   DEMO_UNIT_MODE    bootloader (default) | application | old | none (no unit attached: its port stays empty)
//   DEMO_APP_VERSION  the unit's application version text (default 001.005.010)
//   DEMO_BOOT2_FLAG   1 (default) or 0: the bootloader-2 flag, which chooses the order of the two copies
//   DEMO_HWID         the unit's hardware identifier, decimal (no leading zeros) or 0x-hex (default 6)
//   DEMO_FAULT        faults, each kind[@exchange][=value], once: on the unit's request number `exchange`
//                     (counted from 0), or without it on the first request it fits; numbers are written as
//                     DEMO_HWID's. The kinds, what `value` is and its default are those of the table of fault
//                     kinds (FaultKinds() in emu/unit_fault.h); the README lists them, and the demo writes them
//                     to its debugger output when DEMO_FAULT is not understood
//   DEMO_TIMING       realistic (default: an update lasts about a minute) | fast (no modelled time)
//
// A value is a comma-separated list of items. An item "K:rest" (K decimal 1 to 16, no leading zero) applies to
// unit K only, an item without that prefix to every unit: DEMO_UNIT_MODE=bootloader,2:application makes unit 2
// an application unit and the others bootloaders. Every applying DEMO_FAULT item is a fault of the unit; of
// the other variables the last applying item wins. A version text may hold commas: DEMO_APP_VERSION is split
// only at a comma that a unit prefix follows. DEMO_UNITS takes no prefix.
//
// A refused item is named (with why) among the problems and ignored, once for the whole tray; so is a prefix
// naming a unit past DEMO_UNITS. Without DEMO_UNITS and prefixes there is one unit, as the variables say.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "emu/emulated_unit.h"

class EmulatedUsb;

inline constexpr std::size_t MAX_DEMO_UNITS = 16;

struct DemoUnitSettings {
  bool attached = true;
  UnitConfig unit;
  std::vector<Fault> faults;
  // Settings that were refused and left at their defaults, each "NAME=item: why" (ReadDemoUnitSettings only:
  // in a tray they are the tray's).
  std::vector<std::string> problems;
};

struct DemoTraySettings {
  std::vector<DemoUnitSettings> units;  // unit K at index K - 1; never empty
  std::vector<std::string> problems;    // each "NAME=item: why", once
};

using DemoLookup = std::function<const char*(const char*)>;

// Reads the settings through `lookup` (a variable's value, or null when it is not set).
DemoTraySettings ReadDemoTraySettings(const DemoLookup& lookup);
// Unit 1 of that tray, with the tray's problems.
DemoUnitSettings ReadDemoUnitSettings(const DemoLookup& lookup);

// The settings of the process's environment.
DemoTraySettings ReadDemoTraySettingsFromEnvironment();
DemoUnitSettings ReadDemoUnitSettingsFromEnvironment();

// Puts the tray on a bus that has no units yet: unit K on port K with its faults. An absent unit (mode none) is
// added and unplugged, so that its port stays empty and the units after it keep their ports.
void AttachDemoUnits(EmulatedUsb& bus, const DemoTraySettings& tray);
