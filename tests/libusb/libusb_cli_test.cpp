// The terminal program through the real libusb on emulated units, run in-process as helmet-update on Linux runs
// it: what `list` shows of each unit, and an update of the unit asked for by its location that leaves the other
// unit alone.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "libusb/libusb_cli_fixture.h"

namespace {
using ::testing::HasSubstr;

// Two units: one of each product the program accepts.
std::vector<PluggedUnit> TwoUnits() {
  UnitConfig alt;
  alt.productId = UNIT_PRODUCT_ID_ALT;
  return {{UnitConfig{}, 2}, {alt, 3}};
}

using LibusbCliTest = LibusbCliFixture;
}  // namespace

TEST_F(LibusbCliTest, ListShowsEachUnitsIdsAndItsLocation) {
  struct Listed {
    const char* path;
    const char* ids;
    const char* location;
  };
  const Listed units[] = {{"usb:1-2/0", "7a31:acdc", "1-2"}, {"usb:1-3/1", "7a31:acdd", "1-3"}};
  LibusbRig rig(TwoUnits());

  ASSERT_EQ(Run({"list"}, rig, rig.Usb()), 0) << err.str();
  const std::string text = out.str();
  for (const Listed& unit : units) EXPECT_THAT(text, HasSubstr(std::string(unit.path) + "  " + unit.ids)) << text;
  EXPECT_LT(text.find(units[0].path), text.find(units[1].path)) << "listed by port";

  ASSERT_EQ(Run({"list", "--json"}, rig, rig.Usb()), 0) << err.str();
  const std::vector<nlohmann::json> events = Events();
  ASSERT_EQ(events.size(), 3u) << out.str();  // the units, then the result and the exit status
  EXPECT_EQ(events[2].at("event"), "exit");
  const nlohmann::json& event = events.front();
  EXPECT_EQ(event.at("event"), "units");
  const nlohmann::json& listed = event.at("units");
  ASSERT_EQ(listed.size(), std::size(units)) << out.str();
  for (std::size_t i = 0; i < std::size(units); ++i) {
    SCOPED_TRACE(units[i].path);
    EXPECT_EQ(listed[i].at("path"), units[i].path);
    EXPECT_EQ(listed[i].at("ids"), units[i].ids);
    EXPECT_EQ(listed[i].at("location"), units[i].location);
    EXPECT_EQ(listed[i].at("mode"), "bootloader");
  }
}

// The unit asked for by its location is updated; the one listed first receives nothing.
TEST_F(LibusbCliTest, UpdateOfTheUnitAtALocationLeavesTheOtherUnitAlone) {
  LibusbRig rig(TwoUnits());
  EmulatedUnit& first = rig.Unit(0);
  EmulatedUnit& chosen = rig.Unit(1);

  EXPECT_EQ(Run({"update", "--unit", "1-3", "--yes", "--lang", "en"}, rig, rig.Following()), 0) << out.str();
  EXPECT_THAT(out.str(), HasSubstr("Firmware update completed successfully!"));
  EXPECT_EQ(first.ExchangeCount(), 0u) << "a request of the update reached the unit at 1-2";
  EXPECT_TRUE(chosen.SlotFlag(UnitSlot::Bootloader1) && chosen.SlotFlag(UnitSlot::Bootloader2) &&
              chosen.SlotFlag(UnitSlot::Application));
  EXPECT_TRUE(HoldsProgramImages(chosen));
}
