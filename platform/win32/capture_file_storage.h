#pragma once
// The window program's capture files on Windows: capture.pcapng and capture.1.pcapng in the trace folder
// (trace_file_storage.h), beside trace.log. The policy is usb/update_captures.h.

#include <windows.h>

#include <string>

#include "usb/update_captures.h"

class Win32CaptureFileStorage final : public CaptureFileStorage {
 public:
  explicit Win32CaptureFileStorage(std::wstring folder);
  ~Win32CaptureFileStorage() override;
  Win32CaptureFileStorage(const Win32CaptureFileStorage&) = delete;
  Win32CaptureFileStorage& operator=(const Win32CaptureFileStorage&) = delete;

  bool KeepAsPrevious() override;
  CaptureOutput* OpenCurrent() override;
  void CloseCurrent() override;

 private:
  class File final : public CaptureOutput {
   public:
    bool Write(const std::uint8_t* bytes, std::size_t size) override;
    HANDLE handle = INVALID_HANDLE_VALUE;
  };

  std::wstring folder_;
  std::wstring current_;
  std::wstring previous_;
  File file_;
};

// The process's captures, in the trace folder; the capture of each update begins with the progress window.
UpdateCaptures& PlatformUpdateCaptures();
