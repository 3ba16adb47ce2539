#include "ui/update_controller.h"

#include <cstring>
#include <string_view>

#include "app/keep_awake.h"
#include "image/firmware_image.h"
#include "usb/usb_fw_loader.h"

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// One "%d" conversion: white space, an optional sign, at least one digit. A number too large for 32 bits
// keeps its low 32 bits.
bool ReadDecimal(std::string_view text, std::size_t& at, std::uint32_t* value) {
  while (at < text.size() && IsSpace(text[at])) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  if (at >= text.size() || !IsDigit(text[at])) return false;
  std::uint32_t v = 0;
  while (at < text.size() && IsDigit(text[at])) v = v * 10u + static_cast<std::uint32_t>(text[at++] - '0');
  *value = negative ? 0u - v : v;
  return true;
}

bool ReadVersionNumber(std::string_view text, std::uint32_t* number) {
  std::uint32_t part[3];
  std::size_t at = 0;
  for (int i = 0; i < 3; ++i) {
    if (i > 0) {
      if (at >= text.size() || text[at] != '.') return false;
      ++at;
    }
    if (!ReadDecimal(text, at, &part[i])) return false;
  }
  *number = (part[0] * 1000u + part[1]) * 1000u + part[2];
  return true;
}

// A text field of a fixed size, up to its terminator but never past the field.
template <std::size_t N>
std::string_view FieldText(const char (&field)[N]) {
  const void* end = std::memchr(field, 0, N);
  return {field, end ? static_cast<std::size_t>(static_cast<const char*>(end) - field) : N};
}

}  // namespace

bool ReadVersionNumber(const char* text, std::uint32_t* number) {
  return ReadVersionNumber(std::string_view(text), number);
}

UpdateController::UpdateController(ProgressView& view, Clock& clock, KeepAwake* keepAwake)
    : view_(view), clock_(clock), keepAwake_(keepAwake) {}

namespace {
UpdateController* g_instance = nullptr;  // made once by start-up, on the interface thread
}  // namespace

UpdateController& UpdateController::CreateInstance(ProgressView& view, Clock& clock, KeepAwake* keepAwake) {
  // Never destroyed: it outlives every main window.
  if (g_instance == nullptr) g_instance = new UpdateController(view, clock, keepAwake);
  return *g_instance;
}

UpdateController& UpdateController::Instance() { return *g_instance; }

int UpdateController::OpenProgressWindow(WindowRef parent, UsbFwLoader* loader, const FirmwareImageInfo* image) {
  parentWindow = parent;
  if (loader == nullptr || image == nullptr) return 0;
  this->loader = loader;
  this->image = image;
  stage = STAGE_NONE;
  step = STEP_NONE;
  if (loader->IsBusy()) {
    view_.ShowMessage(parent, IDS_UPDATE_RUNNING, IDS_CAPTION_INFORMATION, WIN_MB_ICONINFORMATION);
    return 0;
  }
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
  loader->SetNotifyWindow(window, 0, WM_UPDATE_NOTIFY);
  if (StartUpdate() == 0) DestroyProgressWindow(window);
}

void UpdateController::OnCancelAsked(WindowRef window) {
  if (ConfirmCancel(window) == 0) return;
  clock_.SleepMs(CANCEL_WAIT_MS);
  DestroyProgressWindow(window);
}

void UpdateController::OnStepTimer(WindowRef window, std::uintptr_t timerId) {
  view_.KillTimer(window, timerId);
  // An identifier beyond 32 bits is no step either.
  const UpdateStep next = timerId <= 0x7FFFFFFF ? static_cast<UpdateStep>(timerId) : -1;
  if (StartUpdateStep(next) == 0) OnUpdateNotify(window, FWL_ERR_FAILED);
}

void UpdateController::OnClosed() {
  LetSleep();  // whatever ended the update: the window goes with it
  windowOpen_ = false;
  view_.EnableParent(parentWindow, true);
  view_.ForegroundParent(parentWindow);
}

int UpdateController::StartUpdate() {
  const ResultCode read = loader->ReadDeviceInfo(&deviceInfo);
  if (read != FWL_OK) {
    ShowResultMessage(read);
    return 0;
  }

  // A downgrade is refused first; a device text that is not three numbers is not compared, an image text that
  // is not three numbers counts as 0.
  std::uint32_t imageNumber = 0;
  if (!ReadVersionNumber(FieldText(image->version), &imageNumber)) imageNumber = 0;
  std::uint32_t deviceNumber = 0;
  if (ReadVersionNumber(FieldText(deviceInfo.appVersion), &deviceNumber) && deviceNumber > imageNumber) {
    ShowResultMessage(FWL_ERR_NEWER_FIRMWARE);
    return 0;
  }

  if (deviceInfo.hardwareId < image->hardwareLow || deviceInfo.hardwareId > image->hardwareHigh) {
    ShowResultMessage(FWL_ERR_WRONG_DEVICE);
    return 0;
  }

  if (startQuestion_ && !startQuestion_()) return 0;

  // The copy that the unit reports valid is kept until the other one has been written.
  return StartUpdateStep(deviceInfo.boot2Flag != 0 ? STEP_BOOT1_FIRST : STEP_BOOT2_FIRST);
}

