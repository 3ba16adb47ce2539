// The update sequencer against the emulated unit and the real loader, on a virtual clock, with a fake progress
// view. The loader's notifications go through a lock-step queue that the test pumps into the controller, so
// every bar position and status line is the one of the moment of posting; timers are fired by the test after
// the virtual clock has been moved by their interval.

#include "ui/update_controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/clock.h"
#include "emu/emulated_usb.h"
#include "image/firmware_image.h"
#include "support/emu_violations.h"
#include "support/fake_progress_view.h"
#include "support/lockstep_poster.h"
#include "support/recording_keep_awake.h"
#include "support/trace_capture.h"
#include "tools/image_check.h"
#include "ui/resource_ids.h"
#include "usb/usb_fw_loader.h"

// Puts a session into a step and stage, as its update would have brought it there.
struct UpdateSessionProbe {
  static void Set(UpdateSession& session, UpdateStep step, UpdateStage stage) {
    session.step_ = step;
    session.stage_ = stage;
  }
};

namespace {

// The session's events as the window adapter would turn them into status lines and bar positions.
class RecordingUpdateView final : public UpdateView {
 public:
  void StageEntered(UpdateStage stage, UpdateStep step) override {
    if (StageLine(stage, step) != 0) lines.push_back(StageLine(stage, step));
  }
  void StepStarted(const StepStart&) override {}
  void ProgressMoved(const UpdateProgress& progress) override { bar.push_back(progress.barPosition); }
  void PauseStarted(UpdateStep, std::uint32_t) override {}
  bool Ask(UpdateQuestion) override {
    ++questions;
    return true;
  }
  void StepNotStarted(ResultCode) override {}
  void Ended(const UpdateEnd&) override {}

  std::vector<std::uint16_t> lines;
  std::vector<std::uint32_t> bar;
  int questions = 0;
};

constexpr int IDOK_ANSWER = 1;
constexpr int IDYES_ANSWER = 6;
constexpr int IDNO_ANSWER = 7;

class UpdateControllerTest : public ::testing::Test {
 protected:
  UpdateControllerTest() { EXPECT_NE(ScanFirmwareImage(IDR_APPLICATION_IMAGE, image, ProgramResources()), 0); }
  ~UpdateControllerTest() override {
    // Every road that ends the update lets the PC sleep again.
    if (!view.IsOpen()) {
      EXPECT_FALSE(awake.held) << "the update is over, yet the PC is kept awake";
    }
    // A worker still running at the end is let go; the loader's destruction then stops it.
    poster.Release();
  }

  EmulatedUnit& AddUnit(const UnitConfig& config = {}) { return usb.AddUnit(config); }

  int Open() { return controller.OpenProgressWindow(parent, &loader, &image); }

  // Hands the next notification to the window (dropped if the window is gone).
  PostedMessage PumpOne() {
    const std::optional<PostedMessage> message = poster.Take();
    if (!message) {
      ADD_FAILURE() << "no notification came";
      return {};
    }
    view.Deliver(*message);
    poster.Done();
    return *message;
  }

  // Pumps until the running step's result has been handled and its worker has ended; returns the result.
  ResultCode FinishStep() {
    for (;;) {
      const std::optional<PostedMessage> message = poster.Take();
      if (!message) {
        ADD_FAILURE() << "the step posted no result";
        return -1;
      }
      view.Deliver(*message);
      poster.Done();
      if (message->message == WM_UPDATE_NOTIFY && message->lParam != FWL_PROGRESS) {
        WaitUntilIdle();
        return static_cast<ResultCode>(message->lParam);
      }
    }
  }

  // The worker clears busy right after its result has been handled.
  void WaitUntilIdle() {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (loader.busy.load() != 0 && std::chrono::steady_clock::now() < limit) std::this_thread::yield();
    ASSERT_EQ(loader.busy.load(), 0u) << "the worker did not end";
  }

  // The wait between two steps: the armed timer's interval passes, then it fires.
  void PassStepPause(UpdateStep next) {
    ASSERT_EQ(view.timers.count(next), 1u) << "no timer " << next;
    EXPECT_EQ(view.timers[next], 5000u);
    clock.Advance(view.timers[next]);
    EXPECT_TRUE(view.FireTimer(next));
    EXPECT_EQ(view.timers.count(next), 0u) << "a fired timer is killed, or it would start its step again";
  }

  // A whole successful update from "Update!" to the closed window; returns the steps run, in order.
  std::vector<UpdateStep> RunWholeUpdate() {
    std::vector<UpdateStep> steps;
    EXPECT_EQ(Open(), 1);
    for (int i = 0; i < 3 && view.IsOpen(); ++i) {
      steps.push_back(controller.Step());
      barAtStepStart.push_back(view.bar.size());
      EXPECT_EQ(FinishStep(), FWL_OK);
      if (i < 2) PassStepPause(UPDATE_STEP_TABLE[controller.Step()].nextStep);
    }
    return steps;
  }

  void Cancel() { view.AskCancel(); }

  // Requests of these kinds that the unit received.
  std::size_t Requests(std::uint32_t blockId) {
    std::size_t count = 0;
    for (const ExchangeRecord& record : usb.Unit(0).Exchanges()) count += record.request.BlockID == blockId;
    return count;
  }

