// The console programs as a user or a script starts them: helmet-update-demo.exe on the emulated unit and
// helmet-update.exe on WinUSB, each a process of its own with its standard output read through a pipe.
#include <windows.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools/demo_driver.h"

using ::testing::HasSubstr;

namespace {

constexpr DWORD kRunMs = 240000;

struct Finished {
  DWORD status = 0xDEAD;
  std::string output;  // standard output and standard error, as they came
};

// UTF-8 to UTF-16, as the console programs take their arguments back.
std::wstring Wide(const std::string& text) {
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

// Runs `program` (beside the tests) with `args`, the caller's environment plus `environment`, no console input,
// and its output read to the end.
Finished RunConsoleProgram(const wchar_t* program, const std::vector<std::string>& args,
                           std::vector<std::pair<std::wstring, std::wstring>> environment) {
  Finished finished;
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return finished;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  OwnedHandle reader(readEnd);
  OwnedHandle writer(writeEnd);
  OwnedHandle noInput(
      CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));

  environment.emplace_back(L"DEMO_TIMING", L"fast");
  std::wstring block = EnvironmentWith(environment);

  const std::wstring path = SiblingPath(program);
  std::wstring commandLine = L"\"" + path + L"\"";
  for (const std::string& arg : args) commandLine += L" \"" + Wide(arg) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = noInput.Get();
  startup.hStdOutput = writer.Get();
  startup.hStdError = writer.Get();
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                      CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, block.data(), nullptr, &startup, &info)) {
    return finished;
  }
  OwnedHandle process(info.hProcess);
  CloseHandle(info.hThread);
  writer = OwnedHandle();  // the pipe ends when the program's copies of it end

  std::thread drain([&] {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(reader.Get(), buffer, sizeof(buffer), &got, nullptr) && got > 0)
      finished.output.append(buffer, got);
  });
  if (WaitForSingleObject(process.Get(), kRunMs) != WAIT_OBJECT_0) TerminateProcess(process.Get(), 0xDEAD);
  drain.join();
  GetExitCodeProcess(process.Get(), &finished.status);
  return finished;
}

std::string TempPath(const char* name) {
  char folder[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, folder);
  return std::string(folder) + name;
}

std::string ReadWhole(const std::string& path) {
  std::string text;
  if (FILE* file = std::fopen(path.c_str(), "rb")) {
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof(buffer), file)) > 0;) text.append(buffer, got);
    std::fclose(file);
  }
  return text;
}

}  // namespace

TEST(ConsoleProgram, TheDemoUpdatesTheEmulatedUnitInGermanWithItsTrace) {
  const std::string trace = TempPath("helmet-update-trace.txt");
  DeleteFileA(trace.c_str());
  const Finished run = RunConsoleProgram(
      L"helmet-update-demo.exe", {"update", "--yes", "--lang", "de", "--trace", trace}, {{L"DEMO_BOOT2_FLAG", L"0"}});
  EXPECT_EQ(run.status, 0u) << run.output;
  // The window program's words, from the resources, in UTF-8; one plain line per stage without a terminal.
  const std::string text = run.output;
  const std::size_t second = text.find("Programmiere Bootloader 2!");
  const std::size_t first = text.find("Programmiere Bootloader 1!");
  const std::size_t application = text.find("Programmiere die Applikation!");
  ASSERT_NE(second, std::string::npos) << text;
  EXPECT_LT(second, first);
  EXPECT_LT(first, application);
  EXPECT_THAT(text, HasSubstr("Verifiziere Ger\xC3\xA4t!"));
  EXPECT_THAT(text, HasSubstr("Firmware Aktualisierung erfolgreich beendet!"));
  EXPECT_THAT(text, HasSubstr("R\xC3\xBC"
                              "ckgabewert: 0"));
  EXPECT_EQ(text.find("\033[K"), std::string::npos) << "no live line into a pipe";

  const std::string lines = ReadWhole(trace);
  EXPECT_THAT(lines, HasSubstr("Update Firmware from ID(110) to Flash(0x00080000), Size(156400)"));
  EXPECT_THAT(lines, HasSubstr("Update Firmware from ID(109) to Flash(0x00100000), Size(2633516)"));
  EXPECT_THAT(lines, HasSubstr("SendUpdateResult = 0"));
  DeleteFileA(trace.c_str());
}

