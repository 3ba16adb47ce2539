// The taskbar button's progress: a fake taskbar records what the mirror asks of the shell, first on its own,
// then behind the real progress window while the UpdateController runs whole emulated updates (success,
// failure, cancel, refusal), with real message boxes answered from a second thread.

#include "platform/win32/taskbar_progress.h"

#include <windows.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/clock.h"
#include "app/message_poster.h"
#include "emu/emulated_usb.h"
#include "image/firmware_image.h"
#include "platform/program_context.h"
#include "platform/win32/progress_window.h"
#include "platform/win32/ui_dialog.h"
#include "support/emu_violations.h"
#include "support/trace_capture.h"
#include "support/win32_pump.h"
#include "tools/demo_driver.h"
#include "ui/resource_ids.h"
#include "ui/ui_language.h"
#include "ui/update_controller.h"
#include "usb/usb_fw_loader.h"

namespace {

// Records every call as a short text; safe to mark from the thread that answers the message boxes.
class FakeTaskbar final : public Taskbar {
 public:
  void ButtonCreated(HWND window) override { Add(window, "button"); }
  void SetProgressState(HWND window, State state) override { Add(window, "state " + std::to_string(state)); }
  void SetProgressValue(HWND window, std::uint64_t completed, std::uint64_t total) override {
    Add(window, "value " + std::to_string(completed) + "/" + std::to_string(total));
  }
  bool ProgramInForeground() override { return inForeground; }
  void Flash(HWND window, bool on) override { Add(window, on ? "flash" : "flash stop"); }

  void Mark(const std::string& text) { Add(nullptr, text); }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  std::vector<HWND> Windows() {
    std::lock_guard<std::mutex> lock(mutex_);
    return windows_;
  }

  bool inForeground = true;

