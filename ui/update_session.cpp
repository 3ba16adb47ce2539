#include "ui/update_session.h"

#include <atomic>
#include <cstring>
#include <string_view>

#include "app/clock.h"
#include "app/keep_awake.h"
#include "app/trace.h"
#include "app/unit_lock.h"
#include "image/firmware_image.h"
#include "usb/unit_list.h"
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

namespace {
// A token of its own for each session of the process: a late notification of a session that has ended is never
// taken for one of a later session, wherever that one lives.
WindowRef NewNotifyTarget() {
  static std::atomic<std::uintptr_t> next{1};
  return reinterpret_cast<WindowRef>(next.fetch_add(1));
}
}  // namespace

UpdateSession::UpdateSession(UsbFwLoader& loader, const FirmwareImageInfo& image, UpdateView& view,
                             SessionOptions options)
    : loader_(loader), image_(image), view_(view), options_(std::move(options)), notifyTarget_(NewNotifyTarget()) {}

UpdateSession::~UpdateSession() = default;

bool UpdateSession::Begin() { return Prepare() && Start(); }

bool UpdateSession::Prepare() {
  loader_.SetNotifyWindow(notifyTarget_, 0, WM_UPDATE_NOTIFY);
  stage_ = STAGE_NONE;
  step_ = STEP_NONE;
  if (loader_.IsBusy()) {
    Refuse(FWL_BUSY);
    return false;
  }
  return CheckUnit();
}

bool UpdateSession::Start() { return prepared_ && !ended_ && StartChecked(); }

void UpdateSession::NoteUnits(const std::vector<UnitEntry>& units) {
  if (!prepared_ || ended_ || unitLeft_ || stepRunning_ || loader_.IsBusy() || location_.empty()) return;
  if (FindUnit(units, location_) != nullptr) return;
  unitLeft_ = true;
  Trace("The unit left its port %s during the update: no more is written to that port.", location_.c_str());
}

// The unit is chosen once, here, and pinned by its location for every opening of this update: the device
// query's attempts and reset, each step's probe, its worker and its reset. Its lock keeps other processes off it.
ResultCode UpdateSession::PickUnit() {
  const std::vector<UnitEntry> units = ListUnits(*loader_.Link().usb);
  const UnitEntry* unit =
      options_.unit.empty() ? (units.empty() ? nullptr : &units.front()) : FindUnit(units, options_.unit);
  if (unit == nullptr) return FWL_ERR_NOT_FOUND;
  if (!unit->location.empty()) {
    loader_.PinUnit(unit->location);
  } else if (units.size() == 1) {
    loader_.UnpinUnit();  // a platform that tells no location: a unit alone on the bus is the one
  } else {
    return FWL_ERR_NOT_FOUND;  // it could not be told apart from the others
  }
  location_ = unit->location.empty() ? unit->path : unit->location;
  if (options_.unitLocks != nullptr && !lock_) {
    if (options_.unitLocks->TryLock(location_, &lock_) == UnitLockResult::Busy) return FWL_BUSY;
  }
  return FWL_OK;
}

int UpdateSession::StartUpdate() { return CheckUnit() && StartChecked() ? 1 : 0; }

bool UpdateSession::CheckUnit() {
  const ResultCode picked = PickUnit();
  if (picked != FWL_OK) {
    Refuse(picked);
    return false;
  }
  const ResultCode read = loader_.ReadDeviceInfo(&deviceInfo_);
  if (read != FWL_OK) {
    Refuse(read);
    return false;
  }

  // A downgrade is refused first; a device text that is not three numbers is not compared, an image text that
  // is not three numbers counts as 0.
  std::uint32_t imageNumber = 0;
  if (!ReadVersionNumber(FieldText(image_.version), &imageNumber)) imageNumber = 0;
  std::uint32_t deviceNumber = 0;
  if (ReadVersionNumber(FieldText(deviceInfo_.appVersion), &deviceNumber) && deviceNumber > imageNumber) {
    Refuse(FWL_ERR_NEWER_FIRMWARE);
    return false;
  }
  if (deviceInfo_.hardwareId < image_.hardwareLow || deviceInfo_.hardwareId > image_.hardwareHigh) {
    Refuse(FWL_ERR_WRONG_DEVICE);
    return false;
  }
  prepared_ = true;
  return true;
}