int UpdateController::StartUpdateStep(UpdateStep next) {
  step = next;
  if (!IsUpdateStep(next)) return 0;
  const UpdateStepEntry& entry = UPDATE_STEP_TABLE[next];
  // Held before the worker starts writing; let go at once when it does not start.
  if (keepAwake_ != nullptr) keepAwake_->Hold();
  const ResultCode started = loader->UpdateFirmwareFromResource(entry.resourceId, entry.flashAddress);
  if (started != FWL_STARTED) {
    LetSleep();
    ShowResultMessage(started);
    return 0;
  }
  ShowStage(STAGE_STARTED);
  return 1;
}

void UpdateController::OnUpdateNotify(WindowRef window, ResultCode code) {
  if (code == FWL_OK && IsUpdateStep(step)) {
    const UpdateStep next = UPDATE_STEP_TABLE[step].nextStep;
    if (next != STEP_NONE) {
      view_.SetTimer(window, static_cast<std::uintptr_t>(next), STEP_PAUSE_MS);
      return;
    }
    LetSleep();  // nothing more is written; the final message may wait long for the user
    SetOverallProgress(100);
    ShowStage(STAGE_COMPLETED);
    view_.ShowMessage(window, IDS_UPDATE_COMPLETED, IDS_CAPTION_INFORMATION, WIN_MB_ICONINFORMATION);
    DestroyProgressWindow(window);
    return;
  }

  if (code == FWL_PROGRESS) {
    // The worker may already be ahead of the notification: these are the values of now.
    const std::uint32_t programPercent = loader->ProgramPercent();
    const std::uint32_t verifyPercent = loader->VerifyPercent();
    SetOverallProgress((80 * programPercent + 20 * verifyPercent) / 100);
    // The pass reports 0 after its first chunk. A notification handled late may already read more; the first
    // one of a step still means that programming has begun.
    if (programPercent == 0 || stage < STAGE_PROGRAMMING) ShowStage(STAGE_PROGRAMMING);
    if (verifyPercent != 0) ShowStage(STAGE_VERIFYING);
    return;
  }

  // A failure, or success at a step that is none: the same words whatever the code.
  LetSleep();
  ShowStage(STAGE_FAILED);
  view_.SetBarError(progressWindow);
  view_.SetBarPosition(progressWindow, 100);
  view_.ShowMessage(window, IDS_UPDATE_FAILED, IDS_CAPTION_ERROR, WIN_MB_ICONERROR);
  DestroyProgressWindow(window);
}

void UpdateController::SetOverallProgress(std::uint32_t stepPercent) {
  std::uint32_t position = 0;
  if (IsUpdateStep(step)) {
    const UpdateStepEntry& entry = UPDATE_STEP_TABLE[step];
    position = stepPercent * (entry.barTo - entry.barFrom) / 100 + entry.barFrom;
  }
  view_.SetBarPosition(progressWindow, position);
}

void UpdateController::ShowStage(UpdateStage next) {
  if (next == stage) return;
  const std::uint16_t line = StageLine(next, step);
  if (line != 0) view_.AddStatusLine(progressWindow, line);
  stage = next;
}

void UpdateController::ShowResultMessage(ResultCode code) {
  std::uint16_t text = IDS_FIRMWARE_DATA_INVALID;
  std::uint16_t caption = IDS_CAPTION_ERROR;
  std::uint32_t style = WIN_MB_ICONWARNING;
  switch (code) {
    case FWL_OK:
      return;
    case FWL_ERR_NOT_FOUND:
      text = IDS_DEVICE_NOT_FOUND;
      break;
    case FWL_ERR_APP_MODE:
      text = IDS_DEVICE_IN_APP_MODE;
      break;
    case FWL_BUSY:
      text = IDS_UPDATE_RUNNING;
      caption = IDS_CAPTION_INFORMATION;
      style = WIN_MB_ICONINFORMATION;
      break;
    case FWL_ERR_NEWER_FIRMWARE:
      text = IDS_NEWER_FIRMWARE;
      break;
    case FWL_ERR_WRONG_DEVICE:
      text = IDS_WRONG_DEVICE;
      break;
    default:
      style = WIN_MB_ICONERROR;
      break;
  }
  view_.ShowMessage(progressWindow, text, caption, style);
}

int UpdateController::ConfirmCancel(WindowRef window) {
  if (!loader->IsBusy() && step == STEP_NONE) return 1;
  // A box that could not be shown (answer 0) counts as yes.
  if (view_.ShowMessage(window, IDS_CONFIRM_ABORT, IDS_CAPTION_INFORMATION, UI_QUESTION_STYLE) == WIN_IDNO) return 0;
  loader->RequestAbort();
  return 1;
}

void UpdateController::LetSleep() {
  if (keepAwake_ != nullptr) keepAwake_->Release();
}

void UpdateController::DestroyProgressWindow(WindowRef window) {
  if (!windowOpen_ || window != progressWindow) return;
  view_.DestroyProgressWindow(window);
}
