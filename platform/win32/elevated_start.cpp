#include "platform/win32/elevated_start.h"

SHELLEXECUTEINFOA ElevatedStartInfo(const char* file, const char* parameters) {
  SHELLEXECUTEINFOA info = {};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOASYNC;
  info.hwnd = nullptr;
  info.lpVerb = "runas";
  info.lpFile = file;
  info.lpParameters = parameters;
  info.lpDirectory = nullptr;
  info.nShow = SW_SHOWNORMAL;
  return info;
}