bool UpdateSession::StartChecked() {
  if (!view_.Ask(UpdateQuestion::StartUpdate)) {
    Finish(UpdateEnding::NotStarted, FWL_ABORTED);
    return false;
  }
  totalBytes_ = 2 * std::uint64_t{ImageSize(IDR_BOOTLOADER_IMAGE)} + ImageSize(IDR_APPLICATION_IMAGE);

  // The copy that the unit reports valid is kept until the other one has been written.
  if (StartUpdateStep(deviceInfo_.boot2Flag != 0 ? STEP_BOOT1_FIRST : STEP_BOOT2_FIRST) == 0) {
    Finish(UpdateEnding::NotStarted, lastStart_);
    return false;
  }
  return true;
}

int UpdateSession::StartUpdateStep(UpdateStep next) {
  step_ = next;
  if (!IsUpdateStep(next)) {
    lastStart_ = FWL_ERR_FAILED;
    return 0;
  }
  if (unitLeft_) {  // another unit may stand at the port now
    lastStart_ = FWL_ERR_NOT_FOUND;
    view_.StepNotStarted(FWL_ERR_NOT_FOUND);
    return 0;
  }
  const UpdateStepEntry& entry = UPDATE_STEP_TABLE[next];
  // Held before the worker starts writing; let go at once when it does not start.
  if (options_.keepAwake != nullptr) options_.keepAwake->Hold();
  const ResultCode started = loader_.UpdateFirmwareFromResource(entry.resourceId, entry.flashAddress);
  if (started != FWL_STARTED) {
    LetSleep();
    lastStart_ = started;
    view_.StepNotStarted(started);
    return 0;
  }
  ++stepsStarted_;
  stepRunning_ = true;
  view_.StepStarted(StepStart{next, stepsStarted_, entry.resourceId, entry.flashAddress, ImageSize(entry.resourceId)});
  ShowStage(STAGE_STARTED);
  return 1;
}

void UpdateSession::OnStepTimer(std::uintptr_t timerId) {
  if (ended_) return;
  pausing_ = false;
  // An identifier beyond 32 bits is no step either.
  const UpdateStep next = timerId <= 0x7FFFFFFF ? static_cast<UpdateStep>(timerId) : -1;
  if (StartUpdateStep(next) == 0) Fail(lastStart_);
}

// The worker of the step before posts its success, then lets go of the unit: a pause that is over before it
// has (a clock shared with other units' workers may jump) waits for it rather than start a step it would refuse.
bool UpdateSession::ResumeIfDue() {
  if (!pausing_ || ended_ || loader_.Link().clock->NowMs() < pauseDueMs_ || loader_.IsBusy()) return false;
  OnStepTimer(static_cast<std::uintptr_t>(pauseNext_));
  return true;
}

std::uint64_t UpdateSession::PauseRemainingMs() const {
  if (!pausing_) return 0;
  const std::uint64_t now = loader_.Link().clock->NowMs();
  return now >= pauseDueMs_ ? 0 : pauseDueMs_ - now;
}

bool UpdateSession::WorkerBusy() const { return loader_.IsBusy(); }

bool UpdateSession::Deliver(const PostedMessage& message) {
  if (message.message != WM_UPDATE_NOTIFY || message.window != notifyTarget_) return false;
  OnUpdateNotify(static_cast<ResultCode>(message.lParam));
  return true;
}

void UpdateSession::OnUpdateNotify(ResultCode code) {
  if (ended_ || viewClosed_) return;  // an update that is over hears no more of its worker
  if (code == FWL_OK && IsUpdateStep(step_)) {
    stepRunning_ = false;
    ++stepsDone_;
    bytesDone_ += ImageSize(UPDATE_STEP_TABLE[step_].resourceId);
    const UpdateStep next = UPDATE_STEP_TABLE[step_].nextStep;
    if (next != STEP_NONE) {
      pausing_ = true;
      pauseNext_ = next;
      pauseDueMs_ = loader_.Link().clock->NowMs() + STEP_PAUSE_MS;
      view_.PauseStarted(next, STEP_PAUSE_MS);
      return;
    }
    LetSleep();  // nothing more is written; the final message may wait long for the user
    SetOverallProgress(100);
    ShowStage(STAGE_COMPLETED);
    Finish(UpdateEnding::Completed, FWL_OK);
    return;
  }

  if (code == FWL_PROGRESS) {
    // The worker may already be ahead of the notification: these are the values of now.
    const std::uint32_t programPercent = loader_.ProgramPercent();
    const std::uint32_t verifyPercent = loader_.VerifyPercent();
    MoveProgress((80 * programPercent + 20 * verifyPercent) / 100, programPercent, verifyPercent != 0);
    // The pass reports 0 after its first chunk. A notification handled late may already read more; the first
    // one of a step still means that programming has begun.
    if (programPercent == 0 || stage_ < STAGE_PROGRAMMING) ShowStage(STAGE_PROGRAMMING);
    if (verifyPercent != 0) ShowStage(STAGE_VERIFYING);
    return;
  }

  // A failure, or success at a step that is none.
  Fail(code == FWL_OK ? FWL_ERR_FAILED : code);
}

