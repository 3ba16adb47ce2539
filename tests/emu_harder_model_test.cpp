// The harder unit model, behaviour by behaviour: the boot stage's choice, flags in flash torn by a cut inside
// FINISH, cuts inside the unit's own erase and program work with unstable bits, the enumeration delay and the
// port that changes, late answers that stay in the IN pipe, and a power cut at a moment of the clock.

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "app/clock.h"
#include "app/message_poster.h"
#include "emu/boot_stage.h"
#include "emu/emulated_usb.h"
#include "support/emu_fixture.h"
#include "support/emu_host.h"
#include "support/emu_violations.h"
#include "support/fake_resources.h"
#include "support/trace_capture.h"
#include "usb/usb_fw_loader.h"

namespace {
constexpr std::optional<UnitSlot> COPY_1 = UnitSlot::Bootloader1;
constexpr std::optional<UnitSlot> COPY_2 = UnitSlot::Bootloader2;
constexpr std::optional<UnitSlot> NONE = std::nullopt;

TEST(BootStage, ChoosesByFlagAndByContent) {
  struct Case {
    BootRule rule;
    bool flag1, good1, flag2, good2;
    std::optional<UnitSlot> starts;
  };
  const Case cases[] = {
      // The plain unit: the first flagged copy.
      {BootRule::Flags, true, false, true, true, COPY_1},
      {BootRule::Flags, false, true, true, false, COPY_2},
      {BootRule::Flags, false, true, false, true, NONE},
      // Checked: a flagged copy whose content matches its seal, else the other copy by content.
      {BootRule::Checked, true, true, true, true, COPY_1},
      {BootRule::Checked, true, false, true, true, COPY_2},
      {BootRule::Checked, false, true, true, true, COPY_2},
      {BootRule::Checked, true, false, false, true, COPY_2},
      {BootRule::Checked, false, true, false, false, COPY_1},
      {BootRule::Checked, false, false, false, true, COPY_2},
      {BootRule::Checked, true, false, true, false, NONE},
      {BootRule::Checked, false, false, false, false, NONE},
      // The control: the first flagged copy, unchecked; damaged, it crashes.
      {BootRule::FlagOnly, true, true, true, true, COPY_1},
      {BootRule::FlagOnly, true, false, true, true, NONE},
      {BootRule::FlagOnly, false, false, true, true, COPY_2},
      {BootRule::FlagOnly, false, true, false, true, NONE},
  };
  for (const Case& c : cases) {
    BootQuestions ask;
    ask.flagSet = [&](UnitSlot s) { return s == UnitSlot::Bootloader1 ? c.flag1 : c.flag2; };
    ask.contentGood = [&](UnitSlot s) { return s == UnitSlot::Bootloader1 ? c.good1 : c.good2; };
    EXPECT_EQ(ChooseBootCopy(c.rule, ask), c.starts)
        << static_cast<int>(c.rule) << " " << c.flag1 << c.good1 << c.flag2 << c.good2;
  }
}

// A unit of the harder model on its own bus, opened by a bare host; the tests' requests go through it. Without
// unstable bits, enumeration delay or port change unless a test asks for them.
struct Bench {
  explicit Bench(UnitConfig config) : unit(bus.AddUnit(config)) { EXPECT_TRUE(host.Open()); }
  ~Bench() {
    host.Close();
    EXPECT_NO_USB_VIOLATIONS(bus);
    EXPECT_EQ(bus.OpenHandleCount(), 0u);
  }
  static UnitConfig Config() {
    UnitConfig config = HarderUnit();
    config.unstableCutBits = false;
    config.enumerationDelayMs = 0;
    config.newPortOnReturn = false;
    return config;
  }

