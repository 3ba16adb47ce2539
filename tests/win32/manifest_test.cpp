// The application manifest as the built programs carry it (resource 1 of type RT_MANIFEST), read back twice:
// as text, and through an activation context made from it, where the system's own manifest parser says what
// each setting is in its namespace.

#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "tools/demo_driver.h"

namespace {

constexpr wchar_t kSettings2005[] = L"http://schemas.microsoft.com/SMI/2005/WindowsSettings";
constexpr wchar_t kSettings2016[] = L"http://schemas.microsoft.com/SMI/2016/WindowsSettings";

// The manifest text of a program file; empty when it has none.
std::string ManifestOf(const std::wstring& path) {
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (module == nullptr) return {};
  std::string text;
  if (HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24))) {  // RT_MANIFEST
    if (HGLOBAL loaded = LoadResource(module, found)) {
      text.assign(static_cast<const char*>(LockResource(loaded)), SizeofResource(module, found));
    }
  }
  FreeLibrary(module);
  return text;
}

// One setting of the program's manifest as the system reads it; "(none)" when it has none.
std::wstring SystemSetting(const std::wstring& path, const wchar_t* ns, const wchar_t* name) {
  ACTCTXW context{};
  context.cbSize = sizeof context;
  context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  context.lpSource = path.c_str();
  context.lpResourceName = MAKEINTRESOURCEW(1);
  HANDLE handle = CreateActCtxW(&context);
  if (handle == INVALID_HANDLE_VALUE) return L"(no activation context)";
  wchar_t value[128] = {};
  SIZE_T written = 0;
  const BOOL found = QueryActCtxSettingsW(0, handle, ns, name, value, 128, &written);
  ReleaseActCtx(handle);
  return found ? value : L"(none)";
}

std::wstring OwnPath() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return length > 0 && length < MAX_PATH ? path : L"";
}

class ManifestTest : public ::testing::TestWithParam<const wchar_t*> {
 protected:
  std::wstring Program() const {
    const std::wstring name = GetParam();
    return name.empty() ? OwnPath() : SiblingPath(name.c_str());
  }
};

TEST_P(ManifestTest, DeclaresPerMonitorAwarenessBesideTheRightsAndTheCommonControls) {
  const std::string manifest = ManifestOf(Program());
  ASSERT_FALSE(manifest.empty());
  // What it declared before stays.
  EXPECT_NE(manifest.find(R"(<requestedExecutionLevel level="asInvoker" uiAccess="false"/>)"), std::string::npos);
  EXPECT_NE(manifest.find(R"(name="Microsoft.Windows.Common-Controls" version="6.0.0.0")"), std::string::npos);
  // The two resolution settings, each in the namespace of the system version that reads it.
  EXPECT_NE(manifest.find(R"(<application xmlns="urn:schemas-microsoft-com:asm.v3">)"), std::string::npos);
  EXPECT_NE(
      manifest.find(R"(<dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true/pm</dpiAware>)"),
      std::string::npos);
  EXPECT_NE(manifest.find(R"(<dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">)"
                          R"(PerMonitorV2, PerMonitor</dpiAwareness>)"),
            std::string::npos);
}

TEST_P(ManifestTest, TheSystemReadsEachSettingInItsNamespace) {
  EXPECT_EQ(SystemSetting(Program(), kSettings2005, L"dpiAware"), L"true/pm");
  EXPECT_EQ(SystemSetting(Program(), kSettings2016, L"dpiAwareness"), L"PerMonitorV2, PerMonitor");
  // Not where older systems would look for the newer one.
  EXPECT_EQ(SystemSetting(Program(), kSettings2005, L"dpiAwareness"), L"(none)");
}

// The program, its demo, and this test program (which carries the same resources).
INSTANTIATE_TEST_SUITE_P(Programs, ManifestTest,
                         ::testing::Values(L"HelmetUpdater.exe", L"HelmetUpdaterDemo.exe", L""));

}  // namespace
