#include "ui/update_controller.h"

#include "image/firmware_image.h"
#include "ui/resource_ids.h"
#include "ui/result_message.h"
#include "usb/update_captures.h"
#include "usb/usb_fw_loader.h"

UpdateController::UpdateController(ProgressWindowView& view, KeepAwake* keepAwake, UnitLocks* unitLocks,
                                   UpdateCaptures* captures)
    : view_(view), keepAwake_(keepAwake), unitLocks_(unitLocks), captures_(captures) {}

int UpdateController::OpenProgressWindow(WindowRef parent, UsbFwLoader* loader, const FirmwareImageInfo* image) {
  parentWindow = parent;
  if (loader == nullptr || image == nullptr) return 0;
  this->loader = loader;
  this->image = image;
  if (loader->IsBusy()) {
    view_.ShowMessage(parent, IDS_UPDATE_RUNNING, IDS_CAPTION_INFORMATION, WIN_MB_ICONINFORMATION);
    return 0;
  }
  session_.reset();  // the last update's session holds its unit until its worker is gone
  if (captures_ != nullptr) captures_->BeginUpdate();
  session_.emplace(*loader, *image, static_cast<UpdateView&>(*this), SessionOptions{{}, keepAwake_, unitLocks_});
  // The parent is disabled before the checks run: their message boxes run a message loop, and "Update!" or
  // "Exit" pressed meanwhile would reach a half-made update. The destruction of a window that cannot start
  // enables it again.
  view_.EnableParent(parent, false);
  progressWindow = view_.CreateProgressWindow(parent, *this);
  // A window that destroyed itself during its initialisation was not created, whatever handle the window
  // system hands back for it (not every dialog manager gives null then).
  if (progressWindow == nullptr || !windowOpen_) {
    progressWindow = nullptr;
    view_.EnableParent(parent, true);
    return 0;
  }
  view_.ShowProgressWindow(progressWindow);
  return 1;
}

void UpdateController::OnOpened(WindowRef window) {
  progressWindow = window;
  windowOpen_ = true;
  if (!session_) return;
  session_->SetNotifyTarget(window);  // the loader posts to the window
  session_->Begin();                  // an update that cannot start has ended, and its window with it
}

void UpdateController::OnCancelAsked(WindowRef) {
  if (session_) session_->OnCancelAsked();
}

void UpdateController::OnStepTimer(WindowRef window, std::uintptr_t timerId) {
  view_.KillTimer(window, timerId);
  if (session_) session_->OnStepTimer(timerId);
}

void UpdateController::OnUpdateNotify(WindowRef, ResultCode code) {
  if (session_) session_->OnUpdateNotify(code);
}

void UpdateController::OnClosed() {
  if (session_) session_->OnViewClosed();
  windowOpen_ = false;
  view_.EnableParent(parentWindow, true);
  view_.ForegroundParent(parentWindow);
}

void UpdateController::StageEntered(UpdateStage stage, UpdateStep step) {
  const std::uint16_t line = StageLine(stage, step);
  if (line != 0) view_.AddStatusLine(progressWindow, line);
}

void UpdateController::ProgressMoved(const UpdateProgress& progress) {
  view_.SetBarPosition(progressWindow, progress.barPosition);
}

void UpdateController::PauseStarted(UpdateStep next, std::uint32_t ms) {
  view_.SetTimer(progressWindow, static_cast<std::uintptr_t>(next), ms);
}

bool UpdateController::Ask(UpdateQuestion question) {
  if (question != UpdateQuestion::CancelUpdate) return true;  // the window program asks nothing before writing
  // A box that could not be shown (answer 0) counts as yes.
  return view_.ShowMessage(progressWindow, IDS_CONFIRM_ABORT, IDS_CAPTION_INFORMATION, UI_QUESTION_STYLE) != WIN_IDNO;
}

void UpdateController::Ended(const UpdateEnd& end) {
  // The capture is whole on disk while the user reads the message.
  if (captures_ != nullptr) captures_->EndUpdate();
  switch (end.ending) {
    case UpdateEnding::Completed:
      view_.ShowMessage(progressWindow, IDS_UPDATE_COMPLETED, IDS_CAPTION_INFORMATION, WIN_MB_ICONINFORMATION);
      break;
    case UpdateEnding::Failed:  // the same words whatever the code
      view_.SetBarError(progressWindow);
      view_.SetBarPosition(progressWindow, 100);
      view_.ShowMessage(progressWindow, IDS_UPDATE_FAILED, IDS_CAPTION_ERROR, WIN_MB_ICONERROR);
      break;
    case UpdateEnding::NotStarted:  // its message has been shown
    case UpdateEnding::Cancelled:
      break;
  }
  DestroyProgressWindow(progressWindow);
}

void UpdateController::ShowResultMessage(ResultCode code) {
  ResultMessage message{};
  if (ResultMessageFor(code, &message)) view_.ShowMessage(progressWindow, message.text, message.caption, message.style);
}

void UpdateController::DestroyProgressWindow(WindowRef window) {
  if (!windowOpen_ || window != progressWindow) return;
  view_.DestroyProgressWindow(window);
}