  // The status lines, bar and boxes of a start that was refused: nothing shown, window gone, parent back.
  void ExpectRefused(int opened, std::uint16_t text, std::uint16_t caption, std::uint32_t style) {
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(controller.progressWindow, nullptr);
    EXPECT_FALSE(view.IsOpen());
    EXPECT_EQ(view.windowsCreated, 1);
    EXPECT_EQ(std::count(view.events.begin(), view.events.end(), "show"), 0);
    EXPECT_TRUE(view.lines.empty());
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0], (FakeBox{reinterpret_cast<WindowRef>(0x1001), text, caption, style}));
    EXPECT_TRUE(view.parentEnabled);
    EXPECT_GE(view.foregrounds, 1);
  }

  TraceCapture trace;  // the loader's lines, kept off the test output
  VirtualClock clock;
  EmulatedUsb usb{clock};
  LockstepPoster poster;
  UsbFwLoader loader{DeviceLinkContext{&usb, &clock, &poster, &ProgramResources()}};
  FakeProgressView view;
  RecordingKeepAwake awake;
  UpdateController controller{view, &awake};
  FirmwareImageInfo image{};
  WindowRef parent = reinterpret_cast<WindowRef>(0x77);
  std::vector<std::size_t> barAtStepStart;
};

std::vector<std::uint32_t> Slice(const std::vector<std::uint32_t>& v, std::size_t from, std::size_t to) {
  return {v.begin() + static_cast<std::ptrdiff_t>(from), v.begin() + static_cast<std::ptrdiff_t>(to)};
}

// The bar in a bootloader step of 156,400 bytes: programming reports 0, 41, 83, 100, verification 0 to 100 by 5.
std::vector<std::uint32_t> BootloaderStepBar(std::uint32_t base) {
  std::vector<std::uint32_t> bar = {base + 0, base + 3, base + 6, base + 8};
  bar.insert(bar.end(), 10, base + 8);  // verification 0..45: 80..89 % of the step
  bar.insert(bar.end(), 10, base + 9);  // 50..95
  bar.push_back(base + 10);             // 100
  return bar;
}

// ---------------------------------------------------------------------------------------------------------
// Whole updates

struct PlanCase {
  bool boot2Flag;
  std::vector<UpdateStep> steps;
  std::vector<std::uint16_t> lines;
};

class WholeUpdate : public UpdateControllerTest, public ::testing::WithParamInterface<PlanCase> {};

TEST_P(WholeUpdate, RunsThePlanWithItsLinesBarAndFlash) {
  UnitConfig config;
  config.bootloader2.valid = GetParam().boot2Flag;
  EmulatedUnit& unit = AddUnit(config);

  EXPECT_EQ(RunWholeUpdate(), GetParam().steps);

  EXPECT_EQ(view.lines, GetParam().lines);
  // Each step moves the bar through its own span; the end of the update sets 100 once more.
  ASSERT_EQ(barAtStepStart.size(), 3u);
  EXPECT_EQ(Slice(view.bar, barAtStepStart[0], barAtStepStart[1]), BootloaderStepBar(0));
  EXPECT_EQ(Slice(view.bar, barAtStepStart[1], barAtStepStart[2]), BootloaderStepBar(10));
  const std::vector<std::uint32_t> application = Slice(view.bar, barAtStepStart[2], view.bar.size());
  ASSERT_EQ(application.size(), 42u + 21u + 1u);  // 41 chunks and 100; 21 verification reports; the end
  EXPECT_EQ(application.front(), 20u);
  EXPECT_TRUE(std::is_sorted(application.begin(), application.end()));
  EXPECT_EQ(application[41], 84u);  // programming done: 80 % of the step
  EXPECT_EQ(application[application.size() - 2], 100u);
  EXPECT_EQ(application.back(), 100u);
  EXPECT_FALSE(view.barError);

  // The two five-second waits, the final box, the window closed and the main window back.
  EXPECT_EQ(view.timerPeriods, (std::vector<std::uint32_t>{5000, 5000}));
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_EQ(view.boxes[0], (FakeBox{view.boxes[0].owner, IDS_UPDATE_COMPLETED, IDS_CAPTION_INFORMATION, 0x40}));
  EXPECT_FALSE(view.IsOpen());
  EXPECT_TRUE(view.parentEnabled);
  EXPECT_EQ(view.foregrounds, 1);
  EXPECT_EQ(view.destroyCalls, 1);

  // Both bootloader copies and the application are in the unit's flash, every slot valid.
  const std::vector<std::uint8_t> bootloader = ResourceCopy(IDR_BOOTLOADER_IMAGE);
  const std::vector<std::uint8_t> app = ResourceCopy(IDR_APPLICATION_IMAGE);
  ASSERT_EQ(bootloader.size(), 156400u);
  ASSERT_EQ(app.size(), 2633516u);
  const auto size = [](const std::vector<std::uint8_t>& v) { return static_cast<std::uint32_t>(v.size()); };
  EXPECT_TRUE(unit.ReadFlash(BOOTLOADER_1_ADDRESS, size(bootloader)) == bootloader);
  EXPECT_TRUE(unit.ReadFlash(BOOTLOADER_2_ADDRESS, size(bootloader)) == bootloader);
  EXPECT_TRUE(unit.ReadFlash(APPLICATION_ADDRESS, size(app)) == app);
  EXPECT_TRUE(unit.SlotFlag(UnitSlot::Bootloader1));
  EXPECT_TRUE(unit.SlotFlag(UnitSlot::Bootloader2));
  EXPECT_TRUE(unit.SlotFlag(UnitSlot::Application));
  EXPECT_EQ(Requests(BLK_RESET), 0u);
  EXPECT_NO_USB_VIOLATIONS(usb);
}

