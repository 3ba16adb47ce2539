// The trace file on Windows for real: its folder in the user's local application data, the files written
// through the system's file API in a folder of the test's own, the change to trace.1.log, a folder that cannot
// be made, the program's own trace file behind the trace, and the system-menu item that opens the folder.

#include "platform/win32/trace_file_storage.h"

#include <windows.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "app/process_elevation.h"
#include "app/trace.h"
#include "platform/program_context.h"
#include "platform/win32/trace_folder_menu.h"
#include "tools/demo_driver.h"

namespace {

std::string ReadFile(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::wstring& path, const std::string& content) {
  std::ofstream(path.c_str(), std::ios::binary) << content;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void RemoveTree(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(folder.c_str());
}

class FixedCalendar final : public TraceClock {
 public:
  TraceTime LocalNow() override { return {2026, 12, 10, 13, 45, 7, 123}; }
};

class TraceFileStorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    root = std::wstring(temp) + L"trace-file-test-" + std::to_wstring(GetCurrentProcessId());
    RemoveTree(root);
    folder = root + L"\\company\\product";  // two levels that do not exist yet
  }
  void TearDown() override { RemoveTree(root); }

  std::wstring root;
  std::wstring folder;
  FixedCalendar calendar;
};

TEST(TraceFolderTest, IsTheCompanyAndProductFolderInTheUsersLocalApplicationData) {
  wchar_t local[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH);
  ASSERT_GT(length, 0u);
  ASSERT_LT(length, static_cast<DWORD>(MAX_PATH));
  EXPECT_EQ(TraceFolderPath(), std::wstring(local) + L"\\ostrel\\Velmora Communication System Software Update");
}

TEST_F(TraceFileStorageTest, LinesAreAppendedStampedAndWholeAcrossRuns) {
  {
    Win32TraceFileStorage storage(folder);
    TraceFile file(storage, calendar);
    file.Write("[Tavik_FW_Update] Start Application\r\n");
    file.Write("[Tavik_FW_Update] Message: WM_INITDIALOG\r\n");
    // Readable while the program still writes it.
    EXPECT_EQ(ReadFile(folder + L"\\trace.log"),
              "2026-12-10 13:45:07.123 [Tavik_FW_Update] Start Application\r\n"
              "2026-12-10 13:45:07.123 [Tavik_FW_Update] Message: WM_INITDIALOG\r\n");
  }
  {
    // The next run goes on at the end of the file.
    Win32TraceFileStorage storage(folder);
    TraceFile file(storage, calendar);
    file.Write("[Tavik_FW_Update] Exit Application: rc = 0\r\n");
  }
  EXPECT_EQ(ReadFile(folder + L"\\trace.log"),
            "2026-12-10 13:45:07.123 [Tavik_FW_Update] Start Application\r\n"
            "2026-12-10 13:45:07.123 [Tavik_FW_Update] Message: WM_INITDIALOG\r\n"
            "2026-12-10 13:45:07.123 [Tavik_FW_Update] Exit Application: rc = 0\r\n");
  EXPECT_FALSE(Exists(folder + L"\\trace.1.log"));
}

TEST_F(TraceFileStorageTest, AFullFileReplacesTheEarlierOneAndANewFileBegins) {
  ASSERT_TRUE(MakeTraceFolder(folder));
  WriteFile(folder + L"\\trace.1.log", "the oldest lines\r\n");
  const std::string full(TRACE_FILE_LIMIT - 10, 'o');
  WriteFile(folder + L"\\trace.log", full);
  {
    Win32TraceFileStorage storage(folder);
    TraceFile file(storage, calendar);
    file.Write("[Tavik_FW_Update] Start Application\r\n");
    file.Write("[Tavik_FW_Update] Message: WM_INITDIALOG\r\n");
  }
  EXPECT_EQ(ReadFile(folder + L"\\trace.1.log"), full);
  EXPECT_EQ(ReadFile(folder + L"\\trace.log"),
            "2026-12-10 13:45:07.123 [Tavik_FW_Update] Start Application\r\n"
            "2026-12-10 13:45:07.123 [Tavik_FW_Update] Message: WM_INITDIALOG\r\n");
}

