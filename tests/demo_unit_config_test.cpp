// The demo's emulated unit from its DEMO_* variables: defaults, values, faults, and what is refused and why.

#include "emu/demo_unit_config.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {
DemoUnitSettings Read(const std::map<std::string, std::string>& variables) {
  return ReadDemoUnitSettings([&](const char* name) -> const char* {
    const auto found = variables.find(name);
    return found == variables.end() ? nullptr : found->second.c_str();
  });
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