INSTANTIATE_TEST_SUITE_P(
    BothPlans, WholeUpdate,
    ::testing::Values(PlanCase{true,
                               {STEP_BOOT1_FIRST, STEP_BOOT2_SECOND, STEP_APPLICATION},
                               {IDS_UPDATE_STARTED, IDS_PROGRAM_BOOTLOADER1, IDS_PROGRAM_BOOTLOADER2,
                                IDS_PROGRAM_APPLICATION, IDS_VERIFY_DEVICE, IDS_UPDATE_COMPLETED}},
                      PlanCase{false,
                               {STEP_BOOT2_FIRST, STEP_BOOT1_SECOND, STEP_APPLICATION},
                               {IDS_UPDATE_STARTED, IDS_PROGRAM_BOOTLOADER2, IDS_PROGRAM_BOOTLOADER1,
                                IDS_PROGRAM_APPLICATION, IDS_VERIFY_DEVICE, IDS_UPDATE_COMPLETED}}),
    [](const ::testing::TestParamInfo<PlanCase>& info) {
      return std::string(info.param.boot2Flag ? "Bootloader2FlagSet" : "Bootloader2FlagClear");
    });

TEST_F(UpdateControllerTest, OpeningDisablesTheParentRegistersTheWindowAndStartsWithBootloader1) {
  AddUnit();
  ASSERT_EQ(Open(), 1);
  EXPECT_TRUE(view.shown);
  EXPECT_FALSE(view.parentEnabled);
  EXPECT_EQ(controller.Step(), STEP_BOOT1_FIRST);
  EXPECT_EQ(controller.Stage(), STAGE_STARTED);
  EXPECT_EQ(view.lines, std::vector<std::uint16_t>{IDS_UPDATE_STARTED});
  EXPECT_EQ(loader.notifyWindow, view.Window());
  EXPECT_EQ(loader.resultMessage, WM_UPDATE_NOTIFY);
  EXPECT_EQ(loader.dataMessage, 0u);
  EXPECT_EQ(FinishStep(), FWL_OK);
  std::vector<std::uint32_t> starts;
  for (const ExchangeRecord& record : usb.Unit(0).Exchanges()) {
    if (record.request.BlockID == BLK_START) starts.push_back(record.request.BlockAddress);
  }
  EXPECT_EQ(starts, std::vector<std::uint32_t>{BOOTLOADER_1_ADDRESS});
}

// The figures of a whole update on a unit with USB full-speed timing, all on the virtual clock.
TEST_F(UpdateControllerTest, WholeUpdateOnAFullSpeedUnitReportsExchangesAndModelledTime) {
  UnitConfig config;
  config.timing = UnitTiming::FullSpeed();
  EmulatedUnit& unit = AddUnit(config);
  RunWholeUpdate();

  EXPECT_EQ(view.lines.back(), IDS_UPDATE_COMPLETED);
  std::uint32_t waitedMs = 0;
  for (std::uint32_t ms : view.timerPeriods) waitedMs += ms;
  EXPECT_EQ(waitedMs, 10000u);
  EXPECT_EQ(Requests(BLK_RESET), 0u);  // no failure pause of 2000 ms

  const std::uint64_t modelledMs = clock.NowMs();
  std::printf(
      "[ figures  ] whole update (2 bootloader copies of 156400 bytes, application of 2633516 bytes): "
      "%llu exchanges, modelled %.1f s (the unit's own latencies %.1f s; mandated waits: %zu step timers of "
      "5000 ms, 0 pauses of 2000 ms)\n",
      static_cast<unsigned long long>(unit.ExchangeCount()), modelledMs / 1000.0, unit.ModelledTimeUs() / 1000000.0,
      view.timerPeriods.size());
  RecordProperty("exchanges", static_cast<int>(unit.ExchangeCount()));
  RecordProperty("modelled_ms", static_cast<int>(modelledMs));
  // The query (5), each bootloader step (probe 2, start, 3 erases, 611 blocks written, read back and verified,
  // finish: 1840) and the application step (probe 2, start, 41 erases, 10288 blocks x 3, finish: 30909).
  EXPECT_EQ(unit.ExchangeCount(), 5u + 2u * 1840u + 30909u);
  EXPECT_GT(modelledMs, waitedMs);
}

// ---------------------------------------------------------------------------------------------------------
// The checks before the first step

