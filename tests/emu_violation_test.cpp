// The unit checks every request it receives and reports each violation; a malformed block is refused.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/clock.h"
#include "emu/emulated_usb.h"
#include "support/emu_host.h"
#include "support/emu_violations.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {
struct EmuViolation : ::testing::Test {
  VirtualClock clock;
  EmulatedUsb usb{clock};
  EmulatedUnit& unit = usb.AddUnit();
  EmuHost host{usb};

  void SetUp() override {
    unit.SetViolationsExpected(true);
    ASSERT_TRUE(host.Open());
  }
  void TearDown() override { host.Close(); }

  static UsbBlock Block(std::uint32_t id, std::uint32_t address, std::uint32_t length,
                        const std::function<void(UsbBlock&)>& change = nullptr) {
    UsbBlock block = MakeRequest(id, address, length);
    if (change) change(block);
    SealBlock(block);
    return block;
  }
};

TEST_F(EmuViolation, MalformedBlocksAreReportedAndRefused) {
  struct Case {
    const char* name;
    UsbBlock block;
    const char* text;
  };
  const auto dataByte = [](std::size_t i) { return [i](UsbBlock& b) { b.BlockData[i] = 1; }; };
  UsbBlock badCrc = MakeRequest(BLK_PING);
  badCrc.BlockCRC ^= 1;
  const std::uint32_t end = UNIT_DEFAULT_FLASH_SIZE;
  const Case cases[] = {
      {"crc", badCrc, "BLK_PING: BlockCRC is 0x"},
      {"id 0", Block(0, 0, 0), "id 0: BlockID 0 is no request"},
      {"ack", Block(BLK_ACK, 0, 0), "BLK_ACK: BlockID 1 is no request"},
      {"nak", Block(BLK_NAK, 0, 0), "BLK_NAK: BlockID 2 is no request"},
      {"id 5", Block(5, 0, 0), "id 5: BlockID 5 is no request"},
      {"id 15", Block(15, 0, 0), "id 15: BlockID 15 is no request"},
      {"ping address", Block(BLK_PING, 4, 0), "BLK_PING: BlockAddress 0x00000004 and BlockLength 0 must both be 0"},
      {"version length", Block(BLK_GET_VERSION, 0, 1), "BLK_GET_VERSION: BlockAddress 0x00000000 and BlockLength 1"},
      {"flags data", Block(BLK_GET_FLAGS, 0, 0, dataByte(255)),
       "BLK_GET_FLAGS: BlockData byte 255 is 0x01, not 0 (the request carries 0 data bytes)"},
      {"write tail", Block(BLK_WRITE, 0x200000, 100, dataByte(100)),
       "BLK_WRITE: BlockData byte 100 is 0x01, not 0 (the request carries 100 data bytes)"},
      {"read data", Block(BLK_READ, 0x200000, 4, dataByte(0)), "BLK_READ: BlockData byte 0 is 0x01"},
      {"erase data", Block(BLK_ERASE, 0x200000, 1, dataByte(7)), "BLK_ERASE: BlockData byte 7 is 0x01"},
      {"erase aligned", Block(BLK_ERASE, 0x200100, 0x100), "BLK_ERASE: BlockAddress 0x00200100 is not 64 KiB-aligned"},
      {"erase empty", Block(BLK_ERASE, 0x200000, 0), "BLK_ERASE: BlockLength 0 is not 1 to 65536"},
      {"erase long", Block(BLK_ERASE, 0x200000, 0x10001), "BLK_ERASE: BlockLength 65537 is not 1 to 65536"},
      {"erase outside", Block(BLK_ERASE, end, 1), "BLK_ERASE: 0x00800000 + 1 lies outside the flash"},
      {"write empty", Block(BLK_WRITE, 0x200000, 0), "BLK_WRITE: BlockLength 0 is not 1 to 256"},
      {"write long", Block(BLK_WRITE, 0x200000, 257), "BLK_WRITE: BlockLength 257 is not 1 to 256"},
      {"write outside", Block(BLK_WRITE, end - 1, 2), "BLK_WRITE: 0x007fffff + 2 lies outside the flash"},
      {"read empty", Block(BLK_READ, 0x200000, 0), "BLK_READ: BlockLength 0 is not 1 to 256"},
      {"read outside", Block(BLK_READ, 0xFFFFFF00, 256), "BLK_READ: 0xffffff00 + 256 lies outside the flash"},
      {"start empty", Block(BLK_START, 0x100000, 0), "BLK_START: image of 0 bytes at 0x00100000 does not fit"},
      {"finish outside", Block(BLK_FINISH, 0x100000, end), "BLK_FINISH: image of 8388608 bytes at 0x00100000"},
      {"reset outside", Block(BLK_RESET, end, 1), "BLK_RESET: image of 1 bytes at 0x00800000 does not fit"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualClock caseClock;
    EmulatedUsb bus(caseClock);
    EmulatedUnit& u = bus.AddUnit();
    u.SetViolationsExpected(true);
    EmuHost h(bus);
    ASSERT_TRUE(h.Open());
    const auto result = h.Exchange(c.block);
    ASSERT_TRUE(result.read);
    EXPECT_EQ(result.answer.BlockID, BLK_NAK);  // refused, not carried out
    EXPECT_THAT(u.Violations(), ElementsAre(HasSubstr(std::string("unit 1: exchange 0: ") + c.text)));
    EXPECT_TRUE(u.SlotFlag(UnitSlot::Application));
    h.Close();
  }
}

TEST_F(EmuViolation, ReportsTheWholeText) {
  host.Exchange(Block(BLK_ERASE, 0x30000, 0x10000, [](UsbBlock& b) { b.BlockAddress = 0x30010; }));
  EXPECT_THAT(unit.Violations(), ElementsAre("unit 1: exchange 0: BLK_ERASE: BlockAddress 0x00030010 is not 64 "
                                             "KiB-aligned"));
  EXPECT_THAT(usb.Violations(), unit.Violations());
  unit.ClearViolations();
  EXPECT_TRUE(usb.Violations().empty());
}

TEST_F(EmuViolation, BlocksOfAnyOtherSizeAreReportedAndIgnored) {
  const UsbBlock ping = MakeRequest(BLK_PING);
  for (std::uint32_t length : {271u, 273u, 0u}) {
    unit.ClearViolations();
    std::vector<std::uint8_t> bytes(length + 1, 0);
    std::memcpy(bytes.data(), &ping, std::min<std::size_t>(length, sizeof ping));
    ASSERT_TRUE(host.WriteRaw(bytes.data(), length));
    EXPECT_THAT(unit.Violations(), ElementsAre("unit 1: exchange " + std::to_string(unit.ExchangeCount() - 1) + ": " +
                                               std::to_string(length) + " bytes written, a request is 272 bytes"));
  }
  std::uint32_t timeout = 1000;
  usb.SetPipePolicy(host.Interface(), host.PipeIn(), USB_POLICY_PIPE_TRANSFER_TIMEOUT, 4, &timeout);
  UsbBlock answer{};
  std::uint32_t read = 0;
  EXPECT_FALSE(usb.ReadPipe(host.Interface(), host.PipeIn(), reinterpret_cast<std::uint8_t*>(&answer), 272, &read));
}

TEST_F(EmuViolation, OutTimeoutMustBeSetTo1000BeforeEachWrite) {
  const UsbBlock ping = MakeRequest(BLK_PING);
  std::uint32_t transferred = 0;
  std::uint32_t timeout = 1000;
  const auto write = [&] {
    usb.WritePipe(host.Interface(), host.PipeOut(), reinterpret_cast<const std::uint8_t*>(&ping), 272, &transferred);
    usb.SetPipePolicy(host.Interface(), host.PipeIn(), USB_POLICY_PIPE_TRANSFER_TIMEOUT, 4, &timeout);
    UsbBlock answer{};
    usb.ReadPipe(host.Interface(), host.PipeIn(), reinterpret_cast<std::uint8_t*>(&answer), 272, &transferred);
  };
  write();  // never set
  usb.SetPipePolicy(host.Interface(), host.PipeOut(), USB_POLICY_PIPE_TRANSFER_TIMEOUT, 4, &timeout);
  write();  // set: fine
  write();  // set before the previous write only
  timeout = 999;
  usb.SetPipePolicy(host.Interface(), host.PipeOut(), USB_POLICY_PIPE_TRANSFER_TIMEOUT, 4, &timeout);
  timeout = 1000;
  write();  // set to another value
  EXPECT_THAT(unit.Violations(),
              ElementsAre("unit 1: exchange 0: the OUT pipe's transfer timeout was not set to 1000 ms before the "
                          "write (left at 0 ms)",
                          "unit 1: exchange 2: the OUT pipe's transfer timeout was not set to 1000 ms before the "
                          "write (left at 1000 ms)",
                          "unit 1: exchange 3: the OUT pipe's transfer timeout was not set to 1000 ms before the "
                          "write (set to 999 ms)"));
}

TEST_F(EmuViolation, InTimeoutMustBeSetBeforeEachRead) {
  ASSERT_TRUE(host.WriteRaw(&static_cast<const UsbBlock&>(MakeRequest(BLK_PING)), 272));
  UsbBlock answer{};
  std::uint32_t read = 0;
  EXPECT_TRUE(usb.ReadPipe(host.Interface(), host.PipeIn(), reinterpret_cast<std::uint8_t*>(&answer), 272, &read));
  EXPECT_EQ(answer.BlockID, BLK_ACK);
  // Nothing pending and no timeout: the read would wait forever; it fails at once instead.
  EXPECT_FALSE(usb.ReadPipe(host.Interface(), host.PipeIn(), reinterpret_cast<std::uint8_t*>(&answer), 272, &read));
  EXPECT_EQ(usb.LastError(), WIN_ERROR_SEM_TIMEOUT);
  EXPECT_EQ(clock.NowMs(), 0u);
  EXPECT_THAT(unit.Violations(), ElementsAre("unit 1: the IN pipe's transfer timeout was not set before the read",
                                             "unit 1: the IN pipe's transfer timeout was not set before the read",
                                             "unit 1: a read without a transfer timeout while no answer is coming"));
}

TEST_F(EmuViolation, RequestBeforeTheAnswerWasReadAndReadsOfAnotherSize) {
  const UsbBlock ping = MakeRequest(BLK_PING);
  ASSERT_TRUE(host.WriteRaw(&ping, 272));
  ASSERT_TRUE(host.Exchange(MakeRequest(BLK_GET_MODE)).read);
  std::uint32_t timeout = 1000;
  usb.SetPipePolicy(host.Interface(), host.PipeIn(), USB_POLICY_PIPE_TRANSFER_TIMEOUT, 4, &timeout);
  ASSERT_TRUE(host.WriteRaw(&ping, 272));
  std::uint8_t big[300] = {};
  std::uint32_t read = 0;
  EXPECT_TRUE(usb.ReadPipe(host.Interface(), host.PipeIn(), big, sizeof big, &read));
  EXPECT_EQ(read, 272u);
  EXPECT_THAT(unit.Violations(),
              ElementsAre("unit 1: exchange 1: a request was written while the answer to exchange 0 was not read",
                          "unit 1: a read of 300 bytes; an answer is 272 bytes"));
}

TEST_F(EmuViolation, TransfersOnPipesTheUnitLacksAreMisuse) {
  usb.SetViolationsExpected(true);
  const UsbBlock ping = MakeRequest(BLK_PING);
  std::uint32_t transferred = 0;
  EXPECT_FALSE(usb.WritePipe(host.Interface(), 0x81, reinterpret_cast<const std::uint8_t*>(&ping), 272, &transferred));
  EXPECT_EQ(usb.LastError(), WIN_ERROR_INVALID_PARAMETER);
  UsbBlock answer{};
  EXPECT_FALSE(usb.ReadPipe(host.Interface(), 0x01, reinterpret_cast<std::uint8_t*>(&answer), 272, &transferred));
  EXPECT_THAT(usb.Violations(), ElementsAre("bus: WritePipe on pipe 0x81, which is no OUT endpoint of the unit",
                                            "bus: ReadPipe on pipe 0x01, which is no IN endpoint of the unit"));
  // An abort of pipe 0 (a port that never found its pipe) fails quietly.
  EXPECT_FALSE(usb.AbortPipe(host.Interface(), 0));
  EXPECT_EQ(usb.Violations().size(), 2u);
}

TEST_F(EmuViolation, WellFormedUpdateHasNone) {
  std::vector<std::uint8_t> image(70000, 0x42);
  EXPECT_TRUE(host.WriteImage(0x100000, image.data(), static_cast<std::uint32_t>(image.size())));
  EXPECT_TRUE(usb.Violations().empty());
}

#if GTEST_HAS_DEATH_TEST
TEST(EmuViolationDeathTest, StrictModeAbortsAtTheFirstViolation) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        VirtualClock clock;
        EmulatedUsb usb(clock);
        UnitConfig config;
        config.strict = true;
        usb.AddUnit(config);
        EmuHost host(usb);
        host.Open();
        host.Exchange(MakeRequest(BLK_PING, 1, 0));
      },
      "request violation: unit 1: exchange 0: BLK_PING: BlockAddress 0x00000001");
}
#endif
}  // namespace
