// The block exchange as the unit answers it: modes, answer contents, read timeouts, timing and the record.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/clock.h"
#include "emu/emulated_usb.h"
#include "image/image_tags.h"
#include "support/emu_fixture.h"
#include "support/emu_host.h"
#include "support/emu_violations.h"

namespace {
struct EmuExchange : EmuHostTest {};

// What each mode answers to each request: 1 ACK, 2 NAK, 0 no answer (the read times out).
TEST_F(EmuExchange, EachModeAnswersAsItShould) {
  struct Case {
    std::uint32_t id;
    std::uint32_t address;
    std::uint32_t length;
    std::uint32_t bootloader, application, oldApplication;
  };
  const Case cases[] = {
      {BLK_PING, 0, 0, BLK_ACK, BLK_ACK, 0},
      {BLK_GET_MODE, 0, 0, BLK_NAK, BLK_ACK, 0},
      {BLK_GET_VERSION, 0, 0, BLK_ACK, BLK_ACK, 0},
      {BLK_GET_FLAGS, 0, 0, BLK_ACK, BLK_ACK, 0},
      {BLK_GET_HWID, 0, 0, BLK_ACK, BLK_ACK, 0},
      {BLK_READ, 0x100000, 16, BLK_ACK, BLK_NAK, 0},
      {BLK_START, 0x100000, 1000, BLK_ACK, BLK_NAK, 0},
      {BLK_ERASE, 0x100000, 0x10000, BLK_ACK, BLK_NAK, 0},
      {BLK_RESET, 0, 0, BLK_ACK, BLK_ACK, 0},
  };
  for (UnitMode mode : {UnitMode::Bootloader, UnitMode::Application, UnitMode::OldApplication}) {
    for (const Case& c : cases) {
      VirtualClock caseClock;
      EmulatedUsb bus(caseClock);
      UnitConfig config;
      config.mode = mode;
      bus.AddUnit(config);
      EmuHost caseHost(bus);
      ASSERT_TRUE(caseHost.Open());
      const auto result = caseHost.Exchange(MakeRequest(c.id, c.address, c.length));
      const std::uint32_t expected = mode == UnitMode::Bootloader    ? c.bootloader
                                     : mode == UnitMode::Application ? c.application
                                                                     : c.oldApplication;
      SCOPED_TRACE("mode " + std::to_string(static_cast<int>(mode)) + ", request " + std::to_string(c.id));
      if (expected == 0) {
        EXPECT_FALSE(result.read);
        EXPECT_EQ(result.error, WIN_ERROR_SEM_TIMEOUT);
        EXPECT_EQ(caseClock.NowMs(), 1000u);
      } else {
        ASSERT_TRUE(result.read);
        EXPECT_EQ(result.answer.BlockID, expected);
        EXPECT_TRUE(HasValidCrc(result.answer));
      }
      caseHost.Close();
      EXPECT_NO_USB_VIOLATIONS(bus);
    }
  }
}

TEST_F(EmuExchange, ReadWithoutAnAnswerTimesOutAfterThePipesTimeout) {
  Attach();
  const std::uint32_t timeout = 1234;
  ASSERT_TRUE(usb.SetPipePolicy(host.Interface(), host.PipeIn(), USB_POLICY_PIPE_TRANSFER_TIMEOUT, 4, &timeout));
  UsbBlock answer{};
  std::uint32_t read = 99;
  EXPECT_FALSE(
      usb.ReadPipe(host.Interface(), host.PipeIn(), reinterpret_cast<std::uint8_t*>(&answer), sizeof answer, &read));
  EXPECT_EQ(usb.LastError(), WIN_ERROR_SEM_TIMEOUT);
  EXPECT_EQ(read, 0u);
  EXPECT_EQ(clock.NowMs(), 1234u);
}

TEST_F(EmuExchange, VersionAnswerComesFromTheTagsInTheSlots) {
  UnitConfig config;
  config.application.version = "1.2.3";
  config.bootloader1.version = "0.9";
  config.bootloader2.version = "0.8";
  EmulatedUnit& unit = Attach(config);
  const auto texts = [&] {
    const auto result = host.Exchange(MakeRequest(BLK_GET_VERSION));
    const char* app = reinterpret_cast<const char*>(result.answer.BlockData);
    return std::vector<std::string>{app, app + std::strlen(app) + 1};
  };
  EXPECT_EQ(texts(), (std::vector<std::string>{"1.2.3", "0.9"}));
  unit.SetSlotFlag(UnitSlot::Bootloader1, false);  // only a valid copy counts
  EXPECT_EQ(texts(), (std::vector<std::string>{"1.2.3", "0.8"}));
  unit.SetSlotFlag(UnitSlot::Bootloader2, false);
  EXPECT_EQ(texts(), (std::vector<std::string>{"1.2.3", ""}));
  EXPECT_EQ(unit.ApplicationVersion(), "1.2.3");

  // An image put into the slot, with its tag somewhere inside.
  std::vector<std::uint8_t> image(5000, 0x5A);
  const std::string tagged = std::string(APPLICATION_VERSION_TAG) + "001.005.019";
  std::memcpy(image.data() + 3000, tagged.c_str(), tagged.size() + 1);
  unit.LoadSlot(UnitSlot::Application, image.data(), static_cast<std::uint32_t>(image.size()));
  unit.SetSlotFlag(UnitSlot::Bootloader2, true);
  EXPECT_EQ(texts(), (std::vector<std::string>{"001.005.019", "0.8"}));
}

TEST_F(EmuExchange, FortyCharacterVersionTextIsAnsweredWhole) {
  UnitConfig config;
  config.application.version = std::string(40, '7');
  Attach(config);
  const auto result = host.Exchange(MakeRequest(BLK_GET_VERSION));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(result.answer.BlockData)), std::string(40, '7'));
}