TEST(ReadVersionNumber, ReadsThreeNumbersAsScanfWould) {
  struct Case {
    const char* text;
    bool read;
    std::uint32_t number;
  };
  const Case cases[] = {
      {"001.005.019", true, 1005019},
      {"1.5.19", true, 1005019},
      {" 1. 5.\t19", true, 1005019},  // each number may have leading white space
      {"1 .5.19", false, 0},          // the dots may not
      {"1.5.19.7", true, 1005019},    // the rest is not read
      {"1.5.19-beta", true, 1005019},
      {"+1.-5.19", true, 995019},
      {"-1.0.0", true, 4293967296u},  // 32-bit arithmetic
      {"4294.967.296", true, 0},      // 4294967296 wraps to 0
      {"1.5", false, 0},
      {"1.5.", false, 0},
      {"1.5.+", false, 0},
      {"v1.5.19", false, 0},
      {"", false, 0},
  };
  for (const Case& c : cases) {
    std::uint32_t number = 12345;
    EXPECT_EQ(ReadVersionNumber(c.text, &number), c.read) << c.text;
    if (c.read) {
      EXPECT_EQ(number, c.number) << c.text;
    }
  }
}

struct VersionCase {
  const char* imageVersion;
  const char* deviceVersion;
  bool refused;
};

class VersionTest : public UpdateControllerTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionTest, ANewerUnitIsRefusedWith40018AndNothingIsWritten) {
  UnitConfig config;
  config.application.version = GetParam().deviceVersion;
  AddUnit(config);
  std::strncpy(image.version, GetParam().imageVersion, sizeof image.version - 1);

