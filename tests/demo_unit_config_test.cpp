// The demo's emulated units from their DEMO_* variables: defaults, values, faults, what is refused and why, and
// the tray of units with their prefixed settings, put on a bus.

#include "emu/demo_unit_config.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/clock.h"
#include "emu/emulated_usb.h"
#include "support/emu_host.h"
#include "support/emu_violations.h"

namespace {
using Variables = std::map<std::string, std::string>;

DemoLookup LookupIn(const Variables& variables) {
  return [&variables](const char* name) -> const char* {
    const auto found = variables.find(name);
    return found == variables.end() ? nullptr : found->second.c_str();
  };
}

DemoUnitSettings Read(const Variables& variables) { return ReadDemoUnitSettings(LookupIn(variables)); }

DemoTraySettings ReadTray(const Variables& variables) { return ReadDemoTraySettings(LookupIn(variables)); }

// What differs in a unit from the default one, e.g. "application hwid=31 faults=drop,powerloss@1000"; "" for a
// default unit.
std::string Differences(const DemoUnitSettings& settings) {
  const DemoUnitSettings plain = Read({});
  std::string text;
  const auto add = [&text](const char* part, const std::string& value = "") {
    if (!text.empty()) text += ' ';
    text += part;
    text += value;
  };
  if (!settings.attached) add("none");
  if (settings.unit.mode == UnitMode::Application) add("application");
  if (settings.unit.mode == UnitMode::OldApplication) add("old");
  if (settings.unit.application.version != plain.unit.application.version) {
    add("version=", settings.unit.application.version);
  }
  if (!settings.unit.bootloader2.valid) add("boot2=0");
  if (settings.unit.hardwareId != plain.unit.hardwareId) add("hwid=", std::to_string(settings.unit.hardwareId));
  if (settings.unit.timing.eraseChunkUs != plain.unit.timing.eraseChunkUs ||
      settings.unit.timing.minimumWaitMs != plain.unit.timing.minimumWaitMs) {
    add("fast");
  }
  std::string faults;
  for (const Fault& fault : settings.faults) {
    if (!faults.empty()) faults += ',';
    faults += FaultKindInfoOf(fault.kind).name;
    if (fault.exchange != ANY_EXCHANGE) {
      faults += '@';
      faults += std::to_string(fault.exchange);
    }
  }
  if (!faults.empty()) add("faults=", faults);
  return text;
}
}  // namespace

TEST(DemoUnitSettings, WithoutVariablesAUnitInItsBootloaderUpdatesForAboutAMinute) {
  const DemoUnitSettings settings = Read({});
  EXPECT_TRUE(settings.attached);
  EXPECT_EQ(settings.unit.mode, UnitMode::Bootloader);
  EXPECT_EQ(settings.unit.timing.eraseChunkUs, UnitTiming::FullSpeed().eraseChunkUs);
  EXPECT_GT(settings.unit.timing.minimumWaitMs, 1u);  // a real clock's short sleeps are gathered
  EXPECT_FALSE(settings.unit.recordExchanges);
  EXPECT_TRUE(settings.faults.empty());
  EXPECT_TRUE(settings.problems.empty());
}

TEST(DemoUnitSettings, UnitVariables) {
  const DemoUnitSettings settings = Read({{"DEMO_UNIT_MODE", "application"},
                                          {"DEMO_APP_VERSION", "002.000.000"},
                                          {"DEMO_BOOT2_FLAG", "0"},
                                          {"DEMO_HWID", "0x1F"},
                                          {"DEMO_TIMING", "fast"}});
  EXPECT_EQ(settings.unit.mode, UnitMode::Application);
  EXPECT_EQ(settings.unit.application.version, "002.000.000");
  EXPECT_FALSE(settings.unit.bootloader2.valid);
  EXPECT_EQ(settings.unit.hardwareId, 31u);
  EXPECT_EQ(settings.unit.timing.exchangeUs, 0u);
  EXPECT_TRUE(settings.problems.empty());

  EXPECT_EQ(Read({{"DEMO_UNIT_MODE", "old"}}).unit.mode, UnitMode::OldApplication);
  EXPECT_FALSE(Read({{"DEMO_UNIT_MODE", "none"}}).attached);
}

