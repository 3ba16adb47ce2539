#include "tools/update_drive.h"

#include <chrono>
#include <optional>
#include <thread>

#include "app/clock.h"
#include "app/message_poster.h"
#include "image/firmware_image.h"
#include "ui/resource_ids.h"
#include "ui/update_session.h"
#include "usb/usb_fw_loader.h"

namespace {
// A guard against a hang, in real time; a working update never comes near it.
constexpr std::chrono::milliseconds HANG_GUARD{120000};

// The session's events as the drive needs them: the pause to wait out, and the end. Every question is yes.
class DriveView final : public UpdateView {
 public:
  void StageEntered(UpdateStage, UpdateStep) override {}
  void StepStarted(const StepStart&) override {}
  void ProgressMoved(const UpdateProgress&) override {}
  void PauseStarted(UpdateStep next, std::uint32_t) override { pauseBefore = next; }
  bool Ask(UpdateQuestion) override { return true; }
  void StepNotStarted(ResultCode) override {}
  void Ended(const UpdateEnd& ending) override { end = ending; }

  std::optional<UpdateStep> pauseBefore;  // a pause has begun before this step
  std::optional<UpdateEnd> end;
};

// The application image's record, scanned once for every drive.
const FirmwareImageInfo& ApplicationImage() {
  static const FirmwareImageInfo info = [] {
    FirmwareImageInfo scanned{};
    ScanFirmwareImage(IDR_APPLICATION_IMAGE, scanned, ProgramResources());
    return scanned;
  }();
  return info;
}

UpdateOutcome OutcomeOf(UpdateEnding ending) {
  switch (ending) {
    case UpdateEnding::Completed:
      return UpdateOutcome::Completed;
    case UpdateEnding::NotStarted:
      return UpdateOutcome::NotStarted;
    default:
      return UpdateOutcome::Failed;
  }
}
}  // namespace

struct UpdateDrive::Parts {
  Parts(UsbPlatform& usb, VirtualClock& clock, ResourceLoader& resources, const FirmwareImageInfo& image)
      : clock(clock), image(image), loader(DeviceLinkContext{&usb, &clock, &queue, &resources}) {}

  // The worker clears busy right after it has posted its result.
  void WaitIdle() {
    while (loader.IsBusy()) std::this_thread::yield();
  }

  VirtualClock& clock;
  const FirmwareImageInfo& image;
  PostedMessageQueue queue;
  UsbFwLoader loader;
};

UpdateDrive::UpdateDrive(UsbPlatform& usb, VirtualClock& clock, ResourceLoader* resources,
                         const FirmwareImageInfo* image)
    : parts_(std::make_unique<Parts>(usb, clock, resources != nullptr ? *resources : ProgramResources(),
                                     image != nullptr ? *image : ApplicationImage())) {}

UpdateDrive::~UpdateDrive() = default;

UpdateResult UpdateDrive::PressUpdate() {
  Parts& p = *parts_;
  DriveView view;
  UpdateSession session(p.loader, p.image, view, SessionOptions{unit});
  session.Begin();
  while (!session.IsEnded()) {
    // Busy is read before the queue: a worker posts its last notification before it clears busy.
    const bool busy = session.WorkerBusy();
    std::optional<PostedMessage> message = p.queue.TryTake();
    if (!message && busy) {
      message = p.queue.WaitTake(HANG_GUARD);
      if (!message) return {UpdateOutcome::Hung, FWL_ERR_FAILED};
    }
    if (message) {
      session.Deliver(*message);
      if (message->lParam != FWL_PROGRESS) p.WaitIdle();
      continue;
    }
    if (!session.IsPausing()) return {UpdateOutcome::Hung, FWL_ERR_FAILED};  // nothing to come
    // The pause between two steps passes, then the next step starts.
    if (beforeStepPause && view.pauseBefore) beforeStepPause(*view.pauseBefore);
    view.pauseBefore.reset();
    p.clock.Advance(session.PauseRemainingMs());
    session.ResumeIfDue();
  }
  p.WaitIdle();
  while (p.queue.TryTake()) {
  }
  return {OutcomeOf(view.end->ending), view.end->result};
}
