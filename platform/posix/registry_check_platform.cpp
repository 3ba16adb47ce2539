// Natively there is no token model, shell elevation or message box: root counts as the administrator, the
// elevated start is not supported, and a message goes to standard error with no one to answer it (No, OK).
#include <unistd.h>

#include <cstdio>

#include "app/registry_check.h"
#include "platform/program_context.h"

namespace {

class PosixRegistryCheckPlatform final : public RegistryCheckPlatform {
 public:
  bool IsAdministrator() override { return geteuid() == 0; }

  bool GetProgramPath(char16_t* path, std::size_t size) override {
    char bytes[REGCHECK_PROGRAM_PATH_SIZE];
    const ssize_t length = readlink("/proc/self/exe", bytes, sizeof bytes);
    if (length <= 0 || static_cast<std::size_t>(length) >= size || static_cast<std::size_t>(length) >= sizeof bytes) {
      return false;
    }
    // Byte by byte: the path only goes back to StartElevated, which natively starts nothing.
    for (ssize_t i = 0; i < length; ++i) path[i] = static_cast<unsigned char>(bytes[i]);
    path[length] = u'\0';
    return true;
  }

  bool GetCommandLineArguments(std::vector<std::u16string>&) override { return false; }

  std::uint32_t StartElevated(const char16_t*, const char*) override { return WIN_ERROR_NOT_SUPPORTED; }

  int ShowMessage(const char* text, const char* caption, std::uint32_t style) override {
    std::fprintf(stderr, "%s: %s\n", caption, text);
    return (style & WIN_MB_TYPEMASK) == WIN_MB_YESNO ? WIN_IDNO : WIN_IDOK;
  }
};
}  // namespace

RegistryCheckPlatform& PlatformRegistryCheck() {
  static PosixRegistryCheckPlatform platform;
  return platform;
}