  const int opened = Open();
  if (GetParam().refused) {
    ExpectRefused(opened, IDS_NEWER_FIRMWARE, IDS_CAPTION_ERROR, 0x30);
    EXPECT_EQ(Requests(BLK_START) + Requests(BLK_ERASE) + Requests(BLK_WRITE), 0u);
    EXPECT_TRUE(usb.Unit(0).SlotFlag(UnitSlot::Application));
  } else {
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(view.lines, std::vector<std::uint16_t>{IDS_UPDATE_STARTED});
    EXPECT_TRUE(view.boxes.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Versions, VersionTest,
    ::testing::Values(VersionCase{"001.005.019", "001.005.019", false},  // equal passes
                      VersionCase{"001.005.019", "1.5.19", false}, VersionCase{"001.005.019", "001.005.018", false},
                      VersionCase{"001.005.019", "001.005.020", true}, VersionCase{"001.005.019", "001.006.000", true},
                      VersionCase{"001.005.019", "-1.0.0", true},  // compared unsigned
                      VersionCase{"001.005.019", "abc", false},    // not three numbers: not compared
                      VersionCase{"001.005.019", "999.999", false}, VersionCase{"001.005.019", "", false},
                      VersionCase{"invalid", "0.0.1", true},  // an image without a number is 0
                      VersionCase{"1.5", "000.000.000", false}, VersionCase{"", "9.9.9", true}));

struct HardwareCase {
  std::uint32_t low, high, id;
  bool refused;
};

class HardwareTest : public UpdateControllerTest, public ::testing::WithParamInterface<HardwareCase> {};

TEST_P(HardwareTest, AnIdentifierOutsideTheImagesRangeIsRefusedWith40019) {
  UnitConfig config;
  config.hardwareId = GetParam().id;
  AddUnit(config);
  image.hardwareLow = GetParam().low;
  image.hardwareHigh = GetParam().high;

  const int opened = Open();
  if (GetParam().refused) {
    ExpectRefused(opened, IDS_WRONG_DEVICE, IDS_CAPTION_ERROR, 0x30);
    EXPECT_EQ(Requests(BLK_START), 0u);
  } else {
    EXPECT_EQ(opened, 1);
    EXPECT_TRUE(view.boxes.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Hardware, HardwareTest,
                         ::testing::Values(HardwareCase{6, 6, 6, false}, HardwareCase{6, 6, 5, true},
                                           HardwareCase{6, 6, 7, true}, HardwareCase{3, 9, 3, false},
                                           HardwareCase{3, 9, 9, false}, HardwareCase{3, 9, 2, true},
                                           HardwareCase{3, 9, 10, true}, HardwareCase{0, 0, 0, false},
                                           HardwareCase{0, 0, 1, true},
                                           // compared unsigned: no sign turns a large id into a small one
                                           HardwareCase{0x80000000u, 0xFFFFFFFFu, 0x90000000u, false},
                                           HardwareCase{0, 0x7FFFFFFFu, 0x90000000u, true}));

TEST_F(UpdateControllerTest, TheDowngradeTestComesBeforeTheHardwareTest) {
  UnitConfig config;
  config.application.version = "002.000.000";
  config.hardwareId = 99;
  AddUnit(config);
  ExpectRefused(Open(), IDS_NEWER_FIRMWARE, IDS_CAPTION_ERROR, 0x30);
}

struct StartFailureCase {
  const char* name;
  bool unitPresent;
  UnitMode mode;
  std::uint16_t text;
  std::uint32_t style;
};

class StartFailure : public UpdateControllerTest, public ::testing::WithParamInterface<StartFailureCase> {};

TEST_P(StartFailure, ShowsTheMessageOfItsCodeAndNeverShowsTheWindow) {
  if (GetParam().unitPresent) {
    UnitConfig config;
    config.mode = GetParam().mode;
    AddUnit(config);
  }
  ExpectRefused(Open(), GetParam().text, IDS_CAPTION_ERROR, GetParam().style);
  EXPECT_EQ(controller.Stage(), STAGE_NONE);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, StartFailure,
    ::testing::Values(
        // ReadDeviceInfo finds no unit: FWL_ERR_NOT_FOUND.
        StartFailureCase{"NoUnit", false, UnitMode::Bootloader, IDS_DEVICE_NOT_FOUND, 0x30},
        // The unit runs its application: the first step's start refuses with FWL_ERR_APP_MODE.
        StartFailureCase{"ApplicationMode", true, UnitMode::Application, IDS_DEVICE_IN_APP_MODE, 0x30},
        // A unit that answers nothing: the query fails with FWL_ERR_FAILED, any other code.
        StartFailureCase{"SilentUnit", true, UnitMode::OldApplication, IDS_FIRMWARE_DATA_INVALID, 0x10}),
    [](const ::testing::TestParamInfo<StartFailureCase>& info) { return std::string(info.param.name); });

TEST_F(UpdateControllerTest, AWindowThatDestroyedItselfCountsAsNotCreatedWhateverHandleComesBack) {
  UnitConfig config;
  config.application.version = "009.000.000";
  AddUnit(config);
  view.handsBackDestroyed = true;
  ExpectRefused(Open(), IDS_NEWER_FIRMWARE, IDS_CAPTION_ERROR, 0x30);
  EXPECT_EQ(view.destroyCalls, 1);
}

TEST_F(UpdateControllerTest, ABusyLoaderGetsTheInformationBoxOwnedByTheMainWindowAndNoWindow) {
  AddUnit();
  loader.busy.store(1);  // a cancelled worker still finishing its reset
  EXPECT_EQ(Open(), 0);
  loader.busy.store(0);
  EXPECT_EQ(view.windowsCreated, 0);
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_EQ(view.boxes[0], (FakeBox{parent, IDS_UPDATE_RUNNING, IDS_CAPTION_INFORMATION, 0x40}));
  EXPECT_TRUE(view.parentEnabled);
  EXPECT_EQ(usb.Unit(0).ExchangeCount(), 0u);
}

TEST_F(UpdateControllerTest, WithoutLoaderOrImageNothingOpens) {
  AddUnit();
  EXPECT_EQ(controller.OpenProgressWindow(parent, nullptr, &image), 0);
  EXPECT_EQ(controller.parentWindow, parent);
  EXPECT_EQ(controller.OpenProgressWindow(parent, &loader, nullptr), 0);
  EXPECT_TRUE(view.events.empty());
}

TEST_F(UpdateControllerTest, AWindowThatCannotBeMadeLeavesTheMainWindowEnabled) {
  AddUnit();
  view.failCreation = true;
  EXPECT_EQ(Open(), 0);
  EXPECT_TRUE(view.parentEnabled);
  EXPECT_EQ(usb.Unit(0).ExchangeCount(), 0u);
}

TEST_F(UpdateControllerTest, ResultMessagesByCode) {
  struct Case {
    ResultCode code;
    std::uint16_t text;  // 0: no box
    std::uint16_t caption;
    std::uint32_t style;
  };
  const Case cases[] = {
      {FWL_OK, 0, 0, 0},
      {FWL_ERR_NOT_FOUND, IDS_DEVICE_NOT_FOUND, IDS_CAPTION_ERROR, 0x30},
      {FWL_ERR_APP_MODE, IDS_DEVICE_IN_APP_MODE, IDS_CAPTION_ERROR, 0x30},
      {FWL_BUSY, IDS_UPDATE_RUNNING, IDS_CAPTION_INFORMATION, 0x40},
      {FWL_ERR_NEWER_FIRMWARE, IDS_NEWER_FIRMWARE, IDS_CAPTION_ERROR, 0x30},
      {FWL_ERR_WRONG_DEVICE, IDS_WRONG_DEVICE, IDS_CAPTION_ERROR, 0x30},
      {FWL_DONE, IDS_FIRMWARE_DATA_INVALID, IDS_CAPTION_ERROR, 0x10},
      {2, IDS_FIRMWARE_DATA_INVALID, IDS_CAPTION_ERROR, 0x10},
      {FWL_ERR_COMPARE, IDS_FIRMWARE_DATA_INVALID, IDS_CAPTION_ERROR, 0x10},
      {FWL_IN_BOOTLOADER, IDS_FIRMWARE_DATA_INVALID, IDS_CAPTION_ERROR, 0x10},
      {FWL_STARTED, IDS_FIRMWARE_DATA_INVALID, IDS_CAPTION_ERROR, 0x10},
      {FWL_ABORTED, IDS_FIRMWARE_DATA_INVALID, IDS_CAPTION_ERROR, 0x10},
      {FWL_ERR_FAILED, IDS_FIRMWARE_DATA_INVALID, IDS_CAPTION_ERROR, 0x10},
      {14, IDS_FIRMWARE_DATA_INVALID, IDS_CAPTION_ERROR, 0x10},
      {-1, IDS_FIRMWARE_DATA_INVALID, IDS_CAPTION_ERROR, 0x10},
  };
  const WindowRef window = reinterpret_cast<WindowRef>(0x5150);
  controller.progressWindow = window;
  for (const Case& c : cases) {
    view.boxes.clear();
    controller.ShowResultMessage(c.code);
    if (c.text == 0) {
      EXPECT_TRUE(view.boxes.empty()) << c.code;
    } else {
      ASSERT_EQ(view.boxes.size(), 1u) << c.code;
      EXPECT_EQ(view.boxes[0], (FakeBox{window, c.text, c.caption, c.style})) << c.code;
    }
  }
}

// ---------------------------------------------------------------------------------------------------------
// Progress and failures while running

TEST_F(UpdateControllerTest, ANotificationHandledLateStillShowsTheStagesInOrder) {
  // The worker may be ahead of the notification being handled: the first report of a step may already read
  // a programming share above 0, or a verification share.
  struct Case {
    UpdateStep step;
    std::uint32_t program, verify;
    std::vector<std::uint16_t> lines;
    std::uint32_t bar;
  };
  const Case cases[] = {
      {STEP_BOOT1_FIRST, 0, 0, {IDS_PROGRAM_BOOTLOADER1}, 0},
      {STEP_BOOT1_FIRST, 41, 0, {IDS_PROGRAM_BOOTLOADER1}, 3},
      {STEP_BOOT2_SECOND, 100, 5, {IDS_PROGRAM_BOOTLOADER2}, 18},
      {STEP_APPLICATION, 100, 100, {IDS_PROGRAM_APPLICATION, IDS_VERIFY_DEVICE}, 100},
      {0, 50, 0, {IDS_PROGRAM_APPLICATION}, 0},  // no step: the bar stays at 0
  };
  for (const Case& c : cases) {
    RecordingUpdateView events;
    UpdateSession session(loader, image, events);
    UpdateSessionProbe::Set(session, c.step, STAGE_STARTED);
    loader.programPercent.store(c.program);
    loader.verifyPercent.store(c.verify);
    session.OnUpdateNotify(FWL_PROGRESS);
    EXPECT_EQ(events.lines, c.lines) << c.step << " " << c.program << " " << c.verify;
    EXPECT_EQ(events.bar, std::vector<std::uint32_t>{c.bar});
    // The same report again adds no line.
    session.OnUpdateNotify(FWL_PROGRESS);
    EXPECT_EQ(events.lines, c.lines);
  }
}

TEST_F(UpdateControllerTest, AFailureReportedByTheWorkerTakesTheFailureRoad) {
  EmulatedUnit& unit = AddUnit();
  Fault finish;
  finish.kind = FaultKind::DropAnswer;
  finish.blockId = BLK_FINISH;
  unit.AddFault(finish);

  ASSERT_EQ(Open(), 1);
  EXPECT_EQ(FinishStep(), FWL_ERR_FAILED);
  EXPECT_EQ(view.lines, (std::vector<std::uint16_t>{IDS_UPDATE_STARTED, IDS_PROGRAM_BOOTLOADER1, IDS_UPDATE_FAILED}));
  EXPECT_TRUE(view.barError);
  EXPECT_EQ(view.bar.back(), 100u);
  // The error state comes before the position, both before the box; the code itself is not shown.
  const auto error = std::find(view.events.begin(), view.events.end(), "bar error");
  ASSERT_NE(error, view.events.end());
  EXPECT_EQ(*(error + 1), "bar 100");
  EXPECT_EQ(*(error + 2), "box 40008 40010 0x10");
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_TRUE(view.timers.empty());
  EXPECT_TRUE(view.timerPeriods.empty());
  EXPECT_FALSE(view.IsOpen());
  EXPECT_TRUE(view.parentEnabled);
}

TEST_F(UpdateControllerTest, ALaterStepThatCannotStartShowsItsMessageThenTheFailureRoad) {
  EmulatedUnit& unit = AddUnit();
  ASSERT_EQ(Open(), 1);
  ASSERT_EQ(FinishStep(), FWL_OK);
  unit.Unplug();
  PassStepPause(STEP_BOOT2_SECOND);

  EXPECT_EQ(controller.Step(), STEP_BOOT2_SECOND);
  ASSERT_EQ(view.boxes.size(), 2u);
  EXPECT_EQ(view.boxes[0].text, IDS_DEVICE_NOT_FOUND);
  EXPECT_EQ(view.boxes[1], (FakeBox{view.boxes[1].owner, IDS_UPDATE_FAILED, IDS_CAPTION_ERROR, 0x10}));
  EXPECT_EQ(view.lines.back(), IDS_UPDATE_FAILED);
  EXPECT_TRUE(view.barError);
  EXPECT_FALSE(view.IsOpen());
  EXPECT_TRUE(view.parentEnabled);
}

TEST_F(UpdateControllerTest, ATimerThatIsNoStepFailsWithoutASpecificMessage) {
  const std::uintptr_t ids[] = {0, 6, 7, static_cast<std::uintptr_t>(-1), (std::uintptr_t{1} << 32) + 4};
  AddUnit();
  for (std::uintptr_t id : ids) {
    SCOPED_TRACE(id);
    view.boxes.clear();
    view.lines.clear();
    ASSERT_EQ(Open(), 1);
    ASSERT_EQ(FinishStep(), FWL_OK);
    const std::size_t startsBefore = Requests(BLK_START);
    ASSERT_TRUE(view.FireAnyTimer(id));

    EXPECT_FALSE(IsUpdateStep(controller.Step()));
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0].text, IDS_UPDATE_FAILED);
    EXPECT_EQ(view.lines.back(), IDS_UPDATE_FAILED);
    EXPECT_FALSE(view.IsOpen());
    EXPECT_EQ(Requests(BLK_START), startsBefore);
  }
}

TEST_F(UpdateControllerTest, SuccessAtAStepThatIsNoneTakesTheFailureRoad) {
  AddUnit();
  for (UpdateStep step : {0, 6, -3}) {
    SCOPED_TRACE(step);
    view.boxes.clear();
    ASSERT_EQ(Open(), 1);
    ASSERT_EQ(FinishStep(), FWL_OK);
    view.timerPeriods.clear();
    UpdateSessionProbe::Set(*controller.Session(), step, controller.Stage());
    ASSERT_TRUE(view.Deliver({view.Window(), WM_UPDATE_NOTIFY, 0, FWL_OK}));
    EXPECT_TRUE(view.timerPeriods.empty());
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0].text, IDS_UPDATE_FAILED);
    EXPECT_FALSE(view.IsOpen());
  }
}

