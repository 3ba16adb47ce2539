#pragma once
// What the update sequencer needs of the window system: the progress window (template 119) with its status
// list and progress bar, message boxes by string id, one-shot timers, and the parent window.
// Implementations: the Win32 dialog (platform/win32/progress_window.cpp), a fake view in the tests.
//
// The view tells the controller what happened to the window through its event operations (opened, cancel
// asked, a step timer fired, closed); a Win32 dialog procedure translates its messages into them.

#include <cstdint>

#include "app/message_poster.h"
#include "app/windows_numbers.h"

class UpdateController;

// Questions: yes/no, the question icon, "No" the default button.
inline constexpr std::uint32_t UI_QUESTION_STYLE = WIN_MB_YESNO | WIN_MB_ICONQUESTION | WIN_MB_DEFBUTTON2;

class ProgressWindowView {
 public:
  virtual ~ProgressWindowView() = default;

  // Creates the progress window, hidden, owned by `parent`, its events going to `controller`. Its opening
  // (controller.OnOpened) runs inside this call; returns null if the window could not be created or destroyed
  // itself while it opened.
  virtual WindowRef CreateProgressWindow(WindowRef parent, UpdateController& controller) = 0;
  virtual void ShowProgressWindow(WindowRef window) = 0;
  // Its destruction delivers controller.OnClosed(); pending timers die with the window.
  virtual void DestroyProgressWindow(WindowRef window) = 0;

  // Appends the text `textId` in the interface language to the status list; a text that cannot be loaded
  // adds nothing.
  virtual void AddStatusLine(WindowRef window, std::uint16_t textId) = 0;
  virtual void SetBarPosition(WindowRef window, std::uint32_t position) = 0;
  virtual void SetBarError(WindowRef window) = 0;

  // A message box by string ids; returns the button pressed, or 0 if no box was shown (text missing).
  // Runs its own message loop: messages of the progress window are handled while it is open.
  virtual int ShowMessage(WindowRef owner, std::uint16_t textId, std::uint16_t captionId, std::uint32_t style) = 0;

  // A one-shot timer: controller.OnStepTimer with `id` once `ms` have passed; the receiver kills it.
  virtual void SetTimer(WindowRef window, std::uintptr_t id, std::uint32_t ms) = 0;
  virtual void KillTimer(WindowRef window, std::uintptr_t id) = 0;

  virtual void EnableParent(WindowRef parent, bool enable) = 0;
  virtual void ForegroundParent(WindowRef parent) = 0;
};
