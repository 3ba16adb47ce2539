// The update engine on the libusb backend: the device query and whole update steps run through the real libusb
// against emulated units, and must trace and exchange exactly what they do on the emulated bus directly.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/message_poster.h"
#include "libusb/libusb_rig.h"
#include "support/fake_resources.h"
#include "support/random_bytes.h"
#include "support/trace_capture.h"
#include "usb/usb_fw_loader.h"

namespace {
using ::testing::Contains;
using ::testing::IsEmpty;

int g_windowToken;
WindowRef const kWindow = &g_windowToken;
constexpr long kPumpGuard = 2'000'000'000;  // yields; far beyond any step, still ends a hung test
constexpr std::uint32_t kBootloaderSize = 156400;

struct Request {
  std::uint32_t id;
  std::uint32_t address;
  std::uint32_t length;
  friend bool operator==(const Request&, const Request&) = default;
};

// What one run of the device link did: its results, its trace, and the requests the unit received.
struct Outcome {
  ResultCode query = FWL_ERR_FAILED;
  DeviceInfo info{};
  ResultCode start = FWL_ERR_FAILED;
  std::vector<std::intptr_t> codes;  // the step's notifications, its result last
  ResultCode queryAfter = FWL_ERR_FAILED;
  std::vector<std::string> trace;
  std::vector<Request> requests;
};

// The device query, one step writing `image` at `address`, and a second query, on a fresh loader.
// `afterStep` runs between the step and the second query.
Outcome RunLink(UsbPlatform& usb, VirtualClock& clock, EmulatedUnit& unit, const std::vector<std::uint8_t>& image,
                std::uint32_t address, const std::function<void()>& afterStep = {}) {
  PostedMessageQueue queue;
  FakeResources resources;
  resources.Add(IDR_BOOTLOADER_IMAGE, image);
  const DeviceLinkContext context{&usb, &clock, &queue, &resources};
  auto loader = std::make_unique<UsbFwLoader>(context);
  loader->SetNotifyWindow(kWindow, 0, WM_UPDATE_NOTIFY);

  Outcome outcome;
  TraceCapture capture;
  outcome.query = loader->ReadDeviceInfo(&outcome.info);
  outcome.start = loader->UpdateFirmwareFromResource(IDR_BOOTLOADER_IMAGE, address);
  for (long guard = 0; outcome.start == FWL_STARTED && guard < kPumpGuard; ++guard) {
    if (const auto m = queue.TryTake()) {
      outcome.codes.push_back(m->lParam);
      if (m->lParam != FWL_PROGRESS) break;
    } else {
      std::this_thread::yield();
    }
  }
  for (long guard = 0; guard < kPumpGuard && loader->busy.load() != 0; ++guard) std::this_thread::yield();
  EXPECT_EQ(loader->busy.load(), 0u);
  if (afterStep) afterStep();
  DeviceInfo after{};
  outcome.queryAfter = loader->ReadDeviceInfo(&after);
  loader.reset();
  outcome.trace = capture.Texts();
  for (const ExchangeRecord& r : unit.Exchanges()) {
    outcome.requests.push_back({r.request.BlockID, r.request.BlockAddress, r.request.BlockLength});
  }
  EXPECT_EQ(resources.Loads(), resources.Frees());
  return outcome;
}

// The same run on the emulated bus, with no libusb in between: what the libusb path must match.
Outcome RunDirect(const UnitConfig& config, const std::vector<std::uint8_t>& image, std::uint32_t address,
                  const std::function<void(EmulatedUnit&)>& setUp = {}) {
  VirtualClock clock;
  EmulatedUsb bus(clock);
  EmulatedUnit& unit = bus.AddUnit(config);
  if (setUp) setUp(unit);
  Outcome outcome = RunLink(bus, clock, unit, image, address);
  EXPECT_NO_USB_VIOLATIONS(bus);
  EXPECT_EQ(bus.OpenHandleCount(), 0u);
  return outcome;
}

void ExpectSameRun(const Outcome& libusb, const Outcome& direct) {
  EXPECT_EQ(libusb.query, direct.query);
  EXPECT_EQ(std::memcmp(&libusb.info, &direct.info, sizeof(DeviceInfo)), 0);
  EXPECT_EQ(libusb.start, direct.start);
  EXPECT_EQ(libusb.codes, direct.codes);
  EXPECT_EQ(libusb.queryAfter, direct.queryAfter);
  EXPECT_EQ(libusb.trace, direct.trace);
  EXPECT_TRUE(libusb.requests == direct.requests)
      << libusb.requests.size() << " requests over libusb, " << direct.requests.size() << " directly";
}

class LibusbLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(UmockdevUnits::InMockEnvironment()) << "run this test program under umockdev-wrapper";
  }
};
}  // namespace

