#include "platform/win32/safe_dll_search.h"

#include <cstdio>
#include <string>

namespace {
constexpr wchar_t CAPTION[] = L"Velmora Communication System Software Update";
}  // namespace

bool RestrictDllSearchToSystemFolder(SetDllDirectoriesFn setDefaultDllDirectories, DllSearchReport report) {
  if (setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE) return true;
  // Fixed English: no interface language is set yet.
  const std::wstring text = L"Windows refused to limit where this program loads its libraries from (error " +
                            std::to_wstring(GetLastError()) + L"). The program ends for safety.";
  if (report == DllSearchReport::MessageBox) {
    MessageBoxW(nullptr, text.c_str(), CAPTION, MB_OK | MB_ICONERROR);
  } else {
    std::fwprintf(stderr, L"%ls\n", text.c_str());
  }
  return false;
}
