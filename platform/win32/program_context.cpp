// The program's own platform on Windows: WinUSB, the Win32 registry and token, the debugger output, posted
// window messages, the progress dialog, the system clock and the program's own resources.
#include "platform/program_context.h"

#include <windows.h>

#include "app/clock.h"
#include "app/trace.h"
#include "app/unit_lock.h"
#include "image/image_resources.h"
#include "platform/win32/capture_file_storage.h"
#include "platform/win32/progress_window.h"
#include "platform/win32/trace_file_storage.h"
#include "platform/win32/win32_keep_awake.h"
#include "platform/win32/win32_process_elevation.h"
#include "platform/win32/winusb_platform.h"

namespace {
// The debugger output: one call per line, as a debug-output viewer expects. The same line, time-stamped, also
// goes to the user's trace file, unless the process runs elevated.
class DebuggerTraceSink final : public TraceSink {
 public:
  explicit DebuggerTraceSink(bool userFile) : userFile_(userFile) {}
  void Write(const char* line) override {
    OutputDebugStringA(line);
    if (userFile_) AppendToTraceFile(line);
  }

 private:
  const bool userFile_;
};

// The interface thread's execution state: the update controller holds it while an update runs.
KeepAwake& PlatformKeepAwake() {
  static Win32KeepAwake keepAwake;
  return keepAwake;
}
}  // namespace

UsbPlatform& PlatformUsb() {
  // The library outlives the backend that calls into it (statics end in reverse order).
  static WinUsbLibrary library;
  static WinUsbPlatform platform(SystemWinUsbApi(library.Module()));
  return platform;
}

ProcessElevation& PlatformElevation() {
  static Win32ProcessElevation elevation;
  return elevation;
}

TraceSink& PlatformTraceSink(ProcessElevation& elevation) {
  static DebuggerTraceSink withUserFile(true);
  static DebuggerTraceSink debuggerOnly(false);
  return elevation.IsElevated() ? debuggerOnly : withUserFile;
}

ProgressWindowView& PlatformProgressView() {
  static Win32ProgressView view;
  return view;
}

PlatformContext ProgramContext(const ProgramParts& parts) {
  PlatformContext context;
  context.clock = &SystemClock();
  context.usb = parts.usb != nullptr ? parts.usb : &PlatformUsb();
  context.registry = &PlatformRegistry();
  context.registryCheck = &PlatformRegistryCheck();
  context.resources = &ProgramResources();
  context.elevation = parts.elevation != nullptr ? parts.elevation : &PlatformElevation();
  context.trace = &PlatformTraceSink(*context.elevation);
  context.poster = parts.poster != nullptr ? parts.poster : &PlatformMessagePoster();
  context.progressView = parts.withoutWindows ? nullptr : &PlatformProgressView();
  context.keepAwake = &PlatformKeepAwake();
  context.unitLocks = parts.unitLocks != nullptr ? parts.unitLocks : &PlatformUnitLocks();
  // The window program's capture of each update; the console programs capture on --capture only. An elevated
  // instance writes no file in the user's folder (as for the trace): no capture there either.
  if (!parts.withoutWindows && !context.elevation->IsElevated()) {
    context.updateCaptures = &PlatformUpdateCaptures();
    context.capture = &context.updateCaptures->Capture();
  }
  return context;
}
