// Whole updates through the real libusb on two emulated units, as the terminal program meets them on Linux: the
// unit of an update is the one at its location for the whole update. A unit that leaves the bus and comes back
// elsewhere, or too late, fails the update; the other unit never receives a request of it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "image/firmware_image.h"
#include "image/image_tags.h"
#include "libusb/libusb_rig.h"
#include "support/fake_resources.h"
#include "tools/update_drive.h"
#include "ui/resource_ids.h"
#include "ui/update_step.h"
#include "usb/unit_list.h"
#include "usb/usb_block.h"
#include "usb/usb_fw_loader.h"

// Outcomes by name in the messages of the checks.
static void PrintTo(UpdateOutcome outcome, std::ostream* out) {
  static const char* const kNames[] = {"Completed", "Failed", "NotStarted", "Hung"};
  *out << kNames[static_cast<int>(outcome)];
}

namespace {
using ::testing::ElementsAreArray;

constexpr std::uint8_t kFirstPort = 2;
constexpr std::uint8_t kOtherPort = 3;
constexpr std::uint8_t kFarPort = 10;  // listed after the other unit's port

// An image of `size` bytes with tagged texts at its start, as the embedded images carry them. The images of
// these tests are as small as the catalogue lets an image of each kind be, for every block of them crosses the
// testbed as URBs.
std::vector<std::uint8_t> TaggedImage(std::size_t size, std::uint32_t seed,
                                      const std::vector<std::pair<std::string_view, std::string_view>>& texts) {
  std::vector<std::uint8_t> image(size);
  std::uint32_t x = seed;
  for (auto& b : image) {
    x = x * 1664525 + 1013904223;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  std::size_t at = 512;
  for (const auto& [tag, text] : texts) {
    std::string bytes = std::string(tag) + std::string(text);
    bytes += '\0';
    std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
    at += 512;
  }
  return image;
}

// The two images of the update and the application image's record.
struct Images {
  Images() {
    resources.Add(IDR_BOOTLOADER_IMAGE, bootloader);
    resources.Add(IDR_APPLICATION_IMAGE, application);
    ScanFirmwareImage(IDR_APPLICATION_IMAGE, record, resources);
  }
  const std::vector<std::uint8_t> bootloader =
      TaggedImage(IMAGE_SIZE_LOWER_BOUND + 256, 1, {{BOOTLOADER_VERSION_TAG, "001.006.000"}});
  const std::vector<std::uint8_t> application = TaggedImage(
      BOOTLOADER_SIZE_LIMIT + 256, 2, {{APPLICATION_VERSION_TAG, "001.006.000"}, {HARDWARE_RANGE_TAG, "3_9"}});
  FakeResources resources;
  FirmwareImageInfo record{};

  bool HeldBy(const EmulatedUnit& unit) const {
    const auto size = [](const std::vector<std::uint8_t>& v) { return static_cast<std::uint32_t>(v.size()); };
    return unit.FlashHolds(BOOTLOADER_1_ADDRESS, bootloader.data(), size(bootloader)) &&
           unit.FlashHolds(BOOTLOADER_2_ADDRESS, bootloader.data(), size(bootloader)) &&
           unit.FlashHolds(APPLICATION_ADDRESS, application.data(), size(application));
  }
};

// One update of the unit at `location` through libusb, driven as a user would: the steps run, the pauses pass on
// the clock (`inPause` runs as each begins, with the number of the step after it). `untouched` must receive no
// request of it.
UpdateResult UpdateAt(LibusbRig& rig, Images& images, const std::string& location, const EmulatedUnit& untouched,
                      const std::function<void(int nextStep)>& inPause = {}) {
  const std::uint64_t before = untouched.ExchangeCount();
  UpdateDrive drive(rig.Following(), rig.Clock(), &images.resources, &images.record);
  drive.unit = location;
  drive.beforeStepPause = inPause;
  const UpdateResult result = drive.PressUpdate();
  EXPECT_NE(result.outcome, UpdateOutcome::Hung) << "the update at " << location << " hung";
  EXPECT_EQ(untouched.ExchangeCount(), before) << "a request of the update at " << location << " reached another unit";
  return result;
}

std::vector<std::string> ListedLocations(UsbPlatform& usb) {
  std::vector<std::string> locations;
  for (const UnitEntry& unit : ListUnits(usb)) locations.push_back(unit.location);
  return locations;
}

// A road the update of the first of two units is played along.
struct Road {
  const char* name;
  std::uint32_t resetOffBusMs;                     // how long a reset keeps the first unit away
  std::function<void(EmulatedUnit& first)> armed;  // once it is on the bus
  // As each step pause begins (the clock not yet moved), with the number of the step after it.
  std::function<void(LibusbRig& rig, EmulatedUnit& first, int next)> inPause;
  UpdateOutcome outcome;
  ResultCode result;
  std::uint8_t portAfter;  // where the first unit is listed once it is back
};

const Road kRoads[] = {
    {"NoFaultBothUnitsInTurn", 1000, nullptr, nullptr, UpdateOutcome::Completed, FWL_OK, kFirstPort},
    {"PowerBlipInThePauseBackOnAPortListedAfterTheOther", 1000, nullptr,
     [](LibusbRig& rig, EmulatedUnit& first, int next) {
       if (next != STEP_BOOT2_SECOND) return;
       rig.Bus().Unplug(first);  // the power goes for a moment ...
       first.PlugIn();
       rig.Bus().Plug(first, kFarPort);  // ... and the unit enumerates on another port
     },
     UpdateOutcome::Failed, FWL_ERR_NOT_FOUND, kFarPort},
    {"AwayWhenTheStepAfterThePauseBeginsBackMuchLater", 1000, nullptr,
     [](LibusbRig& rig, EmulatedUnit& first, int next) {
       if (next == STEP_BOOT2_SECOND) first.CutPowerAt(rig.Clock().NowMs() + 1000, 60000);
     },
     UpdateOutcome::Failed, FWL_ERR_NOT_FOUND, kFirstPort},
    {"QueryFailsOnceAndTheUnitIsBackLaterThanItsPause", 3000,  // the query waits 2000 ms after its reset
     [](EmulatedUnit& first) { first.AddFault({.kind = FaultKind::BadCrc, .blockId = BLK_GET_VERSION}); }, nullptr,
     UpdateOutcome::NotStarted, FWL_ERR_NOT_FOUND, kFirstPort},
};

void PrintTo(const Road& road, std::ostream* out) { *out << road.name; }

class LibusbSessionTest : public ::testing::TestWithParam<Road> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(UmockdevUnits::InMockEnvironment()) << "run this test program under umockdev-wrapper";
  }
};
}  // namespace

