// The demo's DEMO_* variables: ReadDemoTraySettings and ReadDemoUnitSettings with a lookup that answers from the
// fuzzer's bytes.
//
// Input: a byte whose bits say which of the seven variables are set, then their values in the order of
// kNames, each ended by a NUL byte (or by the input's end).

#include <algorithm>
#include <cstdint>
#include <string>

#include "emu/demo_unit_config.h"
#include "fuzz/fuzz_input.h"

namespace {
constexpr const char* kNames[] = {"DEMO_UNIT_MODE", "DEMO_APP_VERSION", "DEMO_BOOT2_FLAG", "DEMO_HWID",
                                  "DEMO_FAULT",     "DEMO_TIMING",      "DEMO_UNITS"};
constexpr std::size_t kCount = sizeof kNames / sizeof kNames[0];
constexpr std::size_t kMaxValueLength = 4096;

bool SameUnit(const DemoUnitSettings& a, const DemoUnitSettings& b) {
  return a.attached == b.attached && a.unit.mode == b.unit.mode &&
         a.unit.application.version == b.unit.application.version &&
         a.unit.bootloader2.valid == b.unit.bootloader2.valid && a.unit.hardwareId == b.unit.hardwareId &&
         a.unit.timing.minimumWaitMs == b.unit.timing.minimumWaitMs && a.faults.size() == b.faults.size();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const std::uint8_t set = input.Byte();
  std::string values[kCount];
  for (std::size_t i = 0; i < kCount; ++i) {
    if ((set >> i) & 1) values[i] = input.Text(kMaxValueLength);
  }

  int lookups = 0;
  const DemoLookup lookup = [&](const char* name) -> const char* {
    ++lookups;
    for (std::size_t i = 0; i < kCount; ++i) {
      if (std::string(name) == kNames[i]) return ((set >> i) & 1) ? values[i].c_str() : nullptr;
    }
    FUZZ_CHECK(!"a variable that is no DEMO_* setting was looked up");
    return nullptr;
  };
  const DemoTraySettings tray = ReadDemoTraySettings(lookup);
  const DemoUnitSettings settings = ReadDemoUnitSettings(lookup);

  // Each problem names a variable that was set, with the text that was not understood; each item (and
  // DEMO_UNITS) gives at most one problem, however many units it applies to.
  std::size_t items = 0;
  for (std::size_t i = 0; i < kCount; ++i) {
    if ((set >> i) & 1) items += 1 + static_cast<std::size_t>(std::count(values[i].begin(), values[i].end(), ','));
  }
  FUZZ_CHECK(tray.problems.size() <= items);
  for (const std::string& problem : tray.problems) {
    bool named = false;
    for (std::size_t i = 0; i < kCount; ++i) {
      const std::string prefix = std::string(kNames[i]) + "=";
      named = named || (((set >> i) & 1) && problem.compare(0, prefix.size(), prefix) == 0);
    }
    FUZZ_CHECK(named);
  }
  FUZZ_CHECK(lookups >= 2);

  // One unit unless DEMO_UNITS says more; the one-unit reader is unit 1 of the tray, with the tray's problems.
  FUZZ_CHECK(tray.units.size() >= 1 && tray.units.size() <= MAX_DEMO_UNITS);
  if (((set >> 6) & 1) == 0) FUZZ_CHECK(tray.units.size() == 1);
  FUZZ_CHECK(SameUnit(settings, tray.units.front()));
  FUZZ_CHECK(settings.problems == tray.problems);

  // Without a unit prefix (no ':' anywhere) every unit is the same, and the version text is kept whole.
  bool prefixes = false;
  for (std::size_t i = 0; i < kCount; ++i) prefixes = prefixes || values[i].find(':') != std::string::npos;
  for (const DemoUnitSettings& unit : tray.units) {
    FUZZ_CHECK(unit.problems.empty());
    if ((set & 1) == 0) FUZZ_CHECK(unit.attached);
    if (prefixes) continue;
    FUZZ_CHECK(SameUnit(unit, tray.units.front()));
    if ((set >> 1) & 1) FUZZ_CHECK(unit.unit.application.version == values[1]);
  }
  return 0;
}
