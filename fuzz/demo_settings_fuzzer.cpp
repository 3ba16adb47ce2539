// The demo's DEMO_* variables: ReadDemoUnitSettings with a lookup that answers from the fuzzer's bytes.
//
// Input: a byte whose bits say which of the six variables are set, then their values in the order of
// kNames, each ended by a NUL byte (or by the input's end).

#include <cstdint>
#include <string>

#include "fuzz/fuzz_input.h"
#include "emu/demo_unit_config.h"

namespace {
constexpr const char* kNames[] = {"DEMO_UNIT_MODE", "DEMO_APP_VERSION", "DEMO_BOOT2_FLAG",
                                  "DEMO_HWID",      "DEMO_FAULT",       "DEMO_TIMING"};
constexpr std::size_t kCount = sizeof kNames / sizeof kNames[0];
constexpr std::size_t kMaxValueLength = 4096;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const std::uint8_t set = input.Byte();
  std::string values[kCount];
  for (std::size_t i = 0; i < kCount; ++i) {
    if ((set >> i) & 1) values[i] = input.Text(kMaxValueLength);
  }

  int lookups = 0;
  const DemoUnitSettings settings = ReadDemoUnitSettings([&](const char* name) -> const char* {
    ++lookups;
    for (std::size_t i = 0; i < kCount; ++i) {
      if (std::string(name) == kNames[i]) return ((set >> i) & 1) ? values[i].c_str() : nullptr;
    }
    FUZZ_CHECK(!"a variable that is no DEMO_* setting was looked up");
    return nullptr;
  });

  // Each problem names a variable that was set, with the text that was not understood.
  for (const std::string& problem : settings.problems) {
    bool named = false;
    for (std::size_t i = 0; i < kCount; ++i) {
      const std::string prefix = std::string(kNames[i]) + "=";
      named = named || (((set >> i) & 1) && problem.compare(0, prefix.size(), prefix) == 0);
    }
    FUZZ_CHECK(named);
  }
  FUZZ_CHECK(lookups >= 1);
  if ((set >> 1) & 1) FUZZ_CHECK(settings.unit.application.version == values[1]);
  if ((set & 1) == 0) FUZZ_CHECK(settings.attached);
  return 0;
}
