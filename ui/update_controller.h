#pragma once
// UpdateController: the window program's one update controller, made at start-up from the program's context. It
// carries each update from "Update!" until the progress window closes: it opens the progress window, runs the
// update as an UpdateSession, and is the one adapter that turns the session's events into what the progress
// window shows (status lines by text id, the bar and its error state, message boxes by string id and style, the
// five-second timers between the steps, the main window disabled and enabled again). The progress window's
// events (opened, cancel asked, a timer fired, a notification, closed) arrive from its dialog procedure.

#include <cstdint>
#include <optional>

#include "app/message_poster.h"
#include "ui/progress_window_view.h"
#include "ui/update_session.h"

class KeepAwake;
class UnitLocks;
class UpdateCaptures;
class UsbFwLoader;
struct FirmwareImageInfo;

class UpdateController final : private UpdateView {
 public:
  // `keepAwake` (may be null) is held from the start of the first step until the update is over; `unitLocks`
  // (may be null) keeps other processes off the unit while it is updated. `captures` (may be null) begins a
  // capture file for each update and writes it whole when the update ends.
  explicit UpdateController(ProgressWindowView& view, KeepAwake* keepAwake = nullptr, UnitLocks* unitLocks = nullptr,
                            UpdateCaptures* captures = nullptr);
  UpdateController(const UpdateController&) = delete;
  UpdateController& operator=(const UpdateController&) = delete;

  // Nonzero if the progress window was created and shown.
  int OpenProgressWindow(WindowRef parent, UsbFwLoader* loader, const FirmwareImageInfo* image);

  // What happened to the progress window, as its view reports it.
  // The window was made and is being initialised (not shown yet): reads the unit and starts the first step.
  void OnOpened(WindowRef window);
  // "Cancel", the caption's close button or Esc: asks, and on yes stops the update and closes the window.
  void OnCancelAsked(WindowRef window);
  // The one-shot timer `timerId` fired: it is killed and the step of that number starts.
  void OnStepTimer(WindowRef window, std::uintptr_t timerId);
  // The loader's notification arrived.
  void OnUpdateNotify(WindowRef window, ResultCode code);
  // The window is being destroyed.
  void OnClosed();

  // The message for a step that could not start.
  void ShowResultMessage(ResultCode code);

  // The update of now (or the last one): its step, its stage and what the unit reported.
  UpdateStep Step() const { return session_ ? session_->Step() : STEP_NONE; }
  UpdateStage Stage() const { return session_ ? session_->Stage() : STAGE_NONE; }
  UpdateSession* Session() { return session_ ? &*session_ : nullptr; }

  // Fields, in order.
  WindowRef progressWindow = nullptr;  // not cleared when the window is destroyed
  WindowRef parentWindow = nullptr;
  UsbFwLoader* loader = nullptr;             // not owned
  const FirmwareImageInfo* image = nullptr;  // not owned

 private:
  // The session's events, as the progress window shows them.
  void StageEntered(UpdateStage stage, UpdateStep step) override;
  void StepStarted(const StepStart&) override {}
  void ProgressMoved(const UpdateProgress& progress) override;
  void PauseStarted(UpdateStep next, std::uint32_t ms) override;
  bool Ask(UpdateQuestion question) override;
  void StepNotStarted(ResultCode code) override { ShowResultMessage(code); }
  void Ended(const UpdateEnd& end) override;

  void DestroyProgressWindow(WindowRef window);

  ProgressWindowView& view_;
  KeepAwake* keepAwake_;
  UnitLocks* unitLocks_;
  UpdateCaptures* captures_;
  std::optional<UpdateSession> session_;
  // Whether the progress window exists: from its initialisation to its destruction. A window that a nested
  // message loop has already destroyed is not destroyed again.
  bool windowOpen_ = false;
};
