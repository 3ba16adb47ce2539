#pragma once
// Drives whole updates of the real update controller and loader against an emulated bus on a virtual clock, as a
// user would: press "Update!", let the steps run, wait out the pauses between them, confirm the boxes. It is the
// one place that knows the interfaces of the controller, the loader and the progress view; the cut sweep uses
// only this.

#include <cstdint>
#include <functional>
#include <memory>

class EmulatedUsb;
class VirtualClock;

enum class UpdateOutcome {
  Completed,   // "Firmware update completed successfully!"
  Failed,      // "Firmware update failed!"
  NotStarted,  // refused before the first step (the box says why: no unit found, ...)
  Hung,        // no notification came for a long time (a guard; never reached by a working update)
};

struct UpdateResult {
  UpdateOutcome outcome = UpdateOutcome::Hung;
  std::uint16_t box = 0;  // the text of the last message box shown
};

class UpdateDrive {
 public:
  UpdateDrive(EmulatedUsb& usb, VirtualClock& clock);
  ~UpdateDrive();
  UpdateDrive(const UpdateDrive&) = delete;
  UpdateDrive& operator=(const UpdateDrive&) = delete;

  // Runs as the pause before the next step begins (the clock not yet moved), with that step's number.
  std::function<void(int nextStep)> beforeStepPause;

  // One press of "Update!", driven until the progress window has closed (or did not open).
  UpdateResult PressUpdate();

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};