  std::uint32_t Send(std::uint32_t id, std::uint32_t address = 0, std::uint32_t length = 0) {
    const EmuHost::Result result = host.Exchange(MakeRequest(id, address, length), 20000);
    return result.read ? result.answer.BlockID : 0;
  }
  std::uint32_t Write(std::uint32_t address, const std::vector<std::uint8_t>& data) {
    UsbBlock block = MakeRequest(BLK_WRITE, address, static_cast<std::uint32_t>(data.size()));
    std::memcpy(block.BlockData, data.data(), data.size());
    SealBlock(block);
    const EmuHost::Result result = host.Exchange(block);
    return result.read ? result.answer.BlockID : 0;
  }
  std::vector<std::uint8_t> Read(std::uint32_t address, std::uint32_t length) {
    const auto result = host.Exchange(MakeRequest(BLK_READ, address, length));
    return {result.answer.BlockData, result.answer.BlockData + length};
  }
  // START, then the erases and writes of an image at copy 1, all acknowledged; FINISH is the test's.
  void WriteCopy1(const std::vector<std::uint8_t>& image) {
    ASSERT_EQ(Send(BLK_START, 0x20000, static_cast<std::uint32_t>(image.size())), BLK_ACK);
    for (std::uint32_t offset = 0; offset < image.size(); offset += 256) {
      if (offset % UNIT_SECTOR_SIZE == 0) {
        ASSERT_EQ(Send(BLK_ERASE, 0x20000 + offset, 0x10000), BLK_ACK);
      }
      const auto end = std::min<std::size_t>(image.size(), offset + 256);
      ASSERT_EQ(Write(0x20000 + offset, {image.begin() + offset, image.begin() + end}), BLK_ACK);
    }
  }
  std::vector<bool> Flags() {
    return {unit.SlotFlag(UnitSlot::Application), unit.SlotFlag(UnitSlot::Bootloader1),
            unit.SlotFlag(UnitSlot::Bootloader2)};
  }
  // The power comes back (the host's handles are dead by then).
  void PowerBack() {
    host.Close();
    unit.PlugIn();
  }

  VirtualClock clock;
  EmulatedUsb bus{clock};
  EmulatedUnit& unit;
  EmuHost host{bus};
};

// FINISH seals the copy and then rewrites the flag sector; wherever a cut lands in that work, the boot stage
// finds a whole copy, and it is the new copy as soon as its seal is written.
TEST(HarderUnit, ACutInsideFinishNeverBricksTheCheckedUnit) {
  struct Case {
    std::uint32_t workDone;  // thousandths of FINISH's work: seal erase, seal program, flag erase, flag program
    std::vector<bool> flags;
    std::optional<UnitSlot> starts;
  };
  const Case cases[] = {
      {0, {true, false, true}, COPY_2},      // nothing done: copy 1's flag and seal were voided by START
      {400, {true, false, true}, COPY_2},    // the seal is being written: copy 1 not sealed yet
      {500, {true, false, true}, COPY_2},    // sealed; the flag sector is about to be erased
      {600, {false, false, false}, COPY_1},  // the flag sector partly erased: every flag lost, copy 1 by content
      {900, {true, false, false}, COPY_1},   // the flag words partly programmed: copy 1's and 2's flags lost
      {1000, {true, true, true}, COPY_1},    // all done, only the answer lost
  };
  const std::vector<std::uint8_t> image(70000, 0x3C);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.workDone);
    Bench bench(Bench::Config());
    bench.WriteCopy1(image);
    bench.unit.AddFault({.kind = FaultKind::PowerLoss, .value = FAULT_UNTIL_PLUGGED_IN, .workDone = c.workDone});
    EXPECT_EQ(bench.Send(BLK_FINISH, 0x20000, 70000), 0u);
    bench.PowerBack();
    EXPECT_FALSE(bench.unit.IsBricked());
    EXPECT_TRUE(bench.unit.IsPresent());
    EXPECT_EQ(bench.Flags(), c.flags);
    EXPECT_EQ(bench.unit.RunningCopy(), c.starts);
  }
}

