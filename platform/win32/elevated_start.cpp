#include "platform/win32/elevated_start.h"

SHELLEXECUTEINFOW ElevatedStartInfo(const wchar_t* file, const wchar_t* parameters) {
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOASYNC;
  info.hwnd = nullptr;
  info.lpVerb = L"runas";
  info.lpFile = file;
  info.lpParameters = parameters;
  info.lpDirectory = nullptr;
  info.nShow = SW_SHOWNORMAL;
  return info;
}
