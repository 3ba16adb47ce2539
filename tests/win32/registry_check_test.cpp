// The driver registry check against the local machine's real registry, its real message boxes and the real
// administrator test. Only the elevated start is faked: it would start this program again.
#include "app/registry_check.h"

#include <windows.h>
#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "app/registry.h"
#include "platform/program_context.h"
#include "support/driver_keys.h"

namespace {
using namespace driver_keys;

std::vector<BYTE> WithNul(const std::string& text) {
  std::vector<BYTE> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

void DeleteDriverKeys() {
  for (const Interface& i : kInterfaces) RegDeleteTreeA(HKEY_LOCAL_MACHINE, InterfacePath(i.device, i.number).c_str());
}

void CreateKey(const std::string& path) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS)
      << path;
  RegCloseKey(key);
}

// Stores count bytes of data; data holds at least one byte more, not NUL, so that a text stored without its
// NUL keeps that length (the A-function counts a forgotten NUL in when the byte behind the data is one).
void PutGuid(const std::string& device, int number, const std::string& instance, DWORD type,
             const std::vector<BYTE>& bytes) {
  std::vector<BYTE> data = bytes;
  data.push_back('#');
  HKEY key = nullptr;
  const std::string path = ParametersPath(device, number, instance);
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS)
      << path;
  EXPECT_EQ(RegSetValueExA(key, "DeviceInterfaceGUID", 0, type, data.data(), static_cast<DWORD>(bytes.size())),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

struct StoredValue {
  DWORD type;
  std::vector<BYTE> data;
};
std::optional<StoredValue> ReadGuid(const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return std::nullopt;
  StoredValue value{REG_NONE, std::vector<BYTE>(1024)};
  DWORD size = static_cast<DWORD>(value.data.size());
  const LONG status = RegQueryValueExA(key, "DeviceInterfaceGUID", nullptr, &value.type, value.data.data(), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return std::nullopt;
  value.data.resize(size);
  return value;
}

// The real platform with the administrator test and the elevated start under the test's control.
class TestPlatform final : public RegistryCheckPlatform {
 public:
  bool administrator = false;
  std::vector<std::string> startedParameters;

  bool IsAdministrator() override { return administrator; }
  bool GetProgramPath(char16_t* path, std::size_t size) override { return Real().GetProgramPath(path, size); }
  bool GetCommandLineArguments(std::vector<std::u16string>& arguments) override {
    return Real().GetCommandLineArguments(arguments);
  }
  std::uint32_t StartElevated(const char16_t*, const char* parameters) override {
    startedParameters.push_back(parameters);
    return 0;
  }
  int ShowMessage(const char* text, const char* caption, std::uint32_t style) override {
    return Real().ShowMessage(text, caption, style);
  }

 private:
  static RegistryCheckPlatform& Real() { return PlatformRegistryCheck(); }
};

struct SeenBox {
  int boxes = 0;
  std::string caption;
  std::string text;
  bool yes = false, no = false, ok = false, topmost = false;
};

// Answers the next message box of this thread with a button, noting what it showed.
class MessageBoxAnswer {
 public:
  explicit MessageBoxAnswer(int button) {
    button_ = button;
    seen_ = SeenBox{};
    hook_ = SetWindowsHookExA(WH_CALLWNDPROCRET, &Hook, nullptr, GetCurrentThreadId());
  }
  ~MessageBoxAnswer() { UnhookWindowsHookEx(hook_); }
  MessageBoxAnswer(const MessageBoxAnswer&) = delete;
  MessageBoxAnswer& operator=(const MessageBoxAnswer&) = delete;

  static const SeenBox& seen() { return seen_; }

 private:
  // Called after the box's dialog procedure has set it up: its controls and texts are there.
  static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam) {
    const auto* call = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
    if (code == HC_ACTION && call->message == WM_INITDIALOG && seen_.boxes++ == 0) {
      const HWND box = call->hwnd;
      char text[512] = {};
      GetWindowTextA(box, text, sizeof text);
      seen_.caption = text;
      GetDlgItemTextA(box, 0xFFFF, text, sizeof text);  // the message box's text control
      seen_.text = text;
      seen_.yes = GetDlgItem(box, IDYES) != nullptr;
      seen_.no = GetDlgItem(box, IDNO) != nullptr;
      seen_.ok = GetDlgItem(box, IDOK) != nullptr;
      seen_.topmost = (GetWindowLongA(box, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
      PostMessageA(box, WM_COMMAND, MAKEWPARAM(button_, BN_CLICKED), 0);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
  }

  static inline HHOOK hook_ = nullptr;
  static inline int button_ = 0;
  static inline SeenBox seen_;
};

class Win32RegistryCheckTest : public ::testing::Test {
 protected:
  Win32RegistryCheckTest() { DeleteDriverKeys(); }
  ~Win32RegistryCheckTest() override { DeleteDriverKeys(); }

  // The check's operations on the real registry (or the one a test chose) and the test's platform.
  int CheckTavikRegistry() { return ::CheckTavikRegistry(*activeRegistry_, platform_); }
  int CheckDeviceInterfaceGuids(int repair) { return ::CheckDeviceInterfaceGuids(*activeRegistry_, repair); }

  void InstallAllRight(const std::vector<std::string>& instances) {
    for (const Interface& i : kInterfaces) {
      for (const std::string& instance : instances) PutGuid(i.device, i.number, instance, REG_SZ, WithNul(i.guid));
    }
  }

  TestPlatform platform_;
  Registry* activeRegistry_ = &PlatformRegistry();
};
}  // namespace

TEST_F(Win32RegistryCheckTest, NoDriverKeysPassesSilently) {
  for (bool administrator : {false, true}) {
    platform_.administrator = administrator;
    MessageBoxAnswer answer(IDNO);
    EXPECT_NE(CheckTavikRegistry(), 0);
    EXPECT_EQ(MessageBoxAnswer::seen().boxes, 0);
  }
}

TEST_F(Win32RegistryCheckTest, ValueJudgedByItsFirst39Bytes) {
  struct Case {
    const char* what;
    DWORD type;
    std::vector<BYTE> data;
    int expected;
  };
  std::vector<BYTE> trailing = WithNul(kGuidC085);
  trailing.insert(trailing.end(), {'x', 'y', 0, 'z'});
  std::vector<BYTE> longest = WithNul(kGuidC085);
  longest.resize(255, 'z');
  std::vector<BYTE> tooLong = longest;
  tooLong.push_back('z');
  const std::vector<BYTE> noNul(kGuidC085.begin(), kGuidC085.end());
  const Case cases[] = {
      {"exact", REG_SZ, WithNul(kGuidC085), 1},
      {"followed by a NUL and more", REG_SZ, trailing, 1},
      {"followed by a NUL and more, binary", REG_BINARY, trailing, 1},
      {"255 bytes", REG_BINARY, longest, 1},
      {"256 bytes", REG_BINARY, tooLong, 0},
      {"256 bytes of text", REG_SZ, tooLong, 0},
      {"lower case", REG_SZ, WithNul("{c0850fa1-2b83-47db-bcb7-738ab1a8b498}"), 0},
      {"38 bytes without NUL", REG_SZ, noNul, 0},
      {"38 bytes without NUL, binary", REG_BINARY, noNul, 0},
      {"another interface's GUID", REG_SZ, WithNul(kGuid808d), 0},
  };
  for (const Case& c : cases) {
    DeleteDriverKeys();
    PutGuid(kAcdc, 0, "1", c.type, c.data);
    EXPECT_EQ(CheckDeviceInterfaceGuids(0), c.expected) << c.what;
  }
}

TEST_F(Win32RegistryCheckTest, OneWrongInstanceAmongSeveralFails) {
  InstallAllRight({"5&1", "5&2", "5&3"});
  EXPECT_EQ(CheckDeviceInterfaceGuids(0), 1);
  PutGuid(kAcdd, 2, "5&2", REG_SZ, WithNul(kGuidC085));
  EXPECT_EQ(CheckDeviceInterfaceGuids(0), 0);
}

TEST_F(Win32RegistryCheckTest, InstanceWithoutDeviceParametersIsSkippedInBothModes) {
  InstallAllRight({"1"});
  CreateKey(InterfacePath(kAcdc, 1) + "\\0");
  EXPECT_EQ(CheckDeviceInterfaceGuids(0), 1);
  EXPECT_EQ(CheckDeviceInterfaceGuids(1), 1);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, ParametersPath(kAcdc, 1, "0").c_str(), 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(ReadGuid(InterfacePath(kAcdc, 1) + "\\0").has_value());
}

TEST_F(Win32RegistryCheckTest, AdministratorRepairsEveryInstanceWithoutAsking) {
  InstallAllRight({"1", "2"});
  PutGuid(kAcdc, 2, "2", REG_SZ, std::vector<BYTE>(kGuid808d.begin(), kGuid808d.end()));  // no NUL
  PutGuid(kAcdd, 0, "1", REG_BINARY, WithNul(kGuid808d + "tail"));                        // right
  PutGuid(kAcdd, 1, "2", REG_SZ, WithNul("{c0850fa1-2b83-47db-bcb7-738ab1a8b498}"));
  CreateKey(ParametersPath(kAcdd, 2, "3"));
  platform_.administrator = true;

  MessageBoxAnswer answer(IDOK);
  EXPECT_NE(CheckTavikRegistry(), 0);
  EXPECT_EQ(MessageBoxAnswer::seen().boxes, 0);
  for (const Interface& i : kInterfaces) {
    for (const char* instance : {"1", "2", "3"}) {
      if (std::strcmp(instance, "3") == 0 && (i.device != kAcdd || i.number != 2)) continue;
      const auto value = ReadGuid(ParametersPath(i.device, i.number, instance));
      ASSERT_TRUE(value.has_value()) << i.device << " " << i.number << " " << instance;
      EXPECT_EQ(value->type, static_cast<DWORD>(REG_SZ));
      EXPECT_EQ(value->data, WithNul(i.guid)) << i.device << " " << i.number << " " << instance;
    }
  }
}

TEST_F(Win32RegistryCheckTest, NonAdministratorIsAskedInTheFixedEnglishBox) {
  PutGuid(kAcdd, 1, "1", REG_SZ, WithNul(kGuidAa71));
  for (int button : {IDNO, IDYES}) {
    platform_.startedParameters.clear();
    MessageBoxAnswer answer(button);
    EXPECT_EQ(CheckTavikRegistry(), 0);
    const auto& seen = MessageBoxAnswer::seen();
    EXPECT_EQ(seen.boxes, 1);
    EXPECT_EQ(seen.caption, "[NEV-Tavik] CheckTavikRegistry");
    EXPECT_EQ(seen.text,
              "The registry entries for the USB device driver are not correct.\n"
              "Update (repair) USB registry entries? (needs administrator rights)");
    EXPECT_TRUE(seen.yes && seen.no && !seen.ok);
    EXPECT_TRUE(seen.topmost) << "system modal";
    EXPECT_EQ(platform_.startedParameters.size(), button == IDYES ? 1u : 0u);
  }
  const auto value = ReadGuid(ParametersPath(kAcdd, 1, "1"));
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->data, WithNul(kGuidAa71)) << "nothing repaired without rights";
}

TEST_F(Win32RegistryCheckTest, AdministratorIsToldInTheFixedEnglishBoxWhenValuesStayWrong) {
  PutGuid(kAcdc, 0, "1", REG_SZ, WithNul(kGuidAa71));
  // Wine does not refuse writing by key security; the real registry behind a seam that refuses it stands in.
  class NoRepair final : public Registry {
   public:
    RegistryHandle Root(RegistryRoot root) override { return PlatformRegistry().Root(root); }
    RegistryStatus OpenKey(RegistryHandle parent, const char* path, std::uint32_t access,
                           RegistryHandle* key) override {
      if ((access & WIN_KEY_SET_VALUE) != 0) return WIN_ERROR_ACCESS_DENIED;
      return PlatformRegistry().OpenKey(parent, path, access, key);
    }
    RegistryStatus CreateKey(RegistryHandle parent, const char* path, std::uint32_t access,
                             RegistryHandle* key) override {
      return PlatformRegistry().CreateKey(parent, path, access, key);
    }
    RegistryStatus QueryValue(RegistryHandle key, const char* name, std::uint32_t* type, void* data,
                              std::uint32_t* size) override {
      return PlatformRegistry().QueryValue(key, name, type, data, size);
    }
    RegistryStatus SetValue(RegistryHandle key, const char* name, std::uint32_t type, const void* data,
                            std::uint32_t size) override {
      return PlatformRegistry().SetValue(key, name, type, data, size);
    }
    RegistryStatus EnumKey(RegistryHandle key, std::uint32_t index, char* name, std::uint32_t* length) override {
      return PlatformRegistry().EnumKey(key, index, name, length);
    }
    RegistryStatus CloseKey(RegistryHandle key) override { return PlatformRegistry().CloseKey(key); }
  } noRepair;
  activeRegistry_ = &noRepair;
  platform_.administrator = true;

  MessageBoxAnswer answer(IDOK);
  EXPECT_EQ(CheckTavikRegistry(), 0);
  activeRegistry_ = &PlatformRegistry();
  const auto& seen = MessageBoxAnswer::seen();
  EXPECT_EQ(seen.boxes, 1);
  EXPECT_EQ(seen.caption, "[NEV-Tavik] CheckTavikRegistry");
  EXPECT_EQ(seen.text, "Error: The registry entries could not updated correctly.");
  EXPECT_TRUE(seen.ok && !seen.yes && !seen.no);
  EXPECT_TRUE(seen.topmost) << "system modal";
  EXPECT_TRUE(platform_.startedParameters.empty());
}

TEST(Win32RegistryCheckPlatform, AdministratorTestAgreesWithTheShell) {
  const int administrator = IsUserAdministrator(PlatformRegistryCheck());
  EXPECT_EQ(administrator != 0, IsUserAnAdmin() != FALSE);
  // Wine's prefix runs as an administrator-like user.
  if (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr) {
    EXPECT_EQ(administrator, 1);
  }
}

TEST(Win32RegistryCheckPlatform, OwnPathAndArgumentsComeFromTheProcess) {
  RegistryCheckPlatform& platform = PlatformRegistryCheck();
  char16_t path[REGCHECK_PROGRAM_PATH_SIZE] = {};
  ASSERT_TRUE(platform.GetProgramPath(path, REGCHECK_PROGRAM_PATH_SIZE));
  const std::u16string program(path);
  wchar_t own[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameW(nullptr, own, MAX_PATH), 0u);
  EXPECT_EQ(program, reinterpret_cast<const char16_t*>(own));  // the UTF-16 path, not an 8-bit reading of it
  EXPECT_EQ(program.substr(program.size() - std::char_traits<char16_t>::length(u"updater_tests.exe")),
            u"updater_tests.exe");
  char16_t tooSmall[4] = {};
  EXPECT_FALSE(platform.GetProgramPath(tooSmall, 4)) << "a cut path is no path";

  // The arguments of this test run, as the runtime split them (plain arguments split alike).
  std::string expected;
  for (int i = 1; i < __argc; ++i) {
    if (!expected.empty()) expected += ' ';
    expected += __argv[i];
  }
  EXPECT_EQ(BuildRelaunchArguments(platform), expected.substr(0, REGCHECK_ARGUMENTS_SIZE - 1));
}
