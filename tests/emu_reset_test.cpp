// Leaving and coming back: RESET and re-enumeration, bricking, power loss and unplugging.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "app/clock.h"
#include "emu/emulated_usb.h"
#include "support/emu_fixture.h"
#include "support/emu_host.h"
#include "support/emu_violations.h"

namespace {
struct EmuReset : EmuHostTest {
  std::size_t Enumerated() {
    UsbDeviceList list = usb.GetClassDevs(TAVIK_INTERFACE_GUID);
    std::size_t count = 0;
    UsbInterfaceRef iface{};
    while (usb.EnumDeviceInterfaces(list, TAVIK_INTERFACE_GUID, static_cast<std::uint32_t>(count), &iface)) ++count;
    usb.DestroyDeviceInfoList(list);
    return count;
  }
};

TEST_F(EmuReset, ResetLeavesTheBusAndComesBackInBootloaderMode) {
  UnitConfig config;
  config.mode = UnitMode::Application;
  config.resetOffBusMs = 1500;
  EmulatedUnit& unit = Attach(config);
  const auto reset = host.Exchange(MakeRequest(BLK_RESET));
  ASSERT_TRUE(reset.read);
  EXPECT_EQ(reset.answer.BlockID, BLK_ACK);

  // The open handles are dead from now on, even after the unit is back.
  const auto afterReset = host.Exchange(MakeRequest(BLK_PING));
  EXPECT_FALSE(afterReset.written);
  EXPECT_EQ(afterReset.error, WIN_ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(unit.IsPresent());
  EXPECT_EQ(Enumerated(), 0u);
  EXPECT_EQ(usb.OpenDeviceFile(unit.DevicePath().c_str()), UsbInvalidHandle());
  clock.Advance(1499);
  EXPECT_EQ(Enumerated(), 0u);
  clock.Advance(1);
  EXPECT_EQ(Enumerated(), 1u);
  EXPECT_EQ(unit.Mode(), UnitMode::Bootloader);
  EXPECT_FALSE(unit.IsBricked());
  EXPECT_EQ(host.Exchange(MakeRequest(BLK_PING)).error, WIN_ERROR_DEVICE_NOT_CONNECTED);

  host.Close();
  ASSERT_TRUE(host.Open());
  EXPECT_EQ(host.Exchange(MakeRequest(BLK_GET_MODE)).answer.BlockID, BLK_NAK);
}

TEST_F(EmuReset, ResetWithoutAValidBootloaderBricksTheUnit) {
  UnitConfig config;
  config.bootloader1.valid = false;
  EmulatedUnit& unit = Attach(config);
  ASSERT_EQ(host.Exchange(MakeRequest(BLK_ERASE, 0x80000, 0x10000), 20000).answer.BlockID, BLK_ACK);
  EXPECT_FALSE(unit.IsBricked());  // still running, but with nothing to start from
  ASSERT_EQ(host.Exchange(MakeRequest(BLK_RESET)).answer.BlockID, BLK_ACK);
  clock.Advance(60000);
  EXPECT_EQ(Enumerated(), 0u);
  EXPECT_TRUE(unit.IsBricked());
  unit.PlugIn();
  EXPECT_FALSE(unit.IsPresent());
}

TEST_F(EmuReset, PowerLossDuringAnEraseLeavesTheChunkHalfErased) {
  EmulatedUnit& unit = Attach();
  const std::vector<std::uint8_t> zeros(UNIT_SECTOR_SIZE, 0);
  unit.LoadFlash(0x20000, zeros.data(), UNIT_SECTOR_SIZE);
  unit.AddFault({.kind = FaultKind::PowerLoss, .blockId = BLK_ERASE, .value = FAULT_UNTIL_PLUGGED_IN});
  const auto erase = host.Exchange(MakeRequest(BLK_ERASE, 0x20000, 0x10000), 20000);
  EXPECT_TRUE(erase.written);
  EXPECT_FALSE(erase.read);
  EXPECT_EQ(erase.error, WIN_ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(unit.IsPresent());
  const std::vector<std::uint8_t> flash = unit.ReadFlash(0x20000, UNIT_SECTOR_SIZE);
  EXPECT_EQ(std::count(flash.begin(), flash.end(), 0xFF), UNIT_SECTOR_SIZE / 2);
  EXPECT_EQ(flash.front(), 0xFF);
  EXPECT_EQ(flash.back(), 0x00);
  EXPECT_FALSE(unit.SlotFlag(UnitSlot::Bootloader1));

  // Power returns: copy 2 is still valid, so the bootloader runs.
  clock.Advance(100000);
  EXPECT_FALSE(unit.IsPresent());
  unit.PlugIn();
  EXPECT_TRUE(unit.IsPresent());
  EXPECT_EQ(unit.Mode(), UnitMode::Bootloader);
  EXPECT_EQ(unit.ReadFlash(0x20000, UNIT_SECTOR_SIZE), flash);
}

TEST_F(EmuReset, PowerLossDuringAWriteKeepsHalfTheBlockAndPowerReturnsOnTime) {
  EmulatedUnit& unit = Attach();
  unit.AddFault({.kind = FaultKind::PowerLoss, .exchange = 1, .value = 3000});
  ASSERT_EQ(host.Exchange(MakeRequest(BLK_ERASE, 0x100000, 0x10000), 20000).answer.BlockID, BLK_ACK);
  UsbBlock write = MakeRequest(BLK_WRITE, 0x100000, 8);
  std::memset(write.BlockData, 0, 8);
  SealBlock(write);
  EXPECT_FALSE(host.Exchange(write).read);
  EXPECT_EQ(unit.ReadFlash(0x100000, 8), (std::vector<std::uint8_t>{0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
  clock.Advance(2999);
  EXPECT_FALSE(unit.IsPresent());
  clock.Advance(1);
  EXPECT_TRUE(unit.IsPresent());
  EXPECT_FALSE(unit.SlotFlag(UnitSlot::Application));
}

// The power-cut property of the slots: cut at any request of a bootloader copy's update, the unit comes
// back with the other copy.
TEST_F(EmuReset, PowerCutAnywhereInABootloaderUpdateLeavesAStartableUnit) {
  std::vector<std::uint8_t> image(70000, 0x3C);
  for (std::uint64_t cut = 0; cut < 280; cut += 7) {
    VirtualClock c;
    EmulatedUsb bus(c);
    EmulatedUnit& unit = bus.AddUnit();
    EmuHost h(bus);
    ASSERT_TRUE(h.Open());
    unit.AddFault({.kind = FaultKind::PowerLoss, .exchange = cut});
    EXPECT_FALSE(h.WriteImage(0x20000, image.data(), static_cast<std::uint32_t>(image.size())));
    h.Close();
    unit.PlugIn();
    EXPECT_TRUE(unit.IsPresent()) << "cut at " << cut;
    EXPECT_FALSE(unit.SlotFlag(UnitSlot::Bootloader1));
    ASSERT_TRUE(h.Open());
    EXPECT_TRUE(h.WriteImage(0x20000, image.data(), static_cast<std::uint32_t>(image.size())));
    EXPECT_TRUE(unit.SlotFlag(UnitSlot::Bootloader1));
    h.Close();
    EXPECT_NO_USB_VIOLATIONS(bus);
  }
}

TEST_F(EmuReset, UnplugFaultFailsTheWriteAndCarriesNothingOut) {
  EmulatedUnit& unit = Attach();
  unit.AddFault({.kind = FaultKind::Unplug, .blockId = BLK_ERASE});
  const auto erase = host.Exchange(MakeRequest(BLK_ERASE, 0x20000, 0x10000), 20000);
  EXPECT_FALSE(erase.written);
  EXPECT_EQ(erase.error, WIN_ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_TRUE(unit.SlotFlag(UnitSlot::Bootloader1));  // the erase never reached the unit
  EXPECT_EQ(Enumerated(), 0u);
  unit.PlugIn();
  EXPECT_EQ(Enumerated(), 1u);
  const auto records = unit.Exchanges();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_FALSE(records[0].answered);
}

TEST_F(EmuReset, UnplugMakesEveryHandleFailUntilReopened) {
  EmulatedUnit& unit = Attach();
  unit.Unplug();
  EXPECT_FALSE(unit.IsBricked());
  std::uint32_t timeout = 1000;
  EXPECT_FALSE(usb.SetPipePolicy(host.Interface(), host.PipeIn(), USB_POLICY_PIPE_TRANSFER_TIMEOUT, 4, &timeout));
  EXPECT_EQ(usb.LastError(), WIN_ERROR_DEVICE_NOT_CONNECTED);
  unit.PlugIn();
  UsbInterfaceDescriptor descriptor{};
  EXPECT_FALSE(usb.QueryInterfaceSettings(host.Interface(), 0, &descriptor));
  EXPECT_EQ(usb.LastError(), WIN_ERROR_DEVICE_NOT_CONNECTED);
  host.Close();  // closing dead handles succeeds and releases them
  EXPECT_EQ(usb.OpenHandleCount(), 0u);
  ASSERT_TRUE(host.Open());
  EXPECT_EQ(host.Exchange(MakeRequest(BLK_PING)).answer.BlockID, BLK_ACK);
}
}  // namespace