TEST(DemoUnitSettings, FaultsWithTheirRequestExchangeAndValue) {
  const DemoUnitSettings settings = Read({{"DEMO_FAULT", "slowerase=8000,powerloss@1000,stuck,drop@12"}});
  ASSERT_EQ(settings.faults.size(), 4u);
  EXPECT_EQ(settings.faults[0].kind, FaultKind::SlowErase);
  EXPECT_EQ(settings.faults[0].blockId, BLK_ERASE);
  EXPECT_EQ(settings.faults[0].value, 8000u);
  EXPECT_EQ(settings.faults[0].exchange, ANY_EXCHANGE);
  EXPECT_EQ(settings.faults[1].kind, FaultKind::PowerLoss);
  EXPECT_EQ(settings.faults[1].exchange, 1000u);
  EXPECT_EQ(settings.faults[1].value, 3000u);  // the unit comes back
  EXPECT_EQ(settings.faults[2].blockId, BLK_WRITE);
  EXPECT_EQ(settings.faults[3].kind, FaultKind::DropAnswer);
  EXPECT_EQ(settings.faults[3].exchange, 12u);
  EXPECT_EQ(settings.faults[3].blockId, 0u);
}

TEST(DemoUnitSettings, NumbersAreDecimalOrHexUpToTheirLimit) {
  const struct {
    const char* hwid;
    std::uint32_t expected;
  } cases[] = {{"0", 0}, {"6", 6}, {"10", 10}, {"0x1F", 31}, {"0X1f", 31}, {"0x0", 0}, {"4294967295", 0xFFFFFFFFu}};
  for (const auto& c : cases) {
    const DemoUnitSettings settings = Read({{"DEMO_HWID", c.hwid}});
    EXPECT_TRUE(settings.problems.empty()) << c.hwid;
    EXPECT_EQ(settings.unit.hardwareId, c.expected) << c.hwid;
  }
  const DemoUnitSettings settings =
      Read({{"DEMO_FAULT", "drop@0,drop@18446744073709551614,powerloss@0x10=4294967295"}});
  ASSERT_EQ(settings.faults.size(), 3u);
  EXPECT_EQ(settings.faults[0].exchange, 0u);
  EXPECT_EQ(settings.faults[1].exchange, ANY_EXCHANGE - 1);
  EXPECT_EQ(settings.faults[2].exchange, 16u);
  EXPECT_EQ(settings.faults[2].value, 0xFFFFFFFFu);
}

// Every refusal names the variable, the value (for a fault, its item) and the reason, and leaves the default.
TEST(DemoUnitSettings, WhatIsRefusedIsNamedWithItsReasonAndLeftAtItsDefault) {
  const struct {
    const char* name;
    const char* value;
    const char* problem;
  } cases[] = {
      {"DEMO_UNIT_MODE", "sleeping", "DEMO_UNIT_MODE=sleeping: not bootloader, application, old or none"},
      {"DEMO_BOOT2_FLAG", "yes", "DEMO_BOOT2_FLAG=yes: not 0 or 1"},
      {"DEMO_TIMING", "slow", "DEMO_TIMING=slow: not realistic or fast"},
      // Octal is not read: 010 would otherwise be 8.
      {"DEMO_HWID", "010",
       "DEMO_HWID=010: a leading zero (a number is decimal without leading zeros, or 0x and hex digits)"},
      {"DEMO_HWID", "-1", "DEMO_HWID=-1: not a number (decimal, or 0x and hex digits; no blanks or signs)"},
      {"DEMO_HWID", " 6", "DEMO_HWID= 6: not a number (decimal, or 0x and hex digits; no blanks or signs)"},
      {"DEMO_HWID", "+6", "DEMO_HWID=+6: not a number (decimal, or 0x and hex digits; no blanks or signs)"},
      {"DEMO_HWID", "6x", "DEMO_HWID=6x: not a number (decimal, or 0x and hex digits; no blanks or signs)"},
      {"DEMO_HWID", "0x1G", "DEMO_HWID=0x1G: not a number (decimal, or 0x and hex digits; no blanks or signs)"},
      {"DEMO_HWID", "0x", "DEMO_HWID=0x: no number (decimal, or 0x and hex digits)"},
      {"DEMO_HWID", "", "DEMO_HWID=: no number (decimal, or 0x and hex digits)"},
      {"DEMO_HWID", "0x100000000", "DEMO_HWID=0x100000000: too large (at most 4294967295)"},
      {"DEMO_FAULT", "meteor", "DEMO_FAULT=meteor: no such fault kind"},
      {"DEMO_FAULT", "drop@", "DEMO_FAULT=drop@: the exchange: no number (decimal, or 0x and hex digits)"},
      {"DEMO_FAULT", "drop@x",
       "DEMO_FAULT=drop@x: the exchange: not a number (decimal, or 0x and hex digits; no blanks or signs)"},
      // A blank before a minus would pass a sign check and wrap around to 2^64 - 5, which never fires.
      {"DEMO_FAULT", "powerloss@ -5",
       "DEMO_FAULT=powerloss@ -5: the exchange: not a number (decimal, or 0x and hex digits; no blanks or signs)"},
      // Too large a number would saturate to "any exchange" and fire on the first request.
      {"DEMO_FAULT", "powerloss@99999999999999999999",
       "DEMO_FAULT=powerloss@99999999999999999999: the exchange: too large (at most 18446744073709551614)"},
      {"DEMO_FAULT", "powerloss@18446744073709551615",
       "DEMO_FAULT=powerloss@18446744073709551615: the exchange: too large (at most 18446744073709551614)"},
      {"DEMO_FAULT", "powerloss@012",
       "DEMO_FAULT=powerloss@012: the exchange: a leading zero (a number is decimal without leading zeros, or 0x and "
       "hex digits)"},
      {"DEMO_FAULT", "slowerase=fast",
       "DEMO_FAULT=slowerase=fast: the value: not a number (decimal, or 0x and hex digits; no blanks or signs)"},
      {"DEMO_FAULT", "slowerase=4294967296",
       "DEMO_FAULT=slowerase=4294967296: the value: too large (at most 4294967295)"},
  };
  for (const auto& c : cases) {
    const DemoUnitSettings settings = Read({{c.name, c.value}});
    EXPECT_EQ(settings.problems, std::vector<std::string>{c.problem}) << c.name << "=" << c.value;
    EXPECT_TRUE(settings.faults.empty());
    EXPECT_EQ(settings.unit.mode, UnitMode::Bootloader);
    EXPECT_TRUE(settings.unit.bootloader2.valid);
    EXPECT_EQ(settings.unit.hardwareId, 6u);
  }
}

