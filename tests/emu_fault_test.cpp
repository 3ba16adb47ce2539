// Faults on demand: what each kind does to an exchange, how faults are scheduled, and the exchange hook.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "app/clock.h"
#include "emu/emulated_usb.h"
#include "support/emu_fixture.h"
#include "support/emu_host.h"
#include "support/emu_violations.h"
#include "support/held_sleep_clock.h"

namespace {
struct EmuFault : EmuHostTest {
  EmulatedUnit& unit = usb.AddUnit();

  void SetUp() override {
    const std::uint8_t bytes[4] = {0x10, 0x20, 0x30, 0x40};
    unit.LoadFlash(0x200000, bytes, sizeof bytes);
    ASSERT_TRUE(host.Open());
  }
  EmuHost::Result Read4() { return host.Exchange(MakeRequest(BLK_READ, 0x200000, 4)); }
};

// Each fault that changes an answer, against the answer to READ 0x200000, 4.
TEST_F(EmuFault, AnswerFaultsChangeOnlyWhatTheyName) {
  struct Case {
    const char* name;
    std::optional<Fault> fault;
    bool read;
    std::uint32_t error, bytes, id, address, length;
    std::uint8_t data0;
    bool crcValid;
  };
  const Case cases[] = {
      {"none", std::nullopt, true, 0, 272, BLK_ACK, 0x200000, 4, 0x10, true},
      {"drop", Fault{.kind = FaultKind::DropAnswer}, false, WIN_ERROR_SEM_TIMEOUT, 0, 0, 0, 0, 0, false},
      {"bad crc", Fault{.kind = FaultKind::BadCrc}, true, 0, 272, BLK_ACK, 0x200000, 4, 0x10, false},
      {"wrong id", Fault{.kind = FaultKind::WrongId}, true, 0, 272, BLK_NAK, 0x200000, 4, 0x10, true},
      {"id 3", Fault{.kind = FaultKind::WrongId, .value = 3}, true, 0, 272, 3, 0x200000, 4, 0x10, true},
      {"address", Fault{.kind = FaultKind::WrongAddress}, true, 0, 272, BLK_ACK, 0x200100, 4, 0x10, true},
      {"length", Fault{.kind = FaultKind::WrongLength, .value = 6}, true, 0, 272, BLK_ACK, 0x200000, 2, 0x10, true},
      {"data", Fault{.kind = FaultKind::WrongData, .mask = 0x01}, true, 0, 272, BLK_ACK, 0x200000, 4, 0x11, true},
      {"short", Fault{.kind = FaultKind::ShortRead, .value = 12}, true, 0, 12, BLK_ACK, 0x200000, 4, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unit.ClearFaults();
    if (c.fault) unit.AddFault(*c.fault);
    const std::uint64_t before = clock.NowMs();
    const EmuHost::Result result = Read4();
    EXPECT_EQ(result.read, c.read);
    EXPECT_EQ(result.error, c.error);
    EXPECT_EQ(result.bytesRead, c.bytes);
    if (!c.read) {
      EXPECT_EQ(clock.NowMs() - before, 1000u);  // the read waited out its timeout
      continue;
    }
    EXPECT_EQ(result.answer.BlockID, c.id);
    EXPECT_EQ(result.answer.BlockAddress, c.address);
    EXPECT_EQ(result.answer.BlockLength, c.length);
    if (c.bytes == 272) {
      EXPECT_EQ(result.answer.BlockData[0], c.data0);
    }
    EXPECT_EQ(HasValidCrc(result.answer), c.crcValid);
    // Each fired once: the next answer is clean.
    EXPECT_TRUE(HasValidCrc(Read4().answer));
  }
}

TEST_F(EmuFault, ScheduledByExchangeNumberKindSkipAndTimes) {
  // The third READ and the one after it, then no more.
  unit.AddFault({.kind = FaultKind::BadCrc, .blockId = BLK_READ, .skip = 2, .times = 2});
  // Exchange 1, whatever it is.
  unit.AddFault({.kind = FaultKind::WrongId, .exchange = 1, .value = 3});
  std::vector<std::uint32_t> ids;
  std::vector<bool> crcs;
  for (int i = 0; i < 6; ++i) {
    const auto result = i == 1 ? host.Exchange(MakeRequest(BLK_PING)) : Read4();
    ids.push_back(result.answer.BlockID);
    crcs.push_back(HasValidCrc(result.answer));
  }
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 3, 1, 1, 1, 1}));
  EXPECT_EQ(crcs, (std::vector<bool>{true, true, true, false, false, true}));
}

