#pragma once
// The SetupAPI, file and WinUSB entry points that the WinUSB backend calls, as a table: the program fills it
// from the system, tests put fakes behind it. winusb.dll is loaded at run time, so that a system whose
// WinUSB cannot be called still starts, and the backend's sequences can run against fakes.

#include <windows.h>
#include <setupapi.h>
#include <winusb.h>

struct WinUsbApi {
  decltype(&::SetupDiGetClassDevsA) SetupDiGetClassDevsA;
  decltype(&::SetupDiEnumDeviceInterfaces) SetupDiEnumDeviceInterfaces;
  decltype(&::SetupDiGetDeviceInterfaceDetailA) SetupDiGetDeviceInterfaceDetailA;
  decltype(&::SetupDiGetDeviceRegistryPropertyW) SetupDiGetDeviceRegistryPropertyW;
  decltype(&::SetupDiDestroyDeviceInfoList) SetupDiDestroyDeviceInfoList;
  decltype(&::CreateFileA) CreateFileA;
  decltype(&::CloseHandle) CloseHandle;
  decltype(&::WinUsb_Initialize) WinUsb_Initialize;
  decltype(&::WinUsb_QueryInterfaceSettings) WinUsb_QueryInterfaceSettings;
  decltype(&::WinUsb_QueryPipe) WinUsb_QueryPipe;
  decltype(&::WinUsb_SetPipePolicy) WinUsb_SetPipePolicy;
  decltype(&::WinUsb_WritePipe) WinUsb_WritePipe;
  decltype(&::WinUsb_ReadPipe) WinUsb_ReadPipe;
  decltype(&::WinUsb_AbortPipe) WinUsb_AbortPipe;
  decltype(&::WinUsb_Free) WinUsb_Free;
};

// winusb.dll from the system directory, loaded for the object's lifetime; null if it cannot be loaded.
class WinUsbLibrary {
 public:
  WinUsbLibrary();
  ~WinUsbLibrary();
  WinUsbLibrary(const WinUsbLibrary&) = delete;
  WinUsbLibrary& operator=(const WinUsbLibrary&) = delete;

  HMODULE Module() const { return module_; }

 private:
  HMODULE module_;
};

// The system's entry points: SetupAPI and the file calls as linked, WinUSB's from the loaded library (left
// null when the library or an export is missing; the backend then fails those calls).
WinUsbApi SystemWinUsbApi(HMODULE winusb);
