#include "platform/win32/win32_process_elevation.h"

#include <windows.h>

#include <memory>

namespace {
struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
}  // namespace

bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool ProcessTokenIsElevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return true;
  const std::unique_ptr<void, HandleCloser> owned(token);
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size)) return true;
  return elevation.TokenIsElevated != 0;
}