// ---------------------------------------------------------------------------------------------------------
// Cancel

TEST_F(UpdateControllerTest, CancelDuringAStepAbortsTheWorkerWhichResetsTheUnit) {
  AddUnit();
  view.answer = [](const FakeBox&) { return IDYES_ANSWER; };
  ASSERT_EQ(Open(), 1);

  // Cancel pressed while the first report is handled: the worker waits at that report.
  std::optional<PostedMessage> report = poster.Take();
  ASSERT_TRUE(report);
  view.Deliver(*report);
  const std::uint64_t before = clock.NowMs();
  Cancel();
  EXPECT_EQ(clock.NowMs() - before, 500u);
  EXPECT_EQ(loader.abortRequested.load(), 1u);
  EXPECT_FALSE(view.IsOpen());
  poster.Done();

  // The worker stops at its next exchange, resets the unit and posts the abort to a window that is gone.
  EXPECT_EQ(FinishStep(), FWL_ABORTED);
  EXPECT_EQ(Requests(BLK_RESET), 1u);
  EXPECT_EQ(Requests(BLK_FINISH), 0u);
  EXPECT_EQ(Requests(BLK_START), 1u);
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_EQ(view.boxes[0], (FakeBox{view.boxes[0].owner, IDS_CONFIRM_ABORT, IDS_CAPTION_INFORMATION, 0x124}));
  EXPECT_EQ(view.lines, (std::vector<std::uint16_t>{IDS_UPDATE_STARTED, IDS_PROGRAM_BOOTLOADER1}));
  EXPECT_TRUE(view.parentEnabled);

  // The flag left by the cancel does not hinder the next update.
  view.boxes.clear();
  view.answer = nullptr;
  ASSERT_EQ(Open(), 1);
  EXPECT_EQ(FinishStep(), FWL_OK);
}

