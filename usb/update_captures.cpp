#include "usb/update_captures.h"

#include <utility>

CaptureSetup UpdateCaptures::Bounded(CaptureSetup setup) {
  if (setup.bound == 0) setup.bound = CAPTURE_WINDOW_BOUND;
  return setup;
}

UpdateCaptures::UpdateCaptures(CaptureFileStorage& storage, CaptureSetup setup)
    : storage_(storage), capture_(nowhere_, Bounded(std::move(setup))) {}

UpdateCaptures::~UpdateCaptures() { EndUpdate(); }

bool UpdateCaptures::BeginUpdate() {
  EndUpdate();
  storage_.KeepAsPrevious();
  CaptureOutput* file = storage_.OpenCurrent();
  capture_.Restart(file != nullptr ? *file : nowhere_);
  open_ = file != nullptr;
  return open_;
}

void UpdateCaptures::EndUpdate() {
  capture_.Restart(nowhere_);  // writes what the last update's capture held
  if (open_) storage_.CloseCurrent();
  open_ = false;
}