// The same cut in the flag sector's erase bricks a unit that boots by flag alone; the control, whose flag stands
// over the copy being overwritten, is bricked by a cut anywhere in the copy's rewrite.
TEST(HarderUnit, WithoutTheContentCheckACutBricks) {
  const std::vector<std::uint8_t> image(70000, 0x3C);
  {
    UnitConfig config = Bench::Config();
    config.checkedBoot = false;
    Bench bench(config);
    bench.WriteCopy1(image);
    // FINISH's work: the flag sector's erase, the flag words' program. Copy 2's flag goes with the erase.
    bench.unit.AddFault({.kind = FaultKind::PowerLoss, .value = FAULT_UNTIL_PLUGGED_IN, .workDone = 200});
    EXPECT_EQ(bench.Send(BLK_FINISH, 0x20000, 70000), 0u);
    bench.PowerBack();
    EXPECT_TRUE(bench.unit.IsBricked());
    EXPECT_FALSE(bench.unit.IsPresent());
  }
  {
    UnitConfig config = Bench::Config();
    config.flagOnlyBoot = true;
    Bench bench(config);
    ASSERT_EQ(bench.Send(BLK_START, 0x20000, 70000), BLK_ACK);
    EXPECT_TRUE(bench.unit.SlotFlag(UnitSlot::Bootloader1)) << "the control's flag stands";
    ASSERT_EQ(bench.Send(BLK_ERASE, 0x20000, 0x10000), BLK_ACK);
    bench.unit.AddFault({.kind = FaultKind::PowerLoss, .value = FAULT_UNTIL_PLUGGED_IN});
    EXPECT_EQ(bench.Write(0x20000, std::vector<std::uint8_t>(256, 0)), 0u);
    bench.PowerBack();
    EXPECT_TRUE(bench.unit.IsBricked()) << "copy 1 is flagged over damaged content";
  }
}

// A cut inside an erase or a program leaves the bits it was changing unstable: they read differently from read
// to read, the flash does not hold what was meant, and the next erase settles them. The same seed gives the
// same reads.
TEST(HarderUnit, ACutInsideAnEraseOrAProgramLeavesUnstableBits) {
  struct Case {
    const char* name;
    std::uint32_t blockId;
    std::uint32_t address;  // of the first unstable byte
  };
  const Case cases[] = {{"erase", BLK_ERASE, 0x300000 + UNIT_SECTOR_SIZE / 4}, {"program", BLK_WRITE, 0x300000 + 64}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::vector<std::uint8_t>> reads[2];
    for (auto& seen : reads) {
      UnitConfig config = Bench::Config();
      config.unstableCutBits = true;
      config.randomSeed = 7;
      Bench bench(config);
      // A sector of zeros for the erase to set, and the application's flag already cleared (by a write into its
      // slot), so that the cut request's work is its erase or its program alone.
      const std::vector<std::uint8_t> zeros(256, 0);
      const std::vector<std::uint8_t> sector(UNIT_SECTOR_SIZE, 0);
      bench.unit.LoadFlash(0x300000, sector.data(), UNIT_SECTOR_SIZE);
      ASSERT_EQ(bench.Write(0x400000, zeros), BLK_ACK);
      if (c.blockId == BLK_WRITE) {
        ASSERT_EQ(bench.Send(BLK_ERASE, 0x300000, 0x10000), BLK_ACK);
      }
      bench.unit.AddFault({.kind = FaultKind::PowerLoss, .value = FAULT_UNTIL_PLUGGED_IN, .workDone = 250});
      if (c.blockId == BLK_ERASE) {
        EXPECT_EQ(bench.Send(BLK_ERASE, 0x300000, 0x10000), 0u);
      } else {
        EXPECT_EQ(bench.Write(0x300000, zeros), 0u);
      }
      bench.PowerBack();
      ASSERT_TRUE(bench.host.Open());
      EXPECT_GT(bench.unit.UnstableBytes(c.address, 16), 0u);
      EXPECT_EQ(bench.unit.UnstableBytes(0x300000, c.address - 0x300000), 0u) << "done before the cut";
      const std::vector<std::uint8_t> meant = c.blockId == BLK_ERASE ? std::vector<std::uint8_t>(16, 0xFF) : zeros;
      EXPECT_FALSE(bench.unit.FlashHolds(c.address, meant.data(), 16));
      bool differ = false;
      for (int i = 0; i < 8; ++i) {
        seen.push_back(bench.Read(c.address, 16));
        differ = differ || seen.back() != seen.front();
      }
      EXPECT_TRUE(differ) << "unstable bits read differently from read to read";
      ASSERT_EQ(bench.Send(BLK_ERASE, 0x300000, 0x10000), BLK_ACK);
      EXPECT_EQ(bench.unit.UnstableBytes(0x300000, UNIT_SECTOR_SIZE), 0u);
      EXPECT_EQ(bench.Read(c.address, 16), std::vector<std::uint8_t>(16, 0xFF));
    }
    EXPECT_EQ(reads[0], reads[1]) << "the same seed, the same reads";
  }
}