// A file where the folder should be: nothing can be written, nothing is disturbed, and the writer goes on.
TEST_F(TraceFileStorageTest, AFolderThatCannotBeMadeChangesNothing) {
  ASSERT_TRUE(MakeTraceFolder(root));
  WriteFile(root + L"\\company", "not a folder");
  Win32TraceFileStorage storage(folder);
  TraceFile file(storage, calendar);
  for (int i = 0; i < 3; ++i) file.Write("[Tavik_FW_Update] Start Application\r\n");

  std::uint64_t size = 0;
  EXPECT_FALSE(storage.CurrentSize(&size));
  EXPECT_FALSE(storage.Append("x", 1));
  EXPECT_EQ(ReadFile(root + L"\\company"), "not a folder");
  EXPECT_FALSE(Exists(folder));
  EXPECT_FALSE(MakeTraceFolder(folder));
  EXPECT_FALSE(MakeTraceFolder(L""));
}

// The program's trace: the line on the debugger output also ends the user's trace file, stamped with now.
TEST(ProgramTraceFileTest, ATracedLineEndsTheUsersTraceFileWithTheLocalTimeInFront) {
  StartTrace(ProgramContext().trace);  // the program's own sink
  SYSTEMTIME before{};
  GetLocalTime(&before);
  const std::string marker = "Trace file test " + std::to_string(GetTickCount64()) + " 100 %";
  Trace("%s\n\n", marker.c_str());
  StartTrace(nullptr);

  const std::string content = ReadFile(TraceFolderPath() + L"\\trace.log");
  const std::string line = "[Tavik_FW_Update] " + marker + "\r\n";
  ASSERT_GE(content.size(), TRACE_TIMESTAMP_LENGTH + line.size());
  const std::string last = content.substr(content.size() - TRACE_TIMESTAMP_LENGTH - line.size());
  EXPECT_EQ(last.substr(TRACE_TIMESTAMP_LENGTH), line);
  EXPECT_TRUE(
      std::regex_match(last.substr(0, TRACE_TIMESTAMP_LENGTH), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )")))
      << last;
  char date[16];
  std::snprintf(date, sizeof date, "%04u-%02u-%02u ", before.wYear, before.wMonth, before.wDay);
  // Unless the day changed in between, it is today.
  SYSTEMTIME after{};
  GetLocalTime(&after);
  if (after.wDay == before.wDay) {
    EXPECT_EQ(last.substr(0, 11), date);
  }
}

class ElevationAnswer final : public ProcessElevation {
 public:
  explicit ElevationAnswer(bool elevated) : elevated_(elevated) {}
  bool IsElevated() override { return elevated_; }

 private:
  bool elevated_;
};

// A process that runs elevated keeps its debugger output and leaves the user's trace files as they are: nothing
// appended, nothing renamed. The same program not elevated writes the line.
TEST(ProgramTraceFileTest, AnElevatedProcessWritesNoTraceFile) {
  const std::wstring current = TraceFolderPath() + L"\\trace.log";
  const std::wstring previous = TraceFolderPath() + L"\\trace.1.log";
  StartTrace(ProgramContext().trace);
  Trace("Trace file test: the file exists");
  StartTrace(nullptr);
  const std::string currentBefore = ReadFile(current);
  const std::string previousBefore = ReadFile(previous);
  ASSERT_FALSE(currentBefore.empty());

  DebugOutputCapture debugger;
  ASSERT_TRUE(debugger.Active());
  const std::string marker = "Elevated trace test " + std::to_string(GetTickCount64());
  for (bool elevated : {true, false}) {
    SCOPED_TRACE(elevated ? "elevated" : "not elevated");
    ElevationAnswer answer(elevated);
    const PlatformContext context = ProgramContext({.elevation = &answer});
    EXPECT_EQ(context.elevation, &answer);
    // Nor is an update's USB capture written beside the trace.
    EXPECT_EQ(context.capture == nullptr, elevated);
    EXPECT_EQ(context.updateCaptures == nullptr, elevated);
    StartTrace(context.trace);
    Trace("%s %s", marker.c_str(), elevated ? "elevated" : "not elevated");
    StartTrace(nullptr);
    const std::string line = std::string("[Tavik_FW_Update] ") + marker + (elevated ? " elevated" : " not elevated");
    EXPECT_TRUE(WaitUntil(
        [&] {
          for (const std::string& shown : debugger.Lines(GetCurrentProcessId())) {
            if (shown.rfind(line, 0) == 0) return true;
          }
          return false;
        },
        10000));
    const std::string content = ReadFile(current);
    if (elevated) {
      EXPECT_EQ(content, currentBefore);
      EXPECT_EQ(ReadFile(previous), previousBefore);
    } else {
      EXPECT_NE(content.find(line + "\r\n"), std::string::npos);
    }
  }
}

TEST(TraceFolderMenuTest, TheItemComesRightAfterAboutAndNowhereWithoutIt) {
  HMENU menu = CreatePopupMenu();
  ASSERT_NE(menu, nullptr);
  AppendMenuW(menu, MF_STRING, 0xF000, L"Size");
  AppendMenuW(menu, MF_STRING, 116, L"About ...");
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, MF_STRING, 0xF060, L"Close");
  EXPECT_FALSE(AddTraceFolderMenuItem(menu, 999));
  EXPECT_EQ(GetMenuItemCount(menu), 4);

  ASSERT_TRUE(AddTraceFolderMenuItem(menu, 116));
  ASSERT_EQ(GetMenuItemCount(menu), 5);
  EXPECT_EQ(GetMenuItemID(menu, 1), 116u);
  EXPECT_EQ(GetMenuItemID(menu, 2), IDM_OPEN_TRACE_FOLDER);
  wchar_t text[64] = {};
  GetMenuStringW(menu, 2, text, 64, MF_BYPOSITION);
  EXPECT_STREQ(text, L"Open trace folder ...");
  EXPECT_EQ(IDM_OPEN_TRACE_FOLDER & 0xF, 0u);
  EXPECT_LT(IDM_OPEN_TRACE_FOLDER, 0xF000u);
  DestroyMenu(menu);
}

