// The unit's flash and slots through the block exchange: NOR writes, sector erases, and the valid flags
// that START clears and FINISH sets.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "app/clock.h"
#include "emu/emulated_usb.h"
#include "support/emu_fixture.h"
#include "support/emu_host.h"
#include "support/emu_violations.h"

namespace {
struct EmuFlash : EmuHostTest {
  EmulatedUnit& unit = usb.AddUnit();

  void SetUp() override { ASSERT_TRUE(host.Open()); }

  std::uint32_t Send(std::uint32_t id, std::uint32_t address, std::uint32_t length) {
    return host.Exchange(MakeRequest(id, address, length), 20000).answer.BlockID;
  }
  std::uint32_t Write(std::uint32_t address, const std::vector<std::uint8_t>& data) {
    UsbBlock block = MakeRequest(BLK_WRITE, address, static_cast<std::uint32_t>(data.size()));
    std::memcpy(block.BlockData, data.data(), data.size());
    SealBlock(block);
    return host.Exchange(block).answer.BlockID;
  }
  std::vector<std::uint8_t> Read(std::uint32_t address, std::uint32_t length) {
    const auto result = host.Exchange(MakeRequest(BLK_READ, address, length));
    return {result.answer.BlockData, result.answer.BlockData + length};
  }
  std::vector<bool> Flags() {
    const auto result = host.Exchange(MakeRequest(BLK_GET_FLAGS));
    return {result.answer.BlockData[0] != 0, result.answer.BlockData[1] != 0, result.answer.BlockData[2] != 0};
  }
};

TEST_F(EmuFlash, FlashStartsErasedAndWritesOnlyClearBits) {
  EXPECT_GE(unit.FlashSize(), 8u << 20);
  EXPECT_EQ(Read(0x7FFF00, 256), std::vector<std::uint8_t>(256, 0xFF));
  EXPECT_EQ(Write(0x400000, {0xF0, 0x0F, 0x55}), BLK_ACK);
  EXPECT_EQ(Read(0x400000, 4), (std::vector<std::uint8_t>{0xF0, 0x0F, 0x55, 0xFF}));
  // Over unerased flash the result is old AND new, not what was written.
  EXPECT_EQ(Write(0x400000, {0x0F, 0x0F, 0xAA}), BLK_ACK);
  EXPECT_EQ(Read(0x400000, 3), (std::vector<std::uint8_t>{0x00, 0x0F, 0x00}));
}

TEST_F(EmuFlash, EraseClearsTheWholeSectorOfItsAddress) {
  const std::vector<std::uint8_t> zeros(256, 0);
  for (std::uint32_t a : {0x3FFF00u, 0x400000u, 0x40FF00u, 0x410000u}) Write(a, zeros);
  EXPECT_EQ(Send(BLK_ERASE, 0x400000, 100), BLK_ACK);  // a short chunk still erases its sector
  EXPECT_EQ(Read(0x3FFF00, 256), zeros);
  EXPECT_EQ(Read(0x400000, 256), std::vector<std::uint8_t>(256, 0xFF));
  EXPECT_EQ(Read(0x40FF00, 256), std::vector<std::uint8_t>(256, 0xFF));
  EXPECT_EQ(Read(0x410000, 256), zeros);
}

TEST_F(EmuFlash, ReadsAnyRangeUpToTheEndOfTheFlash) {
  std::vector<std::uint8_t> bytes(300);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
  unit.LoadFlash(unit.FlashSize() - 300, bytes.data(), 300);
  EXPECT_EQ(Read(unit.FlashSize() - 1, 1), std::vector<std::uint8_t>{43});
  EXPECT_EQ(Read(unit.FlashSize() - 257, 256), std::vector<std::uint8_t>(bytes.begin() + 43, bytes.begin() + 299));
}

TEST_F(EmuFlash, StartClearsTheSlotFlagAndFinishSetsItWhenTheImageWasWritten) {
  struct Case {
    std::uint32_t address;
    std::size_t flag;
  };
  for (const Case c : {Case{0x100000, 0}, Case{0x20000, 1}, Case{0x80000, 2}}) {
    SCOPED_TRACE(c.address);
    std::vector<std::uint8_t> image(1000, 0xA5);
    ASSERT_EQ(Send(BLK_START, c.address, 1000), BLK_ACK);
    std::vector<bool> expected = {true, true, true};
    expected[c.flag] = false;
    EXPECT_EQ(Flags(), expected);
    ASSERT_TRUE(host.WriteImage(c.address, image.data(), 1000));  // START, erase, writes, FINISH
    EXPECT_EQ(Flags(), (std::vector<bool>{true, true, true}));
  }
}

TEST_F(EmuFlash, FinishIsRefusedUnlessEveryByteWasWrittenSinceStart) {
  const std::vector<std::uint8_t> block(256, 0x11);
  // One block missing.
  Send(BLK_START, 0x20000, 768);
  Send(BLK_ERASE, 0x20000, 768);
  Write(0x20000, block);
  Write(0x20200, block);
  EXPECT_EQ(Send(BLK_FINISH, 0x20000, 768), BLK_NAK);
  EXPECT_FALSE(unit.SlotFlag(UnitSlot::Bootloader1));
  // Written before START: does not count.
  Write(0x20100, block);
  Send(BLK_START, 0x20000, 768);
  Write(0x20000, block);
  Write(0x20200, block);
  EXPECT_EQ(Send(BLK_FINISH, 0x20000, 768), BLK_NAK);
  // Erased after being written: does not count.
  Send(BLK_START, 0x20000, 768);
  for (std::uint32_t a : {0x20000u, 0x20100u, 0x20200u}) Write(a, block);
  Send(BLK_ERASE, 0x20000, 768);
  EXPECT_EQ(Send(BLK_FINISH, 0x20000, 768), BLK_NAK);
  // FINISH without a START.
  EXPECT_EQ(Send(BLK_FINISH, 0x20000, 768), BLK_NAK);
  EXPECT_FALSE(unit.SlotFlag(UnitSlot::Bootloader1));
  // All of it.
  Send(BLK_START, 0x20000, 768);
  for (std::uint32_t a : {0x20000u, 0x20100u, 0x20200u}) Write(a, block);
  EXPECT_EQ(Send(BLK_FINISH, 0x20000, 768), BLK_ACK);
  EXPECT_TRUE(unit.SlotFlag(UnitSlot::Bootloader1));
}

TEST_F(EmuFlash, ErasingOrWritingInsideAValidSlotClearsItsFlag) {
  Send(BLK_ERASE, 0x90000, 0x10000);
  EXPECT_EQ(Flags(), (std::vector<bool>{true, true, false}));
  Write(0x7FFFF, {0});  // the last byte of bootloader copy 1
  EXPECT_EQ(Flags(), (std::vector<bool>{true, false, false}));
  Write(0x10000, {0});  // below the slots
  Send(BLK_ERASE, 0x10000, 0x10000);
  EXPECT_TRUE(unit.SlotFlag(UnitSlot::Application));
}

TEST_F(EmuFlash, StuckBitCannotBeCleared) {
  unit.AddStuckBit(0x200005, 0x10);
  std::vector<std::uint8_t> zeros(8, 0);
  Write(0x200000, zeros);
  EXPECT_EQ(Read(0x200000, 8), (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0x10, 0, 0}));
  Send(BLK_ERASE, 0x200000, 0x10000);
  Write(0x200000, zeros);
  EXPECT_EQ(Read(0x200005, 1), std::vector<std::uint8_t>{0x10});
}

TEST_F(EmuFlash, TransientBitErrorReadsBackWrongOnce) {
  unit.AddTransientBitError(0x200001, 0x01);
  Write(0x200000, {0x10, 0x20});
  EXPECT_EQ(Read(0x200000, 2), (std::vector<std::uint8_t>{0x10, 0x21}));
  EXPECT_EQ(Read(0x200000, 2), (std::vector<std::uint8_t>{0x10, 0x20}));
  EXPECT_EQ(unit.ReadFlash(0x200001, 1), std::vector<std::uint8_t>{0x20});
}
}  // namespace
