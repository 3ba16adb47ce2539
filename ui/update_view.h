#pragma once
// What an update session tells its view, in the update's own terms: the stage the update enters, the step that
// starts (which slot, which image, how big), progress in bytes of the step and of the whole update, a pause
// before the next step, a question, a step that could not start, and the end with its result and what the unit
// is left with. A window, a terminal, a tray of units and a test all read this one stream; none of it names a
// window, a timer or a text of the window program.

#include <cstdint>

#include "ui/update_step.h"
#include "usb/result_code.h"

enum class UpdateQuestion {
  StartUpdate,   // the unit passed the checks: write it? (the window program does not ask)
  CancelUpdate,  // the update runs: stop it?
};

// What the unit holds when the update ends. The plan writes the copy the unit does not run first, so the unit
// keeps a bootloader that starts in every state but a bricked one, which no road leads to.
enum class UnitState {
  Untouched,            // nothing was written
  FirstCopyUnfinished,  // the first bootloader copy was being written; the other copy is as it was
  OneCopyWritten,       // one bootloader copy is new; the other may be part-written
  BothCopiesWritten,    // both bootloader copies are new; the application is old or part-written
  Updated,              // both bootloader copies and the application are new
};

// How an update ended.
enum class UpdateEnding {
  Completed,   // every step written and verified
  Failed,      // a step failed, or a later step could not start
  NotStarted,  // refused or declined before anything was written
  Cancelled,   // the user stopped it while it ran
};

struct StepStart {
  UpdateStep step;
  int number;             // 1 to 3: its place in the plan
  std::uint16_t imageId;  // IDR_BOOTLOADER_IMAGE or IDR_APPLICATION_IMAGE
  std::uint32_t address;  // where the image goes in the unit's flash
  std::uint32_t size;     // the image's bytes
};

struct UpdateProgress {
  UpdateStep step;
  std::uint32_t stepPercent;       // of the step: programming counts 80, verifying 20
  std::uint32_t barPosition;       // of the whole update, 0 to 100, as the window's bar shows it
  bool verifying;                  // the step's verification pass has begun
  std::uint64_t stepBytesWritten;  // bytes of the step's image programmed so far
  std::uint64_t stepBytes;
  std::uint64_t bytesWritten;  // bytes programmed of all three images
  std::uint64_t totalBytes;
};

struct UpdateEnd {
  UpdateEnding ending;
  ResultCode result;  // FWL_OK when completed; otherwise the code the update ended with
  UnitState unit;
};

class UpdateView {
 public:
  virtual ~UpdateView() = default;

  // The status list's stage changed (at most once per change); `step` is the step it happened in.
  virtual void StageEntered(UpdateStage stage, UpdateStep step) = 0;
  // A step's worker runs.
  virtual void StepStarted(const StepStart& start) = 0;
  virtual void ProgressMoved(const UpdateProgress& progress) = 0;
  // The pause before step `next` begins; the session resumes when it is over (UpdateSession).
  virtual void PauseStarted(UpdateStep next, std::uint32_t ms) = 0;
  // True: yes. While it is open the view may hand the session its notifications; an update that ends meanwhile
  // makes the answer moot.
  virtual bool Ask(UpdateQuestion question) = 0;
  // A step could not start, for this reason (the loader's code, or a refusal of the checks).
  virtual void StepNotStarted(ResultCode code) = 0;
  // The update is over; nothing more comes from this session.
  virtual void Ended(const UpdateEnd& end) = 0;
};