void UpdateSession::SetOverallProgress(std::uint32_t stepPercent) {
  MoveProgress(stepPercent, stepPercent >= 100 ? 100 : loader_.ProgramPercent(), stepPercent > 80);
}

void UpdateSession::MoveProgress(std::uint32_t stepPercent, std::uint32_t programPercent, bool verifying) {
  UpdateProgress progress{step_, stepPercent, 0, verifying, 0, 0, bytesDone_, totalBytes_};
  if (IsUpdateStep(step_)) {
    const UpdateStepEntry& entry = UPDATE_STEP_TABLE[step_];
    progress.barPosition = stepPercent * (entry.barTo - entry.barFrom) / 100 + entry.barFrom;
    progress.stepBytes = ImageSize(entry.resourceId);
    progress.stepBytesWritten = std::uint64_t{programPercent > 100 ? 100 : programPercent} * progress.stepBytes / 100;
    if (stepRunning_) progress.bytesWritten += progress.stepBytesWritten;
  }
  view_.ProgressMoved(progress);
}

void UpdateSession::ShowStage(UpdateStage next) {
  if (next == stage_) return;
  stage_ = next;
  view_.StageEntered(next, step_);
}

int UpdateSession::ConfirmCancel() {
  if (!loader_.IsBusy() && step_ == STEP_NONE) return 1;
  const bool yes = view_.Ask(UpdateQuestion::CancelUpdate);
  // The update may have ended while the question was open: then its own result stands.
  if (ended_ || !yes) return 0;
  loader_.RequestAbort();
  return 1;
}

bool UpdateSession::OnCancelAsked() {
  if (ended_) return true;
  if (ConfirmCancel() == 0) return ended_;
  loader_.Link().clock->SleepMs(CANCEL_WAIT_MS);
  Finish(UpdateEnding::Cancelled, FWL_ABORTED);
  return true;
}

void UpdateSession::CancelConfirmed(std::uint32_t waitMs) {
  if (ended_) return;
  if (!loader_.IsBusy() && step_ == STEP_NONE) {  // nothing was written: as the question before it answered no
    Finish(UpdateEnding::NotStarted, FWL_ABORTED);
    return;
  }
  loader_.RequestAbort();
  loader_.Link().clock->SleepMs(waitMs);
  Finish(UpdateEnding::Cancelled, FWL_ABORTED);
}

void UpdateSession::OnViewClosed() {
  viewClosed_ = true;
  pausing_ = false;
  LetSleep();  // whatever ended the update: the view goes with it
  if (ended_) ReleaseUnitIfIdle();
}

void UpdateSession::ReleaseUnitWhenIdle() {
  if (ended_) ReleaseUnitIfIdle();
}

// The unit is free for other processes once the update is over and nothing more is sent to it; a worker that
// still resets it keeps it until the session goes.
void UpdateSession::ReleaseUnitIfIdle() {
  if (!loader_.IsBusy()) lock_.reset();
}

void UpdateSession::Refuse(ResultCode code) {
  view_.StepNotStarted(code);
  Finish(UpdateEnding::NotStarted, code);
}

void UpdateSession::Fail(ResultCode code) {
  LetSleep();
  stepRunning_ = false;
  ShowStage(STAGE_FAILED);
  Finish(UpdateEnding::Failed, code);
}

void UpdateSession::Finish(UpdateEnding ending, ResultCode result) {
  if (ended_) return;
  ended_ = true;
  pausing_ = false;
  LetSleep();
  ReleaseUnitIfIdle();
  end_ = UpdateEnd{ending, result, UnitNow()};
  view_.Ended(end_);
}

UnitState UpdateSession::UnitNow() const {
  switch (stepsDone_) {
    case 0:
      return stepsStarted_ == 0 ? UnitState::Untouched : UnitState::FirstCopyUnfinished;
    case 1:
      return UnitState::OneCopyWritten;
    case 2:
      return UnitState::BothCopiesWritten;
    default:
      return UnitState::Updated;
  }
}

std::uint32_t UpdateSession::ImageSize(std::uint16_t imageId) const {
  ResourceLoader* resources = loader_.Link().resources;
  if (resources == nullptr) return 0;
  const ResourceInfo info = resources->FindRawData(imageId);
  return info != nullptr ? resources->SizeOf(info) : 0;
}

void UpdateSession::LetSleep() {
  if (options_.keepAwake != nullptr) options_.keepAwake->Release();
}