TEST(DemoUnitSettings, ARefusedFaultLeavesTheOthers) {
  const DemoUnitSettings settings = Read({{"DEMO_FAULT", "drop@3,powerloss@ -5,,badcrc"}});
  ASSERT_EQ(settings.faults.size(), 2u);
  EXPECT_EQ(settings.faults[0].kind, FaultKind::DropAnswer);
  EXPECT_EQ(settings.faults[1].kind, FaultKind::BadCrc);
  ASSERT_EQ(settings.problems.size(), 1u);
  EXPECT_EQ(settings.problems[0].rfind("DEMO_FAULT=powerloss@ -5: ", 0), 0u);
}

// Each case: the variables, what differs in each unit of the tray from the default unit, and the problems.
TEST(DemoTraySettings, PrefixedItemsApplyToTheirUnitAndTheLastApplyingItemWins) {
  const struct {
    Variables variables;
    std::vector<std::string> units;
    std::vector<std::string> problems;
  } cases[] = {
      // Without DEMO_UNITS and prefixes: one unit, as the variables say.
      {{}, {""}, {}},
      {{{"DEMO_UNIT_MODE", "application"}, {"DEMO_FAULT", "drop@3"}}, {"application faults=drop@3"}, {}},
      {{{"DEMO_UNITS", "3"}}, {"", "", ""}, {}},
      {{{"DEMO_UNITS", "3"}, {"DEMO_UNIT_MODE", "2:application"}}, {"", "application", ""}, {}},
      // An item without a prefix applies to every unit; of a single value the last applying item wins.
      {{{"DEMO_UNITS", "3"}, {"DEMO_UNIT_MODE", "old,2:application"}}, {"old", "application", "old"}, {}},
      {{{"DEMO_UNITS", "3"}, {"DEMO_UNIT_MODE", "2:application,old"}}, {"old", "old", "old"}, {}},
      {{{"DEMO_UNITS", "2"}, {"DEMO_UNIT_MODE", "1:none"}}, {"none", ""}, {}},
      {{{"DEMO_UNITS", "2"}, {"DEMO_UNIT_MODE", "none,2:bootloader"}}, {"none", ""}, {}},
      {{{"DEMO_UNITS", "2"}, {"DEMO_HWID", "2:0x1F"}, {"DEMO_BOOT2_FLAG", "1:0"}}, {"boot2=0", "hwid=31"}, {}},
      // "realistic" brings back the default after an earlier "fast".
      {{{"DEMO_UNITS", "2"}, {"DEMO_TIMING", "fast,2:realistic"}}, {"fast", ""}, {}},
      // Every applying fault item is a fault of the unit, in the items' order.
      {{{"DEMO_UNITS", "3"}, {"DEMO_FAULT", "3:powerloss@1000,drop,,1:badcrc"}},
       {"faults=drop,badcrc", "faults=drop", "faults=powerloss@1000,drop"},
       {}},
      {{{"DEMO_UNITS", "16"}, {"DEMO_FAULT", "16:drop"}},
       {"", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "faults=drop"},
       {}},
      // A version text keeps its commas; only a comma that a unit prefix follows separates items.
      {{{"DEMO_UNITS", "2"}, {"DEMO_APP_VERSION", "1.5,10"}}, {"version=1.5,10", "version=1.5,10"}, {}},
      {{{"DEMO_UNITS", "2"}, {"DEMO_APP_VERSION", "002.000.000,2:1,5"}}, {"version=002.000.000", "version=1,5"}, {}},
      {{{"DEMO_UNITS", "2"}, {"DEMO_APP_VERSION", "2:"}}, {"", "version="}, {}},
      // A prefix past DEMO_UNITS is a problem and ignored, the rest of the value still read.
      {{{"DEMO_UNITS", "2"}, {"DEMO_FAULT", "drop,3:powerloss@1000"}},
       {"faults=drop", "faults=drop"},
       {"DEMO_FAULT=3:powerloss@1000: no unit 3: DEMO_UNITS is 2"}},
      {{{"DEMO_UNIT_MODE", "2:application"}}, {""}, {"DEMO_UNIT_MODE=2:application: no unit 2: DEMO_UNITS is 1"}},
      {{{"DEMO_UNITS", "2"}, {"DEMO_APP_VERSION", "a,16:b"}},
       {"version=a", "version=a"},
       {"DEMO_APP_VERSION=16:b: no unit 16: DEMO_UNITS is 2"}},
      // Only 1 to 16 without a leading zero is a prefix: anything else is read as the item's own text.
      {{{"DEMO_UNITS", "16"}, {"DEMO_FAULT", "17:drop,0:drop,01:drop"}},
       std::vector<std::string>(16, ""),
       {"DEMO_FAULT=17:drop: no such fault kind", "DEMO_FAULT=0:drop: no such fault kind",
        "DEMO_FAULT=01:drop: no such fault kind"}},
      {{{"DEMO_UNITS", "2"}, {"DEMO_APP_VERSION", "0:1,x:2"}}, {"version=0:1,x:2", "version=0:1,x:2"}, {}},
      // A refused item is named once for the tray, not once per unit, and leaves the earlier items standing.
      {{{"DEMO_UNITS", "3"}, {"DEMO_UNIT_MODE", "sleeping"}, {"DEMO_FAULT", "meteor"}},
       {"", "", ""},
       {"DEMO_UNIT_MODE=sleeping: not bootloader, application, old or none", "DEMO_FAULT=meteor: no such fault kind"}},
      {{{"DEMO_UNITS", "2"}, {"DEMO_HWID", "7,2:x"}},
       {"hwid=7", "hwid=7"},
       {"DEMO_HWID=2:x: not a number (decimal, or 0x and hex digits; no blanks or signs)"}},
      {{{"DEMO_UNITS", "2"}, {"DEMO_BOOT2_FLAG", "0,"}}, {"boot2=0", "boot2=0"}, {"DEMO_BOOT2_FLAG=: not 0 or 1"}},
      // A refused DEMO_UNITS leaves one unit, and prefixes are checked against that.
      {{{"DEMO_UNITS", "17"}, {"DEMO_UNIT_MODE", "2:old"}},
       {""},
       {"DEMO_UNITS=17: too large (at most 16)", "DEMO_UNIT_MODE=2:old: no unit 2: DEMO_UNITS is 1"}},
  };
  for (const auto& c : cases) {
    std::string name;
    for (const auto& [variable, value] : c.variables) name += variable + "=" + value + " ";
    const DemoTraySettings tray = ReadTray(c.variables);
    std::vector<std::string> units;
    for (const DemoUnitSettings& unit : tray.units) {
      units.push_back(Differences(unit));
      EXPECT_TRUE(unit.problems.empty()) << name;  // the tray's problems are the tray's
    }
    EXPECT_EQ(units, c.units) << name;
    EXPECT_EQ(tray.problems, c.problems) << name;
    // The one-unit reader is unit 1 of the tray.
    const DemoUnitSettings first = Read(c.variables);
    EXPECT_EQ(Differences(first), c.units.front()) << name;
    EXPECT_EQ(first.problems, c.problems) << name;
  }
}

