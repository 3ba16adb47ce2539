// The USB platform of the real program: WinUSB through the system's entry points.

#include "platform/win32/winusb_platform.h"

UsbPlatform& ProgramUsbPlatform() {
  // The library outlives the backend that calls into it (statics end in reverse order).
  static WinUsbLibrary library;
  static WinUsbPlatform platform(SystemWinUsbApi(library.Module()));
  return platform;
}