// After power comes back the unit starts, then appears only after the enumeration delay, on another port: its old
// device path opens nothing, and the host, which takes the first unit present, finds it all the same.
TEST(HarderUnit, ItComesBackLateOnAnotherPort) {
  UnitConfig config = Bench::Config();
  config.enumerationDelayMs = 1500;
  config.newPortOnReturn = true;
  Bench bench(config);
  const std::string path = bench.unit.DevicePath();
  const std::string location = bench.unit.Location();
  bench.unit.AddFault({.kind = FaultKind::PowerLoss, .value = 3000});
  EXPECT_EQ(bench.Send(BLK_PING), 0u);
  bench.host.Close();
  bench.clock.Advance(3000 + 1499);
  EXPECT_FALSE(bench.unit.IsPresent());
  EXPECT_FALSE(bench.unit.IsBricked()) << "started, not yet enumerated";
  EXPECT_FALSE(bench.host.Open());
  bench.clock.Advance(1);
  EXPECT_TRUE(bench.unit.IsPresent());
  EXPECT_NE(bench.unit.Location(), location);
  EXPECT_NE(bench.unit.DevicePath(), path);
  EXPECT_EQ(bench.bus.OpenDeviceFile(path.c_str()), UsbInvalidHandle());
  ASSERT_TRUE(bench.host.Open());
  EXPECT_EQ(bench.Send(BLK_GET_MODE), BLK_NAK);

  // A reset: away for resetOffBusMs, then the enumeration delay again, and another port.
  const std::string before = bench.unit.Location();
  EXPECT_EQ(bench.Send(BLK_RESET), BLK_ACK);
  bench.host.Close();
  bench.clock.Advance(bench.unit.Config().resetOffBusMs + 1499);
  EXPECT_FALSE(bench.unit.IsPresent());
  bench.clock.Advance(1);
  EXPECT_TRUE(bench.unit.IsPresent());
  EXPECT_NE(bench.unit.Location(), before);
}

// A late answer stays in the IN pipe: the next read gets it, whatever was asked since, also after the host closed
// and opened the unit again; only the unit's leaving the bus empties the pipe. Without the switch the unit drops
// the late request.
TEST(HarderUnit, ALateAnswerStaysInThePipeUntilTheUnitLeaves) {
  {
    Bench bench(Bench::Config());
    bench.unit.AddFault({.kind = FaultKind::SlowAnswer, .blockId = BLK_PING});
    EXPECT_FALSE(bench.host.Exchange(MakeRequest(BLK_PING)).read) << "1500 ms against a time limit of 1000 ms";
    EmuHost::Result mode = bench.host.Exchange(MakeRequest(BLK_GET_MODE));
    ASSERT_TRUE(mode.read);
    EXPECT_EQ(mode.answer.BlockID, BLK_ACK) << "the ping's answer";
    bench.host.Close();
    ASSERT_TRUE(bench.host.Open());
    const EmuHost::Result flags = bench.host.Exchange(MakeRequest(BLK_GET_FLAGS));
    EXPECT_EQ(flags.answer.BlockID, BLK_NAK) << "the mode query's answer, after closing and opening";
    EXPECT_EQ(bench.Send(BLK_RESET), BLK_ACK) << "the flags' answer";
    bench.host.Close();
    bench.clock.Advance(bench.unit.Config().resetOffBusMs);
    ASSERT_TRUE(bench.host.Open());
    EXPECT_EQ(bench.Send(BLK_GET_MODE), BLK_NAK) << "its own answer: the pipe emptied when the unit left";
  }
  {
    UnitConfig config = Bench::Config();
    config.lateAnswersStay = false;
    Bench bench(config);
    bench.unit.AddFault({.kind = FaultKind::SlowAnswer, .blockId = BLK_PING});
    EXPECT_FALSE(bench.host.Exchange(MakeRequest(BLK_PING)).read);
    EXPECT_EQ(bench.Send(BLK_GET_MODE), BLK_NAK) << "its own answer";
  }
}

