#pragma once
// The window program's captures: the capture of the last update as capture.pcapng beside trace.log, the one
// before it kept as capture.1.pcapng, each bounded (CAPTURE_WINDOW_BOUND, usb_capture.h). The loader holds one
// capture for its life; each update begins a new file. The files are reached through a small interface, so
// that the policy runs the same against the Win32 files and the tests' fakes.

#include <cstdint>

#include "usb/capture_output.h"
#include "usb/usb_capture.h"

inline constexpr const char CAPTURE_FILE_NAME[] = "capture.pcapng";
inline constexpr const char CAPTURE_FILE_PREVIOUS_NAME[] = "capture.1.pcapng";

class CaptureFileStorage {
 public:
  virtual ~CaptureFileStorage() = default;
  // The current file becomes the previous one, replacing it; true also when there was no current file.
  virtual bool KeepAsPrevious() = 0;
  // A new, empty current file, written until CloseCurrent(); null when it cannot be made.
  virtual CaptureOutput* OpenCurrent() = 0;
  virtual void CloseCurrent() = 0;
};

class UpdateCaptures {
 public:
  // `setup` without a bound gets the window program's.
  UpdateCaptures(CaptureFileStorage& storage, CaptureSetup setup);
  ~UpdateCaptures();
  UpdateCaptures(const UpdateCaptures&) = delete;
  UpdateCaptures& operator=(const UpdateCaptures&) = delete;

  // What the device link writes to (DeviceLinkContext::capture).
  UsbCapture& Capture() { return capture_; }
  // An update begins: the last capture is finished and kept as the previous file, a new one begins. False when
  // no file could be made: the exchanges then go nowhere, and nothing else changes.
  bool BeginUpdate();
  // The update ended: its capture is written whole and the file closed.
  void EndUpdate();

 private:
  static CaptureSetup Bounded(CaptureSetup setup);

  CaptureFileStorage& storage_;
  NullCaptureOutput nowhere_;
  UsbCapture capture_;
  bool open_ = false;
};
