#include "platform/win32/winusb_api.h"

namespace {
template <typename Function>
void Resolve(HMODULE module, const char* name, Function& entry) {
  entry = nullptr;
  if (module == nullptr) return;
  // Through the one function pointer type that converts to any other without a warning.
  entry = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
}  // namespace

WinUsbLibrary::WinUsbLibrary() : module_(nullptr) {
  // From the system folder only, and the libraries it loads in turn too: never from the program's folder or
  // the current directory.
  module_ = LoadLibraryExW(L"winusb.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

WinUsbLibrary::~WinUsbLibrary() {
  if (module_ != nullptr) FreeLibrary(module_);
}

WinUsbApi SystemWinUsbApi(HMODULE winusb) {
  WinUsbApi api{};
  api.SetupDiGetClassDevsA = &::SetupDiGetClassDevsA;
  api.SetupDiEnumDeviceInterfaces = &::SetupDiEnumDeviceInterfaces;
  api.SetupDiGetDeviceInterfaceDetailA = &::SetupDiGetDeviceInterfaceDetailA;
  api.SetupDiGetDeviceRegistryPropertyW = &::SetupDiGetDeviceRegistryPropertyW;
  api.SetupDiDestroyDeviceInfoList = &::SetupDiDestroyDeviceInfoList;
  api.CreateFileA = &::CreateFileA;
  api.CloseHandle = &::CloseHandle;
  Resolve(winusb, "WinUsb_Initialize", api.WinUsb_Initialize);
  Resolve(winusb, "WinUsb_QueryInterfaceSettings", api.WinUsb_QueryInterfaceSettings);
  Resolve(winusb, "WinUsb_QueryPipe", api.WinUsb_QueryPipe);
  Resolve(winusb, "WinUsb_SetPipePolicy", api.WinUsb_SetPipePolicy);
  Resolve(winusb, "WinUsb_WritePipe", api.WinUsb_WritePipe);
  Resolve(winusb, "WinUsb_ReadPipe", api.WinUsb_ReadPipe);
  Resolve(winusb, "WinUsb_AbortPipe", api.WinUsb_AbortPipe);
  Resolve(winusb, "WinUsb_Free", api.WinUsb_Free);
  return api;
}
