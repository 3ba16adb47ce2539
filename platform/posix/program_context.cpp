// The program's platform natively: the per-user registry file, standard error for the trace, a message queue,
// the system clock and the linked-in images. There is no window system (no progress window can be made) and no
// USB stack of the program's own: a front end brings its own USB platform and views.
#include "platform/program_context.h"

#include <cstdio>

#include "app/clock.h"
#include "app/process_elevation.h"
#include "app/trace.h"
#include "app/unit_lock.h"
#include "image/image_resources.h"
#include "ui/progress_window_view.h"
#include "usb/usb_platform.h"

namespace {
// One write per line.
class StandardErrorTraceSink final : public TraceSink {
 public:
  void Write(const char* line) override { std::fputs(line, stderr); }
};

// Finds no unit: every enumeration is empty.
class NoUsbPlatform final : public UsbPlatform {
 public:
  UsbDeviceList GetClassDevs(const Guid&) override { return this; }
  bool EnumDeviceInterfaces(UsbDeviceList, const Guid&, std::uint32_t, UsbInterfaceRef*) override {
    return Fail(WIN_ERROR_NO_MORE_ITEMS);
  }
  bool GetDeviceInterfaceDetail(UsbDeviceList, const UsbInterfaceRef&, void*, std::uint32_t, std::uint32_t*,
                                UsbDeviceRef*) override {
    return Fail(WIN_ERROR_NO_MORE_ITEMS);
  }
  const char* DetailDevicePath(const void*) override { return ""; }
  bool GetDeviceLocation(UsbDeviceList, const UsbDeviceRef&, void*, std::uint32_t, std::uint32_t*) override {
    return Fail(WIN_ERROR_INVALID_PARAMETER);
  }
  bool GetDeviceIds(UsbDeviceList, const UsbDeviceRef&, UsbDeviceIds*) override {
    return Fail(WIN_ERROR_INVALID_PARAMETER);
  }
  void DestroyDeviceInfoList(UsbDeviceList) override {}
  UsbFileHandle OpenDeviceFile(const char*) override {
    Fail(WIN_ERROR_FILE_NOT_FOUND);
    return UsbInvalidHandle();
  }
  bool CloseDeviceFile(UsbFileHandle) override { return Fail(WIN_ERROR_INVALID_HANDLE); }
  bool InitializeInterface(UsbFileHandle, UsbInterfaceHandle*) override { return Fail(WIN_ERROR_INVALID_HANDLE); }
  bool QueryInterfaceSettings(UsbInterfaceHandle, std::uint8_t, UsbInterfaceDescriptor*) override {
    return Fail(WIN_ERROR_INVALID_HANDLE);
  }
  bool QueryPipe(UsbInterfaceHandle, std::uint8_t, std::uint8_t, UsbPipeInformation*) override {
    return Fail(WIN_ERROR_INVALID_HANDLE);
  }
  bool SetPipePolicy(UsbInterfaceHandle, std::uint8_t, std::uint32_t, std::uint32_t, const void*) override {
    return Fail(WIN_ERROR_INVALID_HANDLE);
  }
  bool WritePipe(UsbInterfaceHandle, std::uint8_t, const std::uint8_t*, std::uint32_t, std::uint32_t*) override {
    return Fail(WIN_ERROR_INVALID_HANDLE);
  }
  bool ReadPipe(UsbInterfaceHandle, std::uint8_t, std::uint8_t*, std::uint32_t, std::uint32_t*) override {
    return Fail(WIN_ERROR_INVALID_HANDLE);
  }
  bool AbortPipe(UsbInterfaceHandle, std::uint8_t) override { return Fail(WIN_ERROR_INVALID_HANDLE); }
  bool FreeInterface(UsbInterfaceHandle) override { return Fail(WIN_ERROR_INVALID_HANDLE); }
  std::uint32_t LastError() override { return lastError_; }

 private:
  bool Fail(std::uint32_t error) {
    lastError_ = error;
    return false;
  }
  static thread_local std::uint32_t lastError_;
};
thread_local std::uint32_t NoUsbPlatform::lastError_ = 0;

// No window system: the window cannot be created, so an update does not start.
class NoProgressView final : public ProgressWindowView {
 public:
  WindowRef CreateProgressWindow(WindowRef, UpdateController&) override { return nullptr; }
  void ShowProgressWindow(WindowRef) override {}
  void DestroyProgressWindow(WindowRef) override {}
  void AddStatusLine(WindowRef, std::uint16_t) override {}
  void SetBarPosition(WindowRef, std::uint32_t) override {}
  void SetBarError(WindowRef) override {}
  int ShowMessage(WindowRef, std::uint16_t, std::uint16_t, std::uint32_t) override { return 0; }
  void SetTimer(WindowRef, std::uintptr_t, std::uint32_t) override {}
  void KillTimer(WindowRef, std::uintptr_t) override {}
  void EnableParent(WindowRef, bool) override {}
  void ForegroundParent(WindowRef) override {}
};
class NeverElevated final : public ProcessElevation {
 public:
  bool IsElevated() override { return false; }
};
}  // namespace

UsbPlatform& PlatformUsb() {
  static NoUsbPlatform platform;
  return platform;
}

ProcessElevation& PlatformElevation() {
  // No elevation prompt natively, and no trace file: the trace goes to standard error.
  static NeverElevated elevation;
  return elevation;
}

TraceSink& PlatformTraceSink(ProcessElevation&) {
  static StandardErrorTraceSink sink;
  return sink;
}

ProgressWindowView& PlatformProgressView() {
  static NoProgressView view;
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
  context.unitLocks = parts.unitLocks != nullptr ? parts.unitLocks : &PlatformUnitLocks();
  return context;
}