// A power cut at a moment of the clock (in a pause of the host) takes effect then, even when nobody calls the unit
// until later; one that falls while the unit restarts after a reset makes it wait for the power.
TEST(HarderUnit, APowerCutAtAMomentOfTheClock) {
  Bench bench(Bench::Config());
  bench.unit.CutPowerAt(1000, 2000);
  bench.clock.Advance(999);
  EXPECT_TRUE(bench.unit.IsPresent());
  bench.clock.Advance(1);
  EXPECT_FALSE(bench.unit.IsPresent());
  EXPECT_EQ(bench.Send(BLK_PING), 0u) << "the handles died with the power";
  bench.clock.Advance(2000);
  EXPECT_TRUE(bench.unit.IsPresent());

  bench.host.Close();
  ASSERT_TRUE(bench.host.Open());
  EXPECT_EQ(bench.Send(BLK_RESET), BLK_ACK);
  bench.host.Close();
  bench.unit.CutPowerAt(bench.clock.NowMs() + 500, FAULT_UNTIL_PLUGGED_IN);
  bench.clock.Advance(60000);
  EXPECT_FALSE(bench.unit.IsPresent()) << "the restart was cut: the unit waits for the power";
  EXPECT_FALSE(bench.unit.IsBricked());
  bench.unit.PlugIn();
  EXPECT_TRUE(bench.unit.IsPresent());
}

// The real loader against late answers that stay: a step whose answer comes late anywhere fails (the answers
// that follow are each one behind), and never reports success.
TEST(HarderUnit, AStepWithALateAnswerFailsAndNeverReportsSuccess) {
  struct Case {
    std::uint32_t blockId;
    std::uint32_t skip;
    std::uint32_t lateMs;
  };
  const Case cases[] = {{BLK_START, 0, 1500}, {BLK_ERASE, 1, 20500}, {BLK_WRITE, 0, 1500}, {BLK_WRITE, 260, 1500},
                        {BLK_READ, 5, 1500},  {BLK_READ, 300, 1500}, {BLK_FINISH, 0, 1500}};
  std::vector<std::uint8_t> image(70000);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7 + 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "request " << c.blockId << " skip " << c.skip);
    TraceCapture trace;
    VirtualClock clock;
    EmulatedUsb usb(clock);
    EmulatedUnit& unit = usb.AddUnit(Bench::Config());
    PostedMessageQueue queue;
    FakeResources resources;
    resources.Add(IDR_BOOTLOADER_IMAGE, image);
    int window = 0;
    UsbFwLoader loader(DeviceLinkContext{&usb, &clock, &queue, &resources});
    loader.SetNotifyWindow(&window, 0, WM_UPDATE_NOTIFY);
    unit.AddFault({.kind = FaultKind::SlowAnswer, .blockId = c.blockId, .skip = c.skip, .value = c.lateMs});
    ASSERT_EQ(loader.UpdateFirmwareFromResource(IDR_BOOTLOADER_IMAGE, 0x20000), FWL_STARTED);
    ResultCode result = -1;
    while (result < 0) {
      if (const auto message = queue.TryTake(); message && message->lParam != FWL_PROGRESS) {
        result = static_cast<ResultCode>(message->lParam);
      } else {
        std::this_thread::yield();
      }
    }
    while (loader.busy.load() != 0) std::this_thread::yield();
    bool late = false;
    for (const ExchangeRecord& record : unit.Exchanges()) late = late || record.answerDelayUs >= c.lateMs * 1000u;
    EXPECT_TRUE(late) << "the fault did not fire";
    EXPECT_NE(result, FWL_OK);
    EXPECT_FALSE(unit.IsBricked());
    EXPECT_NO_USB_VIOLATIONS(usb);
  }
}
}  // namespace