TEST_F(EmuFault, FaultWithTimesZeroFiresEveryTime) {
  unit.AddFault({.kind = FaultKind::DropAnswer, .blockId = BLK_GET_HWID, .times = 0});
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(host.Exchange(MakeRequest(BLK_GET_HWID)).read);
  EXPECT_TRUE(host.Exchange(MakeRequest(BLK_PING)).read);
}

TEST_F(EmuFault, SlowEraseOutlastsTheTwentySecondTimeout) {
  unit.AddFault({.kind = FaultKind::SlowErase, .value = 25000});
  const auto erase = host.Exchange(MakeRequest(BLK_ERASE, 0x200000, 0x10000), 20000);
  EXPECT_FALSE(erase.read);
  EXPECT_EQ(erase.error, WIN_ERROR_SEM_TIMEOUT);
  EXPECT_EQ(clock.NowMs(), 20000u);
  EXPECT_EQ(unit.ReadFlash(0x200000, 1), std::vector<std::uint8_t>{0xFF});  // it did erase, late
  // The late answer is lost and the unit has dropped that request: the next exchange gets its own answer.
  EXPECT_EQ(host.Exchange(MakeRequest(BLK_GET_MODE)).answer.BlockID, BLK_NAK);
  EXPECT_EQ(clock.NowMs(), 20000u);
  // A slow erase within the timeout is answered, late.
  unit.AddFault({.kind = FaultKind::SlowErase, .value = 19000});
  EXPECT_EQ(host.Exchange(MakeRequest(BLK_ERASE, 0x200000, 0x10000), 20000).answer.BlockID, BLK_ACK);
  EXPECT_EQ(clock.NowMs(), 39000u);
}

// A read waiting for a slow erase's answer is in flight: aborting its pipe from another thread ends it at once.
TEST(EmuAbort, AbortingThePipeEndsAReadInFlightAtOnce) {
  HeldSleepClock clock;
  EmulatedUsb usb{clock};
  EmulatedUnit& unit = usb.AddUnit();
  EmuHost host{usb};
  ASSERT_TRUE(host.Open());
  unit.AddFault({.kind = FaultKind::SlowErase, .value = 25000});

  EmuHost::Result erase;
  std::thread updater([&] { erase = host.Exchange(MakeRequest(BLK_ERASE, 0x200000, 0x10000), 20000); });
  ASSERT_TRUE(clock.WaitForHeldSleep());
  EXPECT_TRUE(usb.AbortPipe(host.Interface(), host.PipeOut()));  // nothing in flight there
  EXPECT_TRUE(usb.AbortPipe(host.Interface(), host.PipeIn()));
  updater.join();

  EXPECT_TRUE(erase.written);
  EXPECT_FALSE(erase.read);
  EXPECT_EQ(erase.error, WIN_ERROR_OPERATION_ABORTED);
  EXPECT_EQ(clock.NowMs(), 0u);
  // The unit dropped the request with the host: the next one is answered at once, and by its own answer.
  const auto mode = host.Exchange(MakeRequest(BLK_GET_MODE));
  EXPECT_EQ(mode.answer.BlockID, BLK_NAK);
  EXPECT_EQ(clock.NowMs(), 0u);
  host.Close();
  EXPECT_NO_USB_VIOLATIONS(usb);
  EXPECT_EQ(usb.OpenHandleCount(), 0u);
}