struct OpenCall {
  int calls = 0;
  HWND owner = nullptr;
  std::wstring verb;
  std::wstring file;
  bool noParameters = false;
  bool noDirectory = false;
  INT show = 0;
};
OpenCall g_open;
INT_PTR g_openResult = 42;

HINSTANCE WINAPI RecordOpen(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR directory, INT show) {
  ++g_open.calls;
  g_open.owner = owner;
  g_open.verb = verb != nullptr ? verb : L"(null)";
  g_open.file = file != nullptr ? file : L"(null)";
  g_open.noParameters = parameters == nullptr;
  g_open.noDirectory = directory == nullptr;
  g_open.show = show;
  return reinterpret_cast<HINSTANCE>(g_openResult);
}

TEST_F(TraceFileStorageTest, OpeningTheFolderMakesItAndAsksTheShellToOpenIt) {
  g_open = {};
  g_openResult = 42;
  const HWND owner = reinterpret_cast<HWND>(0x4321);
  EXPECT_TRUE(OpenTraceFolder(owner, folder, RecordOpen));
  EXPECT_TRUE(Exists(folder));
  EXPECT_EQ(g_open.calls, 1);
  EXPECT_EQ(g_open.owner, owner);
  EXPECT_EQ(g_open.verb, L"open");
  EXPECT_EQ(g_open.file, folder);
  EXPECT_TRUE(g_open.noParameters);
  EXPECT_TRUE(g_open.noDirectory);
  EXPECT_EQ(g_open.show, SW_SHOWNORMAL);

  g_openResult = SE_ERR_NOASSOC;  // the shell's failures are the values up to 32
  EXPECT_FALSE(OpenTraceFolder(owner, folder, RecordOpen));

  // No folder, no shell.
  g_open = {};
  ASSERT_TRUE(MakeTraceFolder(root));
  WriteFile(root + L"\\blocked", "");
  EXPECT_FALSE(OpenTraceFolder(owner, root + L"\\blocked\\sub", RecordOpen));
  EXPECT_EQ(g_open.calls, 0);
}

// An elevated process opens the folder that is there and makes none.
TEST_F(TraceFileStorageTest, OpeningWithoutMakingTheFolderOpensOnlyOneThatExists) {
  g_open = {};
  g_openResult = 42;
  EXPECT_FALSE(OpenTraceFolder(nullptr, folder, RecordOpen, false));
  EXPECT_FALSE(Exists(folder));
  EXPECT_EQ(g_open.calls, 0);
  ASSERT_TRUE(MakeTraceFolder(folder));
  EXPECT_TRUE(OpenTraceFolder(nullptr, folder, RecordOpen, false));
  EXPECT_EQ(g_open.calls, 1);
  EXPECT_EQ(g_open.file, folder);
}

}  // namespace