 private:
  void Add(HWND window, const std::string& call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(call);
    if (window != nullptr) windows_.push_back(window);
  }
  std::mutex mutex_;
  std::vector<std::string> calls_;
  std::vector<HWND> windows_;
};

const HWND kMain = reinterpret_cast<HWND>(0x1234);

INT_PTR CALLBACK PlainDialogProc(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

TEST(TaskbarProgressTest, TheButtonFollowsTheBarAndSkipsPositionsItShowsAlready) {
  FakeTaskbar taskbar;
  TaskbarProgress progress(taskbar);
  progress.OnUpdateShown(kMain);
  progress.OnBarPosition(kMain, 0);
  progress.OnBarPosition(kMain, 3);
  progress.OnBarPosition(kMain, 3);
  progress.OnBarPosition(kMain, 10);
  progress.OnUpdateGone(kMain);
  progress.OnUpdateGone(kMain);

  EXPECT_EQ(taskbar.Calls(),
            (std::vector<std::string>{"state 2", "value 0/100", "value 3/100", "value 10/100", "state 0"}));
}

// Explorer makes the button anew after a restart of its own; the button then shows the update's state again.
TEST(TaskbarProgressTest, AButtonMadeAnewShowsTheStateAgainOnlyWhileAnUpdateRuns) {
  FakeTaskbar taskbar;
  TaskbarProgress progress(taskbar);
  progress.OnButtonCreated(kMain);
  progress.OnUpdateShown(kMain);
  progress.OnBarPosition(kMain, 42);
  progress.OnButtonCreated(kMain);
  progress.OnBarError(kMain);
  progress.OnButtonCreated(kMain);
  progress.OnUpdateGone(kMain);
  progress.OnButtonCreated(kMain);

  EXPECT_EQ(taskbar.Calls(), (std::vector<std::string>{"button", "state 2", "value 0/100", "value 42/100", "button",
                                                       "state 2", "value 42/100", "state 4", "button", "state 4",
                                                       "value 42/100", "state 0", "button"}));
}

TEST(TaskbarProgressTest, OnlyTheFinalMessagesFlashAndOnlyWhileTheUserIsElsewhere) {
  const struct {
    std::uint16_t textId;
    bool inForeground;
    std::vector<std::string> calls;
  } cases[] = {
      {IDS_UPDATE_COMPLETED, false, {"flash", "box", "flash stop"}},
      {IDS_UPDATE_FAILED, false, {"flash", "box", "flash stop"}},
      {IDS_UPDATE_COMPLETED, true, {"box"}},
      {IDS_UPDATE_FAILED, true, {"box"}},
      {IDS_CONFIRM_ABORT, false, {"box"}},
      {IDS_DEVICE_NOT_FOUND, false, {"box"}},
      {IDS_NEWER_FIRMWARE, false, {"box"}},
  };
  for (const auto& c : cases) {
    FakeTaskbar taskbar;
    taskbar.inForeground = c.inForeground;
    TaskbarProgress progress(taskbar);
    {
      const FinalMessageAttention attention(progress, kMain, c.textId);
      taskbar.Mark("box");
    }
    EXPECT_EQ(taskbar.Calls(), c.calls) << c.textId << (c.inForeground ? " in the foreground" : " elsewhere");
  }
}

// Wine has no taskbar of the shell's kind: whatever it offers, the calls change nothing else.
TEST(SystemTaskbarTest, CallsAreHarmlessWithOrWithoutTheShellsTaskbar) {
  HWND window = CreateUiDialog(IDD_MAIN_WINDOW, nullptr, PlainDialogProc);
  ASSERT_NE(window, nullptr);
  SystemTaskbar taskbar;
  taskbar.SetProgressState(window, Taskbar::Normal);  // before the button exists: nothing to reach yet
  EXPECT_FALSE(taskbar.Connected());
  taskbar.ButtonCreated(window);
  taskbar.ButtonCreated(window);
  taskbar.SetProgressState(window, Taskbar::Normal);
  taskbar.SetProgressValue(window, 50, 100);
  taskbar.SetProgressState(window, Taskbar::Error);
  taskbar.SetProgressState(window, Taskbar::NoProgress);
  taskbar.Flash(window, true);
  taskbar.Flash(window, false);
  RecordProperty("ShellTaskbar", taskbar.Connected() ? "reached" : "absent");
  EXPECT_TRUE(IsWindow(window));
  DestroyWindow(window);
  EXPECT_NE(TaskbarButtonCreatedMessage(), 0u);
  EXPECT_EQ(TaskbarButtonCreatedMessage(), RegisterWindowMessageW(L"TaskbarButtonCreated"));
}

// ---------------------------------------------------------------------------------------------------------
// Whole updates behind the real progress window.

// Presses one button in each message box of this process, in turn, and marks the box in the taskbar's record
// while it is open.
class BoxAnswerer {
 public:
  BoxAnswerer(FakeTaskbar& taskbar, std::vector<int> buttons) {
    thread_ = std::thread([this, &taskbar, buttons] {
      for (int button : buttons) {
        HWND box = WaitForWindow([] { return FindMessageBox(GetCurrentProcessId()); }, 30000);
        if (box == nullptr) return;
        taskbar.Mark("box " + Utf8(ControlText(box, 0xFFFF)));
        PressButton(box, button);
        WaitUntil([box] { return !IsWindow(box); }, 30000);
      }
    });
  }
  ~BoxAnswerer() { thread_.join(); }

 private:
  std::thread thread_;
};

std::vector<UINT> g_requestedIntervals;
bool g_longWaits = false;

// The five-second waits pass at once, or last a minute for a test that cancels during one.
UINT TestInterval(UINT requestedMs) {
  g_requestedIntervals.push_back(requestedMs);
  return g_longWaits ? 60000 : 1;
}

class TaskbarUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_requestedIntervals.clear();
    g_longWaits = false;
    ASSERT_NE(ScanFirmwareImage(IDR_APPLICATION_IMAGE, image, ProgramResources()), 0);
    SetUiLanguage(UILANG_ENGLISH);
    parent = CreateUiDialog(IDD_MAIN_WINDOW, nullptr, PlainDialogProc);
    ASSERT_NE(parent, nullptr);
    ShowWindow(parent, SW_SHOW);
  }
  void TearDown() override {
    PumpMessagesUntil([&] { return loader.busy.load() == 0; });
    if (IsWindow(parent)) DestroyWindow(parent);
    EXPECT_NO_USB_VIOLATIONS(usb);
  }

  HWND Progress() const { return static_cast<HWND>(controller.progressWindow); }

  void RunToTheEnd() {
    PumpMessagesUntil([&] { return !IsWindow(Progress()) && loader.busy.load() == 0; });
  }

  // The calls between the first two and the last `tail`: the bar's positions, in order, never going back.
  void ExpectRisingValuesBetween(const std::vector<std::string>& calls, std::size_t tail, int last) {
    ASSERT_GE(calls.size(), 2 + tail);
    int previous = 0;
    for (std::size_t i = 2; i + tail < calls.size(); ++i) {
      int value = -1;
      ASSERT_EQ(std::sscanf(calls[i].c_str(), "value %d/100", &value), 1) << calls[i];
      EXPECT_GT(value, previous) << "at " << i;
      previous = value;
    }
    EXPECT_EQ(previous, last);
  }