TEST_F(LibusbLoaderTest, AWholeBootloaderStepRunsAsOnTheEmulatedBus) {
  const std::vector<std::uint8_t> image = RandomBytes(kBootloaderSize, 1);
  LibusbRig rig;
  EmulatedUnit& unit = rig.Unit();
  const Outcome libusb = RunLink(rig.Usb(), rig.Clock(), unit, image, UNIT_BOOTLOADER1_ADDRESS);

  EXPECT_EQ(libusb.query, FWL_OK);
  EXPECT_EQ(libusb.info.mode, DEVICE_MODE_BOOTLOADER);
  EXPECT_STREQ(libusb.info.bootVersion, "001.005.007");
  EXPECT_EQ(libusb.start, FWL_STARTED);
  ASSERT_FALSE(libusb.codes.empty());
  EXPECT_EQ(libusb.codes.back(), FWL_OK);
  EXPECT_EQ(unit.ReadFlash(UNIT_BOOTLOADER1_ADDRESS, kBootloaderSize), image);
  EXPECT_TRUE(unit.SlotFlag(UnitSlot::Bootloader1));
  ExpectSameRun(libusb, RunDirect({}, image, UNIT_BOOTLOADER1_ADDRESS));
}

TEST_F(LibusbLoaderTest, OfTwoUnitsTheStepUpdatesTheFirstListedAndLeavesTheOtherAlone) {
  const std::vector<std::uint8_t> image = RandomBytes(10000, 2);
  UnitConfig alt;
  alt.productId = UNIT_PRODUCT_ID_ALT;
  LibusbRig rig({{UnitConfig{}, 3}, {alt, 2}});  // the 0xACDD unit in port 2 is listed first
  EmulatedUnit& listedFirst = rig.Unit(1);
  const Outcome libusb = RunLink(rig.Usb(), rig.Clock(), listedFirst, image, UNIT_BOOTLOADER2_ADDRESS);

  ASSERT_FALSE(libusb.codes.empty());
  EXPECT_EQ(libusb.codes.back(), FWL_OK);
  EXPECT_EQ(listedFirst.ReadFlash(UNIT_BOOTLOADER2_ADDRESS, 10000), image);
  EXPECT_THAT(rig.Unit(0).Exchanges(), IsEmpty());
  ExpectSameRun(libusb, RunDirect(alt, image, UNIT_BOOTLOADER2_ADDRESS));
}

TEST_F(LibusbLoaderTest, AUnitUnpluggedDuringTheStepFailsItAsOnTheEmulatedBus) {
  const std::vector<std::uint8_t> image = RandomBytes(10000, 3);
  const auto pullAtTheThirdWrite = [](EmulatedUnit& unit) {
    unit.AddFault({.kind = FaultKind::Unplug, .blockId = BLK_WRITE, .skip = 2});
  };
  LibusbRig rig;
  EmulatedUnit& unit = rig.Unit();
  pullAtTheThirdWrite(unit);
  // The kernel takes the device off the bus; the testbed does so once the step has met the unplug.
  const Outcome libusb =
      RunLink(rig.Usb(), rig.Clock(), unit, image, UNIT_BOOTLOADER1_ADDRESS, [&] { rig.Bus().Unplug(unit); });

  ASSERT_FALSE(libusb.codes.empty());
  EXPECT_EQ(libusb.codes.back(), FWL_ERR_FAILED);
  EXPECT_THAT(libusb.trace, Contains("WriteUsbPipeData: WinUsb_WritePipe() failed! error = 1167, bytesWritten = 0"));
  EXPECT_EQ(libusb.queryAfter, FWL_ERR_NOT_FOUND);
  ExpectSameRun(libusb, RunDirect({}, image, UNIT_BOOTLOADER1_ADDRESS, pullAtTheThirdWrite));
}
