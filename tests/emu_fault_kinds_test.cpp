// The table of fault kinds: one row per kind, the README shows the same table, and the unit takes a kind's request
// and defaults from it.

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "emu/emulated_usb.h"
#include "emu/unit_fault.h"
#include "support/emu_fixture.h"
#include "support/emu_host.h"

namespace {
// The source tree's README, found from this file's own path.
std::string ReadReadme() {
  std::string path = __FILE__;
  path = path.substr(0, path.rfind("tests")) + "README.md";
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(FaultKinds, EveryKindHasOneRowWithAUniqueName) {
  std::set<std::string> names;
  for (std::size_t k = 0; k < FaultKinds().size(); ++k) {
    const FaultKind kind = static_cast<FaultKind>(k);
    const FaultKindInfo& info = FaultKindInfoOf(kind);
    EXPECT_EQ(info.kind, kind) << "no row for kind " << k;
    EXPECT_TRUE(names.insert(info.name).second) << info.name;
    EXPECT_EQ(FindFaultKind(info.name), &info);
    EXPECT_NE(std::string(info.help), "");
  }
  EXPECT_EQ(FindFaultKind("meteor"), nullptr);
  EXPECT_EQ(FindFaultKind(""), nullptr);
}

TEST(FaultKinds, TheReadmeShowsTheTable) {
  const std::string readme = ReadReadme();
  ASSERT_FALSE(readme.empty()) << "README.md not found beside tests/";
  EXPECT_NE(readme.find(FaultKindMarkdownRows()), std::string::npos)
      << "the README's table of fault kinds differs from the table; its rows should be:\n"
      << FaultKindMarkdownRows();
}

// A kind that fits one request only waits for that request; its defaults are the table's.
using FaultKindsOnTheUnit = EmuHostTest;

TEST_F(FaultKindsOnTheUnit, AKindThatFitsOneRequestWaitsForIt) {
  EmulatedUnit& unit = Attach();
  unit.AddFault({.kind = FaultKind::SlowErase});
  unit.AddFault({.kind = FaultKind::StuckBit});
  EXPECT_TRUE(host.Exchange(MakeRequest(BLK_PING)).read);
  EXPECT_TRUE(host.Exchange(MakeRequest(BLK_READ, 0x300000, 4)).read);
  EXPECT_EQ(clock.NowMs(), 0u);
  EXPECT_TRUE(host.Exchange(MakeRequest(BLK_ERASE, 0x300000, 0x10000), 30000).read);
  EXPECT_EQ(clock.NowMs(), FaultKindInfoOf(FaultKind::SlowErase).value);
  UsbBlock write = MakeRequest(BLK_WRITE, 0x300000, 2);
  SealBlock(write);
  EXPECT_TRUE(host.Exchange(write).read);
  EXPECT_EQ(host.Exchange(MakeRequest(BLK_READ, 0x300000, 2)).answer.BlockData[0],
            FaultKindInfoOf(FaultKind::StuckBit).mask);
}

TEST_F(FaultKindsOnTheUnit, AnUnplugComesBackAfterTheTablesDefaultUnlessToldToWait) {
  EmulatedUnit& unit = Attach();
  unit.AddFault({.kind = FaultKind::Unplug});
  EXPECT_FALSE(host.Exchange(MakeRequest(BLK_PING)).written);
  clock.Advance(FaultKindInfoOf(FaultKind::Unplug).value - 1);
  EXPECT_FALSE(unit.IsPresent());
  clock.Advance(1);
  EXPECT_TRUE(unit.IsPresent());

  host.Close();
  ASSERT_TRUE(host.Open());
  unit.AddFault({.kind = FaultKind::Unplug, .value = FAULT_UNTIL_PLUGGED_IN});
  EXPECT_FALSE(host.Exchange(MakeRequest(BLK_PING)).written);
  clock.Advance(3600 * 1000);
  EXPECT_FALSE(unit.IsPresent());
  unit.PlugIn();
  EXPECT_TRUE(unit.IsPresent());
}
}  // namespace