TEST(DemoTraySettings, UnitsAreOneToSixteenAndAnythingElseLeavesOne) {
  const struct {
    const char* value;
    std::size_t units;
    const char* problem;  // null: none
  } cases[] = {
      {"1", 1, nullptr},
      {"16", 16, nullptr},
      {"0x10", 16, nullptr},
      {"0", 1, "DEMO_UNITS=0: too small (at least 1)"},
      {"17", 1, "DEMO_UNITS=17: too large (at most 16)"},
      {"0x11", 1, "DEMO_UNITS=0x11: too large (at most 16)"},
      {"99999999999999999999", 1, "DEMO_UNITS=99999999999999999999: too large (at most 16)"},
      {"03", 1, "DEMO_UNITS=03: a leading zero (a number is decimal without leading zeros, or 0x and hex digits)"},
      {"-2", 1, "DEMO_UNITS=-2: not a number (decimal, or 0x and hex digits; no blanks or signs)"},
      {"2 ", 1, "DEMO_UNITS=2 : not a number (decimal, or 0x and hex digits; no blanks or signs)"},
      {"1:2", 1, "DEMO_UNITS=1:2: not a number (decimal, or 0x and hex digits; no blanks or signs)"},
      {"", 1, "DEMO_UNITS=: no number (decimal, or 0x and hex digits)"},
  };
  for (const auto& c : cases) {
    const DemoTraySettings tray = ReadTray({{"DEMO_UNITS", c.value}});
    EXPECT_EQ(tray.units.size(), c.units) << c.value;
    EXPECT_EQ(tray.problems, c.problem ? std::vector<std::string>{c.problem} : std::vector<std::string>{}) << c.value;
  }
}