TEST_F(UpdateControllerTest, CancelDuringTheWaitStartsNoFurtherStep) {
  AddUnit();
  ASSERT_EQ(Open(), 1);
  ASSERT_EQ(FinishStep(), FWL_OK);
  ASSERT_EQ(view.timers.count(STEP_BOOT2_SECOND), 1u);

  int asked = 0;
  view.answer = [&](const FakeBox& box) {
    asked += box.text == IDS_CONFIRM_ABORT;
    return 0;  // a box that could not be shown counts as yes
  };
  Cancel();
  EXPECT_EQ(asked, 1);  // asked although no worker runs: the update is between steps
  EXPECT_FALSE(view.IsOpen());
  EXPECT_TRUE(view.timers.empty());
  clock.Advance(5000);
  EXPECT_FALSE(view.FireTimer(STEP_BOOT2_SECOND));
  EXPECT_EQ(Requests(BLK_START), 1u);
  EXPECT_EQ(loader.busy.load(), 0u);
}

TEST_F(UpdateControllerTest, AnsweringNoKeepsTheUpdateRunning) {
  AddUnit();
  view.answer = [](const FakeBox& box) { return box.text == IDS_CONFIRM_ABORT ? IDNO_ANSWER : IDOK_ANSWER; };
  ASSERT_EQ(Open(), 1);
  PumpOne();
  const std::uint64_t before = clock.NowMs();
  Cancel();
  EXPECT_EQ(clock.NowMs(), before);  // no wait
  EXPECT_TRUE(view.IsOpen());
  EXPECT_EQ(loader.abortRequested.load(), 0u);

  ASSERT_EQ(FinishStep(), FWL_OK);
  PassStepPause(STEP_BOOT2_SECOND);
  ASSERT_EQ(FinishStep(), FWL_OK);
  PassStepPause(STEP_APPLICATION);
  ASSERT_EQ(FinishStep(), FWL_OK);
  EXPECT_EQ(view.lines.back(), IDS_UPDATE_COMPLETED);
}

