#include "platform/win32/demo_unit_config.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

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

TEST(DemoUnitSettings, WhatIsNotUnderstoodIsReportedAndLeftAtItsDefault) {
  const struct {
    const char* name;
    const char* value;
  } cases[] = {{"DEMO_UNIT_MODE", "sleeping"},  {"DEMO_BOOT2_FLAG", "yes"}, {"DEMO_HWID", "-1"},
               {"DEMO_HWID", "0x100000000"},    {"DEMO_HWID", "6x"},        {"DEMO_TIMING", "slow"},
               {"DEMO_FAULT", "meteor"},        {"DEMO_FAULT", "drop@"},    {"DEMO_FAULT", "drop@x"},
               {"DEMO_FAULT", "slowerase=fast"}};
  for (const auto& c : cases) {
    const DemoUnitSettings settings = Read({{c.name, c.value}});
    ASSERT_EQ(settings.problems.size(), 1u) << c.name << "=" << c.value;
    EXPECT_EQ(settings.problems[0], std::string(c.name) + "=" + c.value);
    EXPECT_TRUE(settings.faults.empty());
    EXPECT_EQ(settings.unit.mode, UnitMode::Bootloader);
    EXPECT_TRUE(settings.unit.bootloader2.valid);
    EXPECT_EQ(settings.unit.hardwareId, 6u);
  }
}