// Two units on two ports; the update of the first, chosen by its location, is played along the road: no request
// of it reaches the other unit, and it does not succeed unless the unit stayed. Then the first unit, chosen by
// where it is listed now, is updated (and with no fault, the other one), each update reaching its unit alone.
TEST_P(LibusbSessionTest, TheUnitIsPinnedByItsLocationAndAnotherUnitIsNeverOpened) {
  const Road& road = GetParam();
  Images images;
  UnitConfig config;
  config.resetOffBusMs = road.resetOffBusMs;
  LibusbRig rig({{config, kFirstPort}, {UnitConfig{}, kOtherPort}});
  EmulatedUnit& first = rig.Unit(0);
  EmulatedUnit& other = rig.Unit(1);
  if (road.armed) road.armed(first);
  ASSERT_THAT(ListedLocations(rig.Following()), ElementsAreArray({LocationAt(kFirstPort), LocationAt(kOtherPort)}));

  const UpdateResult end = UpdateAt(rig, images, LocationAt(kFirstPort), other, [&](int next) {
    if (road.inPause) road.inPause(rig, first, next);
  });
  EXPECT_EQ(end.outcome, road.outcome);
  EXPECT_EQ(end.result, road.result);
  EXPECT_EQ(other.ExchangeCount(), 0u) << "a request of the update reached the other unit";

  // The unit that left still starts, and is listed where it came back.
  rig.Clock().Advance(60000);
  EXPECT_FALSE(first.IsBricked());
  EXPECT_TRUE(first.IsPresent());
  const std::string back = LocationAt(road.portAfter);
  EXPECT_THAT(ListedLocations(rig.Following()),
              ElementsAreArray(road.portAfter > kOtherPort ? std::vector<std::string>{LocationAt(kOtherPort), back}
                                                           : std::vector<std::string>{back, LocationAt(kOtherPort)}));

  if (road.outcome != UpdateOutcome::Completed) {
    // A fresh update of it, chosen by its location now, completes.
    const UpdateResult again = UpdateAt(rig, images, back, other);
    EXPECT_EQ(again.outcome, UpdateOutcome::Completed);
    EXPECT_EQ(again.result, FWL_OK);
    EXPECT_EQ(other.ExchangeCount(), 0u);
  } else {
    // The other unit's turn.
    EXPECT_EQ(UpdateAt(rig, images, LocationAt(kOtherPort), first).outcome, UpdateOutcome::Completed);
    EXPECT_TRUE(images.HeldBy(other));
  }
  EXPECT_TRUE(images.HeldBy(first));
}

INSTANTIATE_TEST_SUITE_P(Roads, LibusbSessionTest, ::testing::ValuesIn(kRoads),
                         [](const ::testing::TestParamInfo<Road>& info) { return std::string(info.param.name); });
