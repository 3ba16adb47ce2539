// The driver registry check's platform on Windows: the token membership test, the program's path and command
// line, the elevated start through the shell, and message boxes.
// windows.h first: the shell's header needs its definitions.
#include <windows.h>
#include <shellapi.h>

#include <memory>
#include <string>

#include "app/registry_check.h"
#include "platform/program_context.h"
#include "platform/win32/elevated_start.h"

namespace {
struct SidFree {
  void operator()(void* sid) const { FreeSid(sid); }
};
struct LocalFreeDeleter {
  void operator()(LPWSTR* memory) const { LocalFree(memory); }
};

std::wstring FromAnsiCodePage(const char* text) {
  const int size = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (size <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), size);
  wide.resize(static_cast<std::size_t>(size) - 1);  // the terminating NUL
  return wide;
}

class Win32RegistryCheckPlatform final : public RegistryCheckPlatform {
 public:
  bool IsAdministrator() override {
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                  0, &sid)) {
      throw AdministratorTestError(GetLastError());
    }
    const std::unique_ptr<void, SidFree> administrators(sid);
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, administrators.get(), &member)) throw AdministratorTestError(GetLastError());
    return member != FALSE;
  }

  bool GetProgramPath(char16_t* path, std::size_t size) override {
    const DWORD length = GetModuleFileNameW(nullptr, reinterpret_cast<wchar_t*>(path), static_cast<DWORD>(size));
    return length != 0 && length < size;  // a full buffer means a cut path
  }

  bool GetCommandLineArguments(std::vector<std::u16string>& arguments) override {
    int count = 0;
    const std::unique_ptr<LPWSTR, LocalFreeDeleter> split(CommandLineToArgvW(GetCommandLineW(), &count));
    if (!split) return false;
    arguments.clear();
    for (int i = 0; i < count; ++i) {
      const LPWSTR argument = split.get()[i];
      arguments.emplace_back(reinterpret_cast<const char16_t*>(argument), static_cast<std::size_t>(lstrlenW(argument)));
    }
    return true;
  }

  std::uint32_t StartElevated(const char16_t* file, const char* parameters) override {
    // The parameters as the 8-bit call read them: in the ANSI code page.
    const std::wstring wideParameters = FromAnsiCodePage(parameters);
    SHELLEXECUTEINFOW info = ElevatedStartInfo(reinterpret_cast<const wchar_t*>(file), wideParameters.c_str());
    return ShellExecuteExW(&info) ? 0 : GetLastError();
  }

  int ShowMessage(const char* text, const char* caption, std::uint32_t style) override {
    return MessageBoxA(nullptr, text, caption, style);
  }
};
}  // namespace

RegistryCheckPlatform& PlatformRegistryCheck() {
  static Win32RegistryCheckPlatform platform;
  return platform;
}
