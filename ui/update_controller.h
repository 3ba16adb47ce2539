#pragma once
// UpdateController: carries one whole update of the unit, from "Update!" until the progress window closes.
// It reads the unit's state, refuses a downgrade or a foreign hardware, chooses the plan, starts each step on
// the loader, turns the loader's notifications into the progress bar and the status lines, chains the steps
// with five-second timers and reports the outcome. It runs on the interface thread only and knows no window
// system: what happens to the window arrives as events (OnOpened, OnCancelAsked, OnStepTimer, OnUpdateNotify,
// OnClosed), what to show goes to a ProgressView, time is a Clock.

#include <cstdint>
#include <functional>

#include "app/clock.h"
#include "app/message_poster.h"
#include "ui/progress_view.h"
#include "ui/update_step.h"
#include "usb/device_info.h"
#include "usb/result_code.h"

class KeepAwake;
class UsbFwLoader;
struct FirmwareImageInfo;

inline constexpr std::uint32_t STEP_PAUSE_MS = 5000;  // the wait between two steps
inline constexpr std::uint32_t CANCEL_WAIT_MS = 500;  // the wait after a confirmed cancel

// The number of a version text "a.b.c" read as "%d.%d.%d": (a * 1000 + b) * 1000 + c in 32-bit arithmetic;
// false if the text does not give exactly three numbers.
bool ReadVersionNumber(const char* text, std::uint32_t* number);

class UpdateController {
 public:
  // `keepAwake` (may be null) is held from the start of the first step until the update is over, so that the
  // PC does not sleep while the unit is written or between its steps.
  UpdateController(ProgressView& view, Clock& clock, KeepAwake* keepAwake = nullptr);
  UpdateController(const UpdateController&) = delete;
  UpdateController& operator=(const UpdateController&) = delete;

  // The one controller of the process, made by start-up from the program's context (CreateInstance) before
  // the first main window; it lives until the process ends.
  static UpdateController& CreateInstance(ProgressView& view, Clock& clock, KeepAwake* keepAwake);
  static UpdateController& Instance();

  // A front end that asks before anything is written (the terminal program) sets the question here: it is asked
  // once the unit has passed the checks, before the first step; no: nothing is written and the window closes
  // without a message. The window program asks no such question.
  void SetStartQuestion(std::function<bool()> ask) { startQuestion_ = std::move(ask); }

  // Nonzero if the progress window was created and shown.
  int OpenProgressWindow(WindowRef parent, UsbFwLoader* loader, const FirmwareImageInfo* image);

  // What happened to the progress window, as its view reports it.
  // The window was made and is being initialised (not shown yet): reads the unit and starts the first step.
  void OnOpened(WindowRef window);
  // "Cancel", the caption's close button or Esc: asks, and on yes stops the update and closes the window.
  void OnCancelAsked(WindowRef window);
  // The one-shot timer `timerId` fired: it is killed and the step of that number starts.
  void OnStepTimer(WindowRef window, std::uintptr_t timerId);
  // The window is being destroyed.
  void OnClosed();

  int StartUpdate();
  int StartUpdateStep(UpdateStep step);
  void OnUpdateNotify(WindowRef window, ResultCode code);
  void SetOverallProgress(std::uint32_t stepPercent);
  void ShowStage(UpdateStage stage);
  void ShowResultMessage(ResultCode code);
  int ConfirmCancel(WindowRef window);

  // Fields, in order.
  WindowRef progressWindow = nullptr;  // not cleared when the window is destroyed
  WindowRef parentWindow = nullptr;
  UsbFwLoader* loader = nullptr;  // not owned
  UpdateStage stage = STAGE_NONE;
  UpdateStep step = STEP_NONE;
  DeviceInfo deviceInfo{};
  const FirmwareImageInfo* image = nullptr;  // not owned

 private:
  void DestroyProgressWindow(WindowRef window);
  void LetSleep();

  ProgressView& view_;
  Clock& clock_;
  KeepAwake* keepAwake_;
  std::function<bool()> startQuestion_;
  // Whether the progress window exists: from its initialisation to its destruction. A window that a nested
  // message loop has already destroyed is not destroyed again.
  bool windowOpen_ = false;
};