  void ExpectEveryCallForTheMainWindow() {
    for (HWND window : taskbar.Windows()) EXPECT_EQ(window, parent);
  }

  TraceCapture trace;
  VirtualClock clock;
  EmulatedUsb usb{clock};
  UsbFwLoader loader{DeviceLinkContext{&usb, &clock, &PlatformMessagePoster(), &ProgramResources()}};
  FakeTaskbar taskbar;
  TaskbarProgress taskbarProgress{taskbar};
  Win32ProgressView view{TestInterval, &taskbarProgress};
  UpdateController controller{view};
  FirmwareImageInfo image{};
  HWND parent = nullptr;
};

TEST_F(TaskbarUpdateTest, SuccessRunsTheButtonToFullAndFlashesForTheUserWhoIsElsewhere) {
  usb.AddUnit();
  taskbar.inForeground = false;
  {
    BoxAnswerer boxes(taskbar, {IDOK});
    ASSERT_EQ(controller.OpenProgressWindow(parent, &loader, &image), 1);
    RunToTheEnd();
  }

  const std::vector<std::string> calls = taskbar.Calls();
  ASSERT_GE(calls.size(), 6u);
  EXPECT_EQ(calls[0], "state 2");
  EXPECT_EQ(calls[1], "value 0/100");
  ExpectRisingValuesBetween(calls, 4, 100);
  EXPECT_EQ(
      std::vector<std::string>(calls.end() - 4, calls.end()),
      (std::vector<std::string>{"flash", "box Firmware update completed successfully!", "flash stop", "state 0"}));
  ExpectEveryCallForTheMainWindow();
}

TEST_F(TaskbarUpdateTest, FailureTurnsTheButtonRedAtFullWithoutFlashingForTheUserWhoIsHere) {
  EmulatedUnit& unit = usb.AddUnit();
  Fault finish;
  finish.kind = FaultKind::DropAnswer;
  finish.blockId = BLK_FINISH;
  unit.AddFault(finish);
  taskbar.inForeground = true;
  {
    BoxAnswerer boxes(taskbar, {IDOK});
    ASSERT_EQ(controller.OpenProgressWindow(parent, &loader, &image), 1);
    RunToTheEnd();
  }

  const std::vector<std::string> calls = taskbar.Calls();
  ASSERT_GE(calls.size(), 6u);
  EXPECT_EQ(calls[0], "state 2");
  EXPECT_EQ(calls[1], "value 0/100");
  ExpectRisingValuesBetween(calls, 4, 10);  // the first bootloader step ran whole, then its finish failed
  EXPECT_EQ(std::vector<std::string>(calls.end() - 4, calls.end()),
            (std::vector<std::string>{"state 4", "value 100/100", "box Firmware update failed!", "state 0"}));
  ExpectEveryCallForTheMainWindow();
}

TEST_F(TaskbarUpdateTest, ACancelDuringTheWaitBetweenStepsClearsTheButton) {
  usb.AddUnit();
  g_longWaits = true;
  taskbar.inForeground = false;  // the question is no final message: no flashing
  {
    BoxAnswerer boxes(taskbar, {IDYES});
    ASSERT_EQ(controller.OpenProgressWindow(parent, &loader, &image), 1);
    PumpMessagesUntil([] { return !g_requestedIntervals.empty(); });  // the first step is done; the wait begins
    PostMessageW(Progress(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    RunToTheEnd();
  }

  const std::vector<std::string> calls = taskbar.Calls();
  ASSERT_GE(calls.size(), 4u);
  EXPECT_EQ(calls[0], "state 2");
  EXPECT_EQ(calls[1], "value 0/100");
  ExpectRisingValuesBetween(calls, 2, 10);
  EXPECT_EQ(std::vector<std::string>(calls.end() - 2, calls.end()),
            (std::vector<std::string>{"box " + Utf8(L"Firmware update is running.\nDo you really want to abort "
                                                    L"the update process?"),
                                      "state 0"}));
  ExpectEveryCallForTheMainWindow();
}

TEST_F(TaskbarUpdateTest, ARefusedUpdateLeavesTheButtonAlone) {
  UnitConfig config;
  config.application.version = "001.005.020";
  usb.AddUnit(config);
  taskbar.inForeground = false;
  {
    BoxAnswerer boxes(taskbar, {IDOK});
    EXPECT_EQ(controller.OpenProgressWindow(parent, &loader, &image), 0);
  }
  EXPECT_EQ(taskbar.Calls().size(), 1u);  // the refusal's box, nothing of the taskbar
}

}  // namespace