TEST_F(EmuExchange, AnswerDataOverrideReplacesBlockData) {
  EmulatedUnit& unit = Attach();
  unit.OverrideAnswerData(BLK_GET_FLAGS, std::vector<std::uint8_t>{0, 5, 0});
  std::vector<std::uint8_t> noTerminator(256, 'x');
  unit.OverrideAnswerData(BLK_GET_VERSION, noTerminator);
  const auto flags = host.Exchange(MakeRequest(BLK_GET_FLAGS));
  EXPECT_EQ(flags.answer.BlockData[0], 0);
  EXPECT_EQ(flags.answer.BlockData[1], 5);
  EXPECT_EQ(flags.answer.BlockData[2], 0);
  const auto version = host.Exchange(MakeRequest(BLK_GET_VERSION));
  EXPECT_EQ(std::memcmp(version.answer.BlockData, noTerminator.data(), 256), 0);
  EXPECT_TRUE(HasValidCrc(version.answer));
  unit.OverrideAnswerData(BLK_GET_FLAGS, std::nullopt);
  EXPECT_EQ(host.Exchange(MakeRequest(BLK_GET_FLAGS)).answer.BlockData[1], 1);
}

TEST_F(EmuExchange, ReadAnswerRepeatsAddressAndLengthAndCarriesTheFlash) {
  EmulatedUnit& unit = Attach();
  const std::uint8_t bytes[] = {1, 2, 3, 4, 5};
  unit.LoadFlash(0x300010, bytes, sizeof bytes);
  const auto result = host.Exchange(MakeRequest(BLK_READ, 0x30000F, 7));
  ASSERT_EQ(result.answer.BlockID, BLK_ACK);
  EXPECT_EQ(result.answer.BlockAddress, 0x30000Fu);
  EXPECT_EQ(result.answer.BlockLength, 7u);
  const std::uint8_t expected[] = {0xFF, 1, 2, 3, 4, 5, 0xFF, 0};  // then zero beyond the length
  EXPECT_EQ(std::memcmp(result.answer.BlockData, expected, sizeof expected), 0);
}

TEST_F(EmuExchange, RecordsEveryExchangeUnlessSwitchedOff) {
  UnitConfig config;
  config.timing.exchangeUs = 1500;
  EmulatedUnit& unit = Attach(config);
  host.Exchange(MakeRequest(BLK_PING));
  unit.SetMode(UnitMode::OldApplication);
  host.Exchange(MakeRequest(BLK_GET_MODE));
  const auto records = unit.Exchanges();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].index, 0u);
  EXPECT_EQ(records[0].timeMs, 0u);
  EXPECT_EQ(records[0].request.BlockID, BLK_PING);
  EXPECT_TRUE(records[0].answered);
  EXPECT_EQ(records[0].answer.BlockID, BLK_ACK);
  EXPECT_EQ(records[0].answerLength, 272u);
  EXPECT_EQ(records[0].answerDelayUs, 1500u);
  EXPECT_EQ(records[1].index, 1u);
  EXPECT_EQ(records[1].timeMs, 1u);  // 1.5 ms: one whole millisecond passed, half a one carried
  EXPECT_FALSE(records[1].answered);

  unit.ClearExchanges();
  unit.SetRecording(false);
  unit.SetMode(UnitMode::Bootloader);
  host.Exchange(MakeRequest(BLK_PING));
  EXPECT_TRUE(unit.Exchanges().empty());
  EXPECT_EQ(unit.ExchangeCount(), 3u);
}