// The host may abort its pipes between its write and its read (a loader torn down mid-exchange): with no read in
// flight, the answer waiting in the unit's endpoint stays and the read that follows takes it at once.
TEST(EmuAbort, AnAbortWithNoReadInFlightLeavesTheWaitingAnswer) {
  VirtualClock clock;
  EmulatedUsb usb{clock};
  usb.AddUnit();
  EmuHost host{usb};
  ASSERT_TRUE(host.Open());
  const UsbBlock request = MakeRequest(BLK_GET_MODE);
  ASSERT_TRUE(host.WriteRaw(&request, sizeof request));
  EXPECT_TRUE(usb.AbortPipe(host.Interface(), host.PipeIn()));

  const std::uint32_t timeoutMs = 1000;
  UsbBlock answer{};
  std::uint32_t transferred = 0;
  ASSERT_TRUE(usb.SetPipePolicy(host.Interface(), host.PipeIn(), USB_POLICY_PIPE_TRANSFER_TIMEOUT, sizeof timeoutMs,
                                &timeoutMs));
  EXPECT_TRUE(usb.ReadPipe(host.Interface(), host.PipeIn(), reinterpret_cast<std::uint8_t*>(&answer), sizeof answer,
                           &transferred));
  EXPECT_EQ(answer.BlockID, BLK_NAK);
  EXPECT_EQ(clock.NowMs(), 0u);
  host.Close();
  EXPECT_NO_USB_VIOLATIONS(usb);
}

TEST_F(EmuFault, TransientBitErrorOnAWriteReadsBackWrongOnce) {
  unit.AddFault({.kind = FaultKind::TransientBitError, .blockId = BLK_WRITE, .value = 2, .mask = 0x80});
  host.Exchange(MakeRequest(BLK_ERASE, 0x300000, 0x10000), 20000);
  UsbBlock write = MakeRequest(BLK_WRITE, 0x300000, 4);
  std::memset(write.BlockData, 0x00, 4);
  SealBlock(write);
  host.Exchange(write);
  const auto first = host.Exchange(MakeRequest(BLK_READ, 0x300000, 4));
  EXPECT_EQ(std::vector<std::uint8_t>(first.answer.BlockData, first.answer.BlockData + 4),
            (std::vector<std::uint8_t>{0, 0, 0x80, 0}));
  const auto second = host.Exchange(MakeRequest(BLK_READ, 0x300000, 4));
  EXPECT_EQ(second.answer.BlockData[2], 0);
}

TEST_F(EmuFault, StuckBitOnAWriteStaysSetAcrossErases) {
  unit.AddFault({.kind = FaultKind::StuckBit, .blockId = BLK_WRITE, .value = 1, .mask = 0x04});
  for (int attempt = 0; attempt < 3; ++attempt) {
    host.Exchange(MakeRequest(BLK_ERASE, 0x300000, 0x10000), 20000);
    UsbBlock write = MakeRequest(BLK_WRITE, 0x300000, 2);
    SealBlock(write);
    host.Exchange(write);
    EXPECT_EQ(host.Exchange(MakeRequest(BLK_READ, 0x300000, 2)).answer.BlockData[1], 0x04);
  }
}

TEST_F(EmuFault, HookSeesEveryRequestBeforeItIsCarriedOut) {
  std::vector<std::pair<std::uint32_t, std::uint64_t>> seen;
  unit.SetExchangeHook([&](const UsbBlock& request, std::uint64_t index) {
    seen.emplace_back(request.BlockID, index);
    // The hook may poke the unit: this very exchange loses its answer.
    if (index == 1) unit.AddFault({.kind = FaultKind::DropAnswer, .exchange = 1});
  });
  EXPECT_TRUE(host.Exchange(MakeRequest(BLK_PING)).read);
  EXPECT_FALSE(host.Exchange(MakeRequest(BLK_GET_MODE)).read);
  EXPECT_TRUE(Read4().read);
  EXPECT_EQ(seen, (std::vector<std::pair<std::uint32_t, std::uint64_t>>{{3, 0}, {4, 1}, {9, 2}}));
  unit.SetExchangeHook(nullptr);
  host.Exchange(MakeRequest(BLK_PING));
  EXPECT_EQ(seen.size(), 3u);
}

// One updater thread exchanging while a test thread adds faults and reads the record (run under TSan).
TEST_F(EmuFault, TestThreadMayPokeFaultsWhileExchangesRun) {
  std::atomic<bool> done{false};
  std::thread poker([&] {
    while (!done.load()) {
      unit.AddFault({.kind = FaultKind::WrongData, .blockId = BLK_READ});
      (void)unit.Exchanges().size();
      (void)unit.SlotFlag(UnitSlot::Application);
      std::this_thread::yield();
    }
  });
  for (int i = 0; i < 300; ++i) EXPECT_TRUE(Read4().read);
  done = true;
  poker.join();
}
}  // namespace