// A trace file named outside the ANSI code page is that very file, by its UTF-16 name; the 8-bit reading of the
// same bytes names another file, which must not appear.
TEST(ConsoleProgram, TheTraceFileKeepsItsNonAsciiName) {
  const std::string name = "tr\xC3\xA4nce-" + std::to_string(GetCurrentProcessId()) + ".log";
  const std::string trace = TempPath(name.c_str());
  const std::wstring wide = Wide(trace);
  ASSERT_NE(wide.find(L"tr\u00E4nce-"), std::wstring::npos);
  const std::wstring misread(trace.begin(), trace.end());  // each byte a character: "trÃ¤nce-..."
  DeleteFileW(wide.c_str());
  DeleteFileW(misread.c_str());

  const Finished run = RunConsoleProgram(L"helmet-update-demo.exe", {"info", "--trace", trace}, {});
  EXPECT_EQ(run.status, 0u) << run.output;
  EXPECT_NE(GetFileAttributesW(wide.c_str()), INVALID_FILE_ATTRIBUTES) << run.output;
  EXPECT_EQ(GetFileAttributesW(misread.c_str()), INVALID_FILE_ATTRIBUTES);
  std::string header;
  if (FILE* file = _wfopen(wide.c_str(), L"rb")) {
    char buffer[4096];
    header.assign(buffer, std::fread(buffer, 1, sizeof(buffer), file));
    std::fclose(file);
  }
  EXPECT_THAT(header, HasSubstr("Command line: helmet-update info --trace " + trace));
  DeleteFileW(wide.c_str());
}

TEST(ConsoleProgram, RefusalsAndQueriesEndWithTheirStatus) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::pair<std::wstring, std::wstring>> environment;
    DWORD status;
    const char* text;
  };
  const Case cases[] = {
      {{"update", "--yes", "--lang", "fr"}, {{L"DEMO_APP_VERSION", L"001.006.000"}}, 12, "Code de sortie : 12"},
      {{"update", "--yes", "--lang", "en"}, {{L"DEMO_UNIT_MODE", L"application"}}, 7, "switch off"},
      {{"update", "--yes", "--lang", "en"}, {{L"DEMO_UNIT_MODE", L"none"}}, 3, "Exit status: 3"},
      // Without a terminal and without --yes nothing is asked and nothing written; it says why.
      {{"update", "--lang", "en"}, {}, 10, "No terminal to answer on"},
      {{"list", "--lang", "en"}, {}, 0, "vid_"},
      {{"--version"}, {}, 0, "helmet-update 1.1"},
      {{"update", "--frobnicate"}, {}, 2, "--frobnicate"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front() + " " + c.text);
    const Finished run = RunConsoleProgram(L"helmet-update-demo.exe", c.args, c.environment);
    EXPECT_EQ(run.status, c.status) << run.output;
    EXPECT_THAT(run.output, HasSubstr(c.text));
  }
}

TEST(ConsoleProgram, InfoAsJsonParsesBack) {
  const Finished run = RunConsoleProgram(L"helmet-update-demo.exe", {"info", "--json"}, {{L"DEMO_HWID", L"7"}});
  ASSERT_EQ(run.status, 0u) << run.output;
  bool sawUnit = false;
  std::istringstream lines(run.output);
  for (std::string line; std::getline(lines, line);) {
    const nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
    ASSERT_FALSE(event.is_discarded()) << line;
    if (event.value("event", "") == "info") {
      sawUnit = true;
      EXPECT_EQ(event["unit"]["hardware"], 7) << line;
      EXPECT_EQ(event["unit"]["application"], "001.005.010") << line;
    }
  }
  EXPECT_TRUE(sawUnit) << run.output;
}

TEST(ConsoleProgram, TheProgramForRealUnitsFindsNoneUnderTheTestsAndTakesNoDemo) {
  const Finished none = RunConsoleProgram(L"helmet-update.exe", {"list", "--lang", "en"}, {});
  EXPECT_EQ(none.status, 3u) << none.output;
  EXPECT_THAT(none.output, HasSubstr("No unit found."));

  const Finished demo = RunConsoleProgram(L"helmet-update.exe", {"update", "--demo"}, {});
  EXPECT_EQ(demo.status, 2u) << demo.output;
  EXPECT_THAT(demo.output, HasSubstr("helmet-update-demo"));
}