TEST_F(EmuExchange, TimingIsModelledOnTheClockAndSummed) {
  UnitConfig config;
  config.timing = {1000, 400000, 500, 20};
  EmulatedUnit& unit = Attach(config);
  host.Exchange(MakeRequest(BLK_ERASE, 0x100000, 0x10000), 20000);
  EXPECT_EQ(clock.NowMs(), 401u);
  UsbBlock write = MakeRequest(BLK_WRITE, 0x100000, 1);
  write.BlockData[0] = 0x12;
  SealBlock(write);
  host.Exchange(write);
  host.Exchange(MakeRequest(BLK_READ, 0x100000, 1));
  EXPECT_EQ(clock.NowMs(), 401u + 1u + 1u);  // 1.5 ms + 1.02 ms, the remainder carried
  EXPECT_EQ(unit.ModelledTimeUs(), 401000u + 1500u + 1020u);
}

// A clock whose sleeps last at least 16 ms, as short sleeps on a real clock may.
class CoarseClock final : public Clock {
 public:
  std::uint64_t NowMs() override { return now_; }
  void SleepMs(std::uint32_t ms) override { now_ += ms < 16 ? 16 : ms; }

 private:
  std::uint64_t now_ = 0;
};

// The unit waits only for time not already passed, and gathers short waits into longer ones when asked, so
// that modelled time and clock time agree even on a clock that oversleeps.
TEST(EmuTiming, ModelledTimeHoldsOnACoarseClock) {
  struct Case {
    std::uint32_t minimumWaitMs;
    std::uint64_t lowMs, highMs;
  };
  // Without gathering every 1 ms wait costs 16 ms; with it the clock stays within 16 ms of the model's 100 ms.
  for (const Case c : {Case{0, 1600, 1600}, Case{16, 84, 116}}) {
    CoarseClock clock;
    EmulatedUsb usb(clock);
    UnitConfig config;
    config.timing.exchangeUs = 1000;
    config.timing.minimumWaitMs = c.minimumWaitMs;
    usb.AddUnit(config);
    EmuHost host(usb);
    ASSERT_TRUE(host.Open());
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(host.Exchange(MakeRequest(BLK_PING)).read);
    EXPECT_GE(clock.NowMs(), c.lowMs);
    EXPECT_LE(clock.NowMs(), c.highMs);
    host.Close();
    EXPECT_NO_USB_VIOLATIONS(usb);
  }
}

TEST(EmuTiming, FractionsOfAMillisecondAreCarried) {
  VirtualClock clock;
  EmulatedUsb usb(clock);
  UnitConfig config;
  config.timing.exchangeUs = 1500;
  usb.AddUnit(config);
  EmuHost host(usb);
  ASSERT_TRUE(host.Open());
  host.Exchange(MakeRequest(BLK_PING));
  EXPECT_EQ(clock.NowMs(), 1u);  // 1.5 ms of which 1 waited; the half is made up by the next wait
  host.Exchange(MakeRequest(BLK_PING));
  EXPECT_EQ(clock.NowMs(), 3u);
  clock.Advance(10);  // the host was slow: the unit was idle meanwhile
  host.Exchange(MakeRequest(BLK_PING));
  EXPECT_EQ(clock.NowMs(), 14u);
}

// The full-speed profile makes an update of the shipped image sizes last about a minute: two bootloader
// copies and the application, each erased, written, read back block by block and verified.
TEST_F(EmuExchange, FullSpeedUpdateTakesAboutAMinute) {
  UnitConfig config;
  config.timing = UnitTiming::FullSpeed();
  config.recordExchanges = false;
  EmulatedUnit& unit = Attach(config);
  struct Step {
    std::uint32_t address;
    std::uint32_t size;
  };
  for (const Step step : {Step{0x20000, 156400}, Step{0x80000, 156400}, Step{0x100000, 2633516}}) {
    std::vector<std::uint8_t> image(step.size);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    ASSERT_TRUE(host.WriteImage(step.address, image.data(), step.size));
    // The read-backs of both passes: one read per block after each write, and one more per block.
    for (int pass = 0; pass < 2; ++pass) {
      for (std::uint32_t offset = 0; offset < step.size; offset += 256) {
        const std::uint32_t n = std::min<std::uint32_t>(256, step.size - offset);
        ASSERT_TRUE(host.Exchange(MakeRequest(BLK_READ, step.address + offset, n)).read);
      }
    }
    EXPECT_EQ(unit.ReadFlash(step.address, step.size), image);
  }
  EXPECT_TRUE(unit.SlotFlag(UnitSlot::Application));
  EXPECT_TRUE(unit.SlotFlag(UnitSlot::Bootloader1));
  EXPECT_TRUE(unit.SlotFlag(UnitSlot::Bootloader2));
  RecordProperty("modelled_ms", static_cast<int>(clock.NowMs()));
  RecordProperty("exchanges", static_cast<int>(unit.ExchangeCount()));
  EXPECT_GT(clock.NowMs(), 50000u);
  EXPECT_LT(clock.NowMs(), 70000u);
  EXPECT_NEAR(static_cast<double>(unit.ModelledTimeUs()) / 1000, static_cast<double>(clock.NowMs()), 1.0);
}
}  // namespace