TEST_F(UpdateControllerTest, CancelWithoutAStepClosesWithoutAQuestion) {
  RecordingUpdateView events;
  UpdateSession session(loader, image, events);
  EXPECT_EQ(session.ConfirmCancel(), 1);
  EXPECT_EQ(events.questions, 0);
  EXPECT_EQ(loader.abortRequested.load(), 0u);
}

// Message boxes run their own loop: what arrives while the cancel question is open is handled at once.
TEST_F(UpdateControllerTest, TheUpdateCompletingUnderTheCancelQuestionClosesTheWindowOnce) {
  AddUnit();
  ASSERT_EQ(Open(), 1);
  ASSERT_EQ(FinishStep(), FWL_OK);
  PassStepPause(STEP_BOOT2_SECOND);
  ASSERT_EQ(FinishStep(), FWL_OK);
  PassStepPause(STEP_APPLICATION);
  PumpOne();

  view.answer = [&](const FakeBox& box) {
    if (box.text == IDS_CONFIRM_ABORT) {
      EXPECT_EQ(FinishStep(), FWL_OK);  // the bar moves on and the result arrives under the question
      EXPECT_FALSE(view.IsOpen());
      return IDYES_ANSWER;
    }
    return IDOK_ANSWER;
  };
  Cancel();

  EXPECT_EQ(view.lines.back(), IDS_UPDATE_COMPLETED);
  ASSERT_EQ(view.boxes.size(), 2u);
  EXPECT_EQ(view.boxes[1].text, IDS_UPDATE_COMPLETED);
  EXPECT_EQ(view.destroyCalls, 1);  // the window is not destroyed a second time
  EXPECT_FALSE(view.IsOpen());
  EXPECT_TRUE(view.parentEnabled);
}

TEST_F(UpdateControllerTest, ATimerFiringUnderTheCancelQuestionStartsTheStepThatTheAnswerThenAborts) {
  AddUnit();
  ASSERT_EQ(Open(), 1);
  ASSERT_EQ(FinishStep(), FWL_OK);

  view.answer = [&](const FakeBox&) {
    PassStepPause(STEP_BOOT2_SECOND);
    EXPECT_EQ(loader.busy.load(), 1u);
    return IDYES_ANSWER;
  };
  Cancel();
  EXPECT_FALSE(view.IsOpen());
  EXPECT_EQ(FinishStep(), FWL_ABORTED);
  EXPECT_EQ(Requests(BLK_PING), 3u);   // the query, the first step's probe, the second step's probe
  EXPECT_LE(Requests(BLK_START), 2u);  // the abort may come before the second step's start command
  EXPECT_EQ(Requests(BLK_RESET), 1u);
  EXPECT_EQ(view.lines, (std::vector<std::uint16_t>{IDS_UPDATE_STARTED, IDS_PROGRAM_BOOTLOADER1}));
}

// "Cancel" asks each time; only yes closes the window.
TEST_F(UpdateControllerTest, CancelAsksEachTimeAndOnlyYesCloses) {
  AddUnit();
  ASSERT_EQ(Open(), 1);
  ASSERT_EQ(FinishStep(), FWL_OK);  // waiting for the second step

  int questions = 0;
  int answer = IDNO_ANSWER;
  view.answer = [&](const FakeBox& box) {
    questions += box.text == IDS_CONFIRM_ABORT;
    return answer;
  };
  Cancel();  // "No": it stays
  EXPECT_TRUE(view.IsOpen());
  answer = IDYES_ANSWER;
  Cancel();
  EXPECT_FALSE(view.IsOpen());
  EXPECT_EQ(questions, 2);
}

// The PC stays awake from the first step's start through the pauses to the end of the last step, and not while
// the final message waits for the user; a refused start never holds it.
TEST_F(UpdateControllerTest, KeepsThePcAwakeFromTheFirstStepToTheLastOnly) {
  AddUnit();
  ASSERT_EQ(Open(), 1);
  EXPECT_TRUE(awake.held);
  ASSERT_EQ(FinishStep(), FWL_OK);
  EXPECT_TRUE(awake.held) << "across the pause";
  bool heldAtFinalMessage = true;
  view.answer = [&](const FakeBox&) {
    heldAtFinalMessage = awake.held;
    return 1;
  };
  PassStepPause(UPDATE_STEP_TABLE[controller.Step()].nextStep);
  ASSERT_EQ(FinishStep(), FWL_OK);
  PassStepPause(UPDATE_STEP_TABLE[controller.Step()].nextStep);
  ASSERT_EQ(FinishStep(), FWL_OK);
  EXPECT_FALSE(view.IsOpen());
  EXPECT_FALSE(heldAtFinalMessage);
  EXPECT_FALSE(awake.held);
}

// A unit that refuses the step's start (it runs its application) lets the PC sleep before its message shows.
TEST_F(UpdateControllerTest, ARefusedStartLetsThePcSleepBeforeItsMessage) {
  UnitConfig config;
  config.mode = UnitMode::Application;
  AddUnit(config);
  bool heldAtMessage = true;
  view.answer = [&](const FakeBox&) {
    heldAtMessage = awake.held;
    return 1;
  };
  EXPECT_EQ(Open(), 0);
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_FALSE(heldAtMessage);
  EXPECT_FALSE(awake.held);
}

}  // namespace
