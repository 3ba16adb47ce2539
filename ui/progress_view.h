#pragma once
// What the update sequencer needs of the window system: the progress window (template 119) with its status
// list and progress bar, message boxes by string id, one-shot timers, and the parent window.
// Implementations: the Win32 dialog (platform/win32/progress_window.cpp), a fake view in the tests.
//
// The progress window's messages reach UpdateController::ProgressDialogProc with the numbers of the Windows
// dialog manager, so that a Win32 dialog procedure forwards them unchanged and other front ends (a terminal,
// the tests) post the same numbers.

#include <cstdint>

#include "app/message_poster.h"

class UpdateController;

inline constexpr std::uint32_t UI_WM_DESTROY = 0x0002;
inline constexpr std::uint32_t UI_WM_INITDIALOG = 0x0110;
inline constexpr std::uint32_t UI_WM_COMMAND = 0x0111;
inline constexpr std::uint32_t UI_WM_TIMER = 0x0113;
inline constexpr std::uintptr_t UI_IDCANCEL = 2;

// Message box styles and answers, numbered as the Windows ones.
inline constexpr std::uint32_t UI_MB_ICONERROR = 0x10;
inline constexpr std::uint32_t UI_MB_ICONWARNING = 0x30;
inline constexpr std::uint32_t UI_MB_ICONINFORMATION = 0x40;
inline constexpr std::uint32_t UI_MB_QUESTION = 0x124;  // yes/no, question icon, "No" the default button
inline constexpr int UI_IDNO = 7;

class ProgressView {
 public:
  virtual ~ProgressView() = default;

  // Creates the progress window, hidden, owned by `parent`, its messages going to controller.ProgressDialogProc.
  // Its initialisation runs inside this call; returns null if the window could not be created or destroyed
  // itself during its initialisation.
  virtual WindowRef CreateProgressWindow(WindowRef parent, UpdateController& controller) = 0;
  virtual void ShowProgressWindow(WindowRef window) = 0;
  // Its destruction delivers UI_WM_DESTROY; pending timers die with the window.
  virtual void DestroyProgressWindow(WindowRef window) = 0;

  // Appends the text `textId` in the interface language to the status list; a text that cannot be loaded
  // adds nothing.
  virtual void AddStatusLine(WindowRef window, std::uint16_t textId) = 0;
  virtual void SetBarPosition(WindowRef window, std::uint32_t position) = 0;
  virtual void SetBarError(WindowRef window) = 0;

  // A message box by string ids; returns the button pressed, or 0 if no box was shown (text missing).
  // Runs its own message loop: messages of the progress window are handled while it is open.
  virtual int ShowMessage(WindowRef owner, std::uint16_t textId, std::uint16_t captionId, std::uint32_t style) = 0;

  // A one-shot timer: UI_WM_TIMER with `id` once `ms` have passed; the receiver kills it.
  virtual void SetTimer(WindowRef window, std::uintptr_t id, std::uint32_t ms) = 0;
  virtual void KillTimer(WindowRef window, std::uintptr_t id) = 0;

  virtual void EnableParent(WindowRef parent, bool enable) = 0;
  virtual void ForegroundParent(WindowRef parent) = 0;
};

// The platform's progress window (the Win32 dialog on Windows).
ProgressView& PlatformProgressView();
