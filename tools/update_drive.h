#pragma once
// Drives whole updates of the real update session and loader against an emulated bus on a virtual clock, as a
// user would: press "Update!", let the steps run, wait out the pauses between them. It is the one place that
// knows the interfaces of the session, the loader and the update view; the cut sweep uses only this.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "usb/result_code.h"

class ResourceLoader;
class UsbPlatform;
class VirtualClock;
struct FirmwareImageInfo;

enum class UpdateOutcome {
  Completed,   // every step written and verified
  Failed,      // a step failed, or a later step could not start
  NotStarted,  // refused before the first step (the result says why: no unit found, ...)
  Hung,        // no notification came for a long time (a guard; never reached by a working update)
};

struct UpdateResult {
  UpdateOutcome outcome = UpdateOutcome::Hung;
  ResultCode result = FWL_ERR_FAILED;  // the code the update ended with; FWL_OK when it completed
};

class UpdateDrive {
 public:
  // The update of the program's own images on `usb` (the emulated bus, or a real backend over it); a test with
  // images of its own gives their resources and the application image's record.
  UpdateDrive(UsbPlatform& usb, VirtualClock& clock, ResourceLoader* resources = nullptr,
              const FirmwareImageInfo* image = nullptr);
  ~UpdateDrive();
  UpdateDrive(const UpdateDrive&) = delete;
  UpdateDrive& operator=(const UpdateDrive&) = delete;

  // Runs as the pause before the next step begins (the clock not yet moved), with that step's number.
  std::function<void(int nextStep)> beforeStepPause;
  // The unit to update, by its path or location; empty: the first unit present.
  std::string unit;

  // One press of "Update!", driven until the progress window has closed (or did not open).
  UpdateResult PressUpdate();

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};
