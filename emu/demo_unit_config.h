#pragma once
// The emulated unit of the demo program, set up from environment variables that only the demo reads:
//
//   DEMO_UNIT_MODE    bootloader (default) | application | old | none (no unit attached)
//   DEMO_APP_VERSION  the unit's application version text (default 001.005.010)
//   DEMO_BOOT2_FLAG   1 (default) or 0: the bootloader-2 flag, which chooses the order of the two copies
//   DEMO_HWID         the unit's hardware identifier, decimal (no leading zeros) or 0x-hex (default 6)
//   DEMO_FAULT        faults, comma-separated, each kind[@exchange][=value], once: on the unit's request
//                     number `exchange` (counted from 0), or without it on the first request it fits; numbers
//                     are written as DEMO_HWID's. The
//                     kinds, what `value` is and its default are those of the table of fault kinds
//                     (FaultKinds() in emu/unit_fault.h); the README lists them, and the demo writes them to its
//                     debugger output when DEMO_FAULT is not understood
//   DEMO_TIMING       realistic (default: an update lasts about a minute) | fast (no modelled time)

#include <functional>
#include <string>
#include <vector>

#include "emu/emulated_unit.h"

struct DemoUnitSettings {
  bool attached = true;
  UnitConfig unit;
  std::vector<Fault> faults;
  // Settings that were refused and left at their defaults, each "NAME=value: why" (for a fault, the item).
  std::vector<std::string> problems;
};

// Reads the settings through `lookup` (a variable's value, or null when it is not set).
DemoUnitSettings ReadDemoUnitSettings(const std::function<const char*(const char*)>& lookup);

// The settings of the process's environment.
DemoUnitSettings ReadDemoUnitSettingsFromEnvironment();