// Unit K sits on port K, also when a unit before it is absent, with its own mode and faults.
TEST(DemoTraySettings, AttachedTrayKeepsEachUnitOnItsOwnPort) {
  const DemoTraySettings tray =
      ReadTray({{"DEMO_UNITS", "3"}, {"DEMO_UNIT_MODE", "1:none,3:application"}, {"DEMO_FAULT", "2:badcrc"}});
  VirtualClock clock;
  EmulatedUsb bus(clock);
  AttachDemoUnits(bus, tray);

  ASSERT_EQ(bus.UnitCount(), 3u);
  const char* locations[] = {"Port_#0001.Hub_#0001", "Port_#0002.Hub_#0001", "Port_#0003.Hub_#0001"};
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(bus.Unit(i).Location(), locations[i]) << i;
  EXPECT_FALSE(bus.Unit(0).IsPresent());
  EXPECT_TRUE(bus.Unit(1).IsPresent());
  EXPECT_TRUE(bus.Unit(2).IsPresent());
  EXPECT_EQ(bus.Unit(1).Mode(), UnitMode::Bootloader);
  EXPECT_EQ(bus.Unit(2).Mode(), UnitMode::Application);

  // The host lists the two present units in port order.
  UsbDeviceList list = bus.GetClassDevs(TAVIK_INTERFACE_GUID);
  ASSERT_NE(list, nullptr);
  std::vector<std::string> paths;
  UsbInterfaceRef iface{};
  for (std::uint32_t i = 0; bus.EnumDeviceInterfaces(list, TAVIK_INTERFACE_GUID, i, &iface); ++i) {
    std::uint32_t size = 0;
    bus.GetDeviceInterfaceDetail(list, iface, nullptr, 0, &size, nullptr);
    std::vector<std::uint8_t> detail(size);
    ASSERT_TRUE(bus.GetDeviceInterfaceDetail(list, iface, detail.data(), size, nullptr, nullptr));
    paths.emplace_back(bus.DetailDevicePath(detail.data()));
  }
  bus.DestroyDeviceInfoList(list);
  EXPECT_EQ(paths, (std::vector<std::string>{bus.Unit(1).DevicePath(), bus.Unit(2).DevicePath()}));

  // The first present unit is unit 2, and the fault is its own: its first answer has a bad CRC, once.
  {
    EmuHost host(bus);
    ASSERT_TRUE(host.Open());
    const EmuHost::Result first = host.Exchange(MakeRequest(BLK_PING));
    ASSERT_TRUE(first.read);
    EXPECT_FALSE(HasValidCrc(first.answer));
    const EmuHost::Result second = host.Exchange(MakeRequest(BLK_PING));
    ASSERT_TRUE(second.read);
    EXPECT_TRUE(HasValidCrc(second.answer));
  }
  EXPECT_EQ(bus.Unit(1).ExchangeCount(), 2u);
  EXPECT_EQ(bus.OpenHandleCount(), 0u);
  EXPECT_NO_USB_VIOLATIONS(bus);
}
