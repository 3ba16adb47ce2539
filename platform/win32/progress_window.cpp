#include "platform/win32/progress_window.h"

#include <commctrl.h>

#include "platform/win32/message_box.h"
#include "platform/win32/taskbar_progress.h"
#include "platform/win32/ui_dialog.h"
#include "ui/resource_ids.h"
#include "ui/ui_language.h"
#include "ui/update_controller.h"
#include "usb/result_code.h"

static_assert(WM_UPDATE_NOTIFY == WM_APP, "the loader's notification is the first application message");

namespace {

HWND Hwnd(WindowRef window) { return static_cast<HWND>(window); }

}  // namespace

// The progress window's message table: each message becomes the event it stands for; the answers are what the
// dialog manager expects. The window's controller comes with its creation and is kept in the window.
INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) SetWindowLongPtrW(window, DWLP_USER, lParam);
  auto* controller = reinterpret_cast<UpdateController*>(GetWindowLongPtrW(window, DWLP_USER));
  if (controller == nullptr) return FALSE;
  switch (message) {
    case WM_INITDIALOG:
      controller->OnOpened(window);
      return FALSE;  // the dialog manager does not set the focus
    case WM_COMMAND:
      // Whatever the notification code; the caption's close button arrives here as IDCANCEL too.
      if (LOWORD(wParam) != IDCANCEL) return FALSE;
      controller->OnCancelAsked(window);
      return TRUE;
    case WM_TIMER:
      controller->OnStepTimer(window, wParam);
      return FALSE;
    case WM_UPDATE_NOTIFY:  // the loader in wParam is not examined
      controller->OnUpdateNotify(window, static_cast<ResultCode>(lParam));
      return FALSE;
    case WM_DESTROY:
      controller->OnClosed();
      SetWindowLongPtrW(window, DWLP_USER, 0);
      return FALSE;
    default:
      return FALSE;
  }
}

Win32ProgressView::Win32ProgressView(TimerIntervalFn timerInterval, TaskbarProgress* taskbar)
    : timerInterval_(timerInterval), taskbar_(taskbar != nullptr ? taskbar : &ProgramTaskbarProgress()) {
  // The progress bar's class, in the version with the error state (the manifest asks for it).
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
}

WindowRef Win32ProgressView::CreateProgressWindow(WindowRef parent, UpdateController& controller) {
  parent_ = Hwnd(parent);
  return CreateUiDialog(IDD_PROGRESS_WINDOW, Hwnd(parent), ProgressDialogProc, reinterpret_cast<LPARAM>(&controller));
}

void Win32ProgressView::ShowProgressWindow(WindowRef window) {
  ShowWindow(Hwnd(window), SW_SHOW);
  taskbar_->OnUpdateShown(parent_);
}

void Win32ProgressView::DestroyProgressWindow(WindowRef window) {
  // A window that is already gone is left alone.
  if (IsWindow(Hwnd(window))) DestroyWindow(Hwnd(window));
  taskbar_->OnUpdateGone(parent_);
}

void Win32ProgressView::AddStatusLine(WindowRef window, std::uint16_t textId) {
  wchar_t text[UI_TEXT_CAPACITY];
  if (LoadUiString(textId, text) <= 0) return;
  SendDlgItemMessageW(Hwnd(window), IDC_STATUS_LIST, LB_INSERTSTRING, static_cast<WPARAM>(-1),
                      reinterpret_cast<LPARAM>(text));
}

void Win32ProgressView::SetBarPosition(WindowRef window, std::uint32_t position) {
  SendDlgItemMessageW(Hwnd(window), IDC_PROGRESS_BAR, PBM_SETPOS, position, 0);
  taskbar_->OnBarPosition(parent_, position);
}

void Win32ProgressView::SetBarError(WindowRef window) {
  SendDlgItemMessageW(Hwnd(window), IDC_PROGRESS_BAR, PBM_SETSTATE, PBST_ERROR, 0);
  taskbar_->OnBarError(parent_);
}

int Win32ProgressView::ShowMessage(WindowRef owner, std::uint16_t textId, std::uint16_t captionId,
                                   std::uint32_t style) {
  const FinalMessageAttention attention(*taskbar_, parent_, textId);
  return MessageBoxFromIds(Hwnd(owner), textId, captionId, style);
}

void Win32ProgressView::SetTimer(WindowRef window, std::uintptr_t id, std::uint32_t ms) {
  ::SetTimer(Hwnd(window), id, timerInterval_ != nullptr ? timerInterval_(ms) : ms, nullptr);
}

void Win32ProgressView::KillTimer(WindowRef window, std::uintptr_t id) { ::KillTimer(Hwnd(window), id); }

void Win32ProgressView::EnableParent(WindowRef parent, bool enable) { EnableWindow(Hwnd(parent), enable); }

void Win32ProgressView::ForegroundParent(WindowRef parent) { SetForegroundWindow(Hwnd(parent)); }
