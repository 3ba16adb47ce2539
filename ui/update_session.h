#pragma once
// UpdateSession: one whole update of one unit, from its checks to its end. It picks and pins the unit (the one
// asked for by path or location, else the first present), takes the unit's lock between processes, reads the
// unit, refuses a downgrade or a foreign hardware, chooses the plan, starts each step on the loader, turns the
// loader's notifications into progress, owns the pauses between the steps on the injected clock, handles a
// cancel, and tells its UpdateView what happened in the update's own terms. It runs on one thread (the one that
// made it); the loader's worker reaches it only through posted notifications. A process may run several sessions
// at once, each with its own loader and unit.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/message_poster.h"
#include "ui/update_view.h"
#include "usb/device_info.h"
#include "usb/unit_list.h"

class KeepAwake;
class UnitLock;
class UnitLocks;
class UsbFwLoader;
struct FirmwareImageInfo;

inline constexpr std::uint32_t STEP_PAUSE_MS = 5000;  // the wait between two steps
inline constexpr std::uint32_t CANCEL_WAIT_MS = 500;  // the wait after a confirmed cancel

// The number of a version text "a.b.c" read as "%d.%d.%d": (a * 1000 + b) * 1000 + c in 32-bit arithmetic;
// false if the text does not give exactly three numbers.
bool ReadVersionNumber(const char* text, std::uint32_t* number);

struct SessionOptions {
  std::string unit;                // the unit's device path or location; empty: the first unit present
  KeepAwake* keepAwake = nullptr;  // held while the unit is written and between its steps; null: none
  UnitLocks* unitLocks = nullptr;  // one process per unit; null: not locked
};

class UpdateSession {
 public:
  // `loader` runs on its own context (bus, clock, resources) and is not owned; `image` is the application
  // image's record.
  UpdateSession(UsbFwLoader& loader, const FirmwareImageInfo& image, UpdateView& view, SessionOptions options = {});
  ~UpdateSession();
  UpdateSession(const UpdateSession&) = delete;
  UpdateSession& operator=(const UpdateSession&) = delete;

  // Where the loader posts its notifications: a token of this session's own, unless a window stands for it.
  void SetNotifyTarget(WindowRef target) { notifyTarget_ = target; }
  WindowRef NotifyTarget() const { return notifyTarget_; }

  // Checks the unit and starts the first step; true if it runs. False: the session has ended (Ended was told).
  // The same as Prepare() and then Start().
  bool Begin();
  // Picks, pins and locks the unit, reads it and checks it; true when it may be updated. False: the session has
  // ended (refused). Nothing is written. Several sessions may prepare at once, each on a thread of its own; the
  // session then goes back to the thread that runs it.
  bool Prepare();
  // After Prepare(): asks the question before the update (the view's answer) and starts the first step; true if
  // it runs.
  bool Start();
  // What is on the bus now (usb/unit_list.h), for a session that shares the bus with others: a unit that leaves
  // its port between its checks and its end, while no step of this session writes, may come back as another
  // unit (a unit has no serial number: it is its port). Such a session writes nothing more: its next step fails
  // as for a missing unit.
  void NoteUnits(const std::vector<UnitEntry>& units);
  // A notification of the loader's worker.
  void OnUpdateNotify(ResultCode code);
  // Hands over a posted message if it is this session's notification; false for anything else.
  bool Deliver(const PostedMessage& message);
  // The pause's timer with this identifier fired (the window program's timers): the step of that number starts.
  void OnStepTimer(std::uintptr_t timerId);
  // Starts the next step if the pause is over by the clock; true if it did.
  bool ResumeIfDue();
  // The user asks to stop: asks, and on yes stops the update (true: the session has ended).
  bool OnCancelAsked();
  // The program is asked to end: stops the update as a confirmed "Cancel" does, without asking (the step's
  // worker finishes the block in flight and resets the unit); an update not started yet ends unstarted. `waitMs`
  // is the wait after the abort request (a tray waits once for all its units).
  void CancelConfirmed(std::uint32_t waitMs = CANCEL_WAIT_MS);
  // The view went away (a window destroyed): the PC may sleep again; notifications still to come are dropped.
  void OnViewClosed();

  // After the end, once no worker writes any more (a cancelled or failed step still resets the unit), the unit's
  // lock goes: a later session of this process or another may take the unit. The session's runner calls it.
  void ReleaseUnitWhenIdle();

  bool IsEnded() const { return ended_; }
  const UpdateEnd& End() const { return end_; }
  bool IsPausing() const { return pausing_; }
  std::uint64_t PauseRemainingMs() const;
  // The worker of a step still runs (it may after the end, while a cancelled step resets the unit).
  bool WorkerBusy() const;
  UpdateStep Step() const { return step_; }
  UpdateStage Stage() const { return stage_; }
  const DeviceInfo& Device() const { return deviceInfo_; }
  const std::string& UnitLocation() const { return location_; }
  UsbFwLoader& Loader() { return loader_; }

  // The steps of the update, as the window program's sequencer names them.
  int StartUpdate();
  int StartUpdateStep(UpdateStep step);
  void SetOverallProgress(std::uint32_t stepPercent);
  void ShowStage(UpdateStage stage);
  int ConfirmCancel();

 private:
  friend struct UpdateSessionProbe;  // the tests put a session into a step and stage of their choosing

  ResultCode PickUnit();
  bool CheckUnit();
  bool StartChecked();
  void Refuse(ResultCode code);
  void Fail(ResultCode code);
  void Finish(UpdateEnding ending, ResultCode result);
  void MoveProgress(std::uint32_t stepPercent, std::uint32_t programPercent, bool verifying);
  UnitState UnitNow() const;
  std::uint32_t ImageSize(std::uint16_t imageId) const;
  void LetSleep();
  void ReleaseUnitIfIdle();

  UsbFwLoader& loader_;
  const FirmwareImageInfo& image_;
  UpdateView& view_;
  SessionOptions options_;
  WindowRef notifyTarget_;
  std::unique_ptr<UnitLock> lock_;
  std::string location_;
  DeviceInfo deviceInfo_{};
  UpdateStage stage_ = STAGE_NONE;
  UpdateStep step_ = STEP_NONE;
  int stepsStarted_ = 0;
  int stepsDone_ = 0;
  bool stepRunning_ = false;
  ResultCode lastStart_ = FWL_ERR_FAILED;  // what the last start of a step gave when it did not start
  std::uint64_t bytesDone_ = 0;            // of the steps completed
  std::uint64_t totalBytes_ = 0;
  bool pausing_ = false;
  UpdateStep pauseNext_ = STEP_NONE;
  std::uint64_t pauseDueMs_ = 0;
  bool ended_ = false;
  bool viewClosed_ = false;
  bool prepared_ = false;
  bool unitLeft_ = false;  // the unit was seen away from its port while nothing of this update reset it
  UpdateEnd end_{UpdateEnding::NotStarted, FWL_ERR_FAILED, UnitState::Untouched};
};
