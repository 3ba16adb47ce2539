#pragma once
// The progress window on Windows: the modeless dialog of template 119 in the interface language, owned by the
// main window, whose dialog procedure turns its messages into the UpdateController's events.

#include <windows.h>

#include "ui/progress_window_view.h"

class TaskbarProgress;

// The progress window's dialog procedure; the creation parameter is the window's UpdateController.
INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

class Win32ProgressView final : public ProgressWindowView {
 public:
  // Maps the interval that the controller asks of a timer to the one set; the program keeps it, tests shorten
  // the five-second waits. Null: the interval as asked.
  using TimerIntervalFn = UINT (*)(UINT requestedMs);
  // `taskbar` mirrors the bar on the main window's taskbar button; null: the program's.
  explicit Win32ProgressView(TimerIntervalFn timerInterval = nullptr, TaskbarProgress* taskbar = nullptr);

  WindowRef CreateProgressWindow(WindowRef parent, UpdateController& controller) override;
  void ShowProgressWindow(WindowRef window) override;
  void DestroyProgressWindow(WindowRef window) override;
  void AddStatusLine(WindowRef window, std::uint16_t textId) override;
  void SetBarPosition(WindowRef window, std::uint32_t position) override;
  void SetBarError(WindowRef window) override;
  int ShowMessage(WindowRef owner, std::uint16_t textId, std::uint16_t captionId, std::uint32_t style) override;
  void SetTimer(WindowRef window, std::uintptr_t id, std::uint32_t ms) override;
  void KillTimer(WindowRef window, std::uintptr_t id) override;
  void EnableParent(WindowRef parent, bool enable) override;
  void ForegroundParent(WindowRef parent) override;

 private:
  TimerIntervalFn timerInterval_;
  TaskbarProgress* taskbar_;
  HWND parent_ = nullptr;  // the main window, whose taskbar button shows the progress
};
