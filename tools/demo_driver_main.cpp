// Runs the demo program and writes its trace lines (as they come) to <output folder>\trace.txt.
// Unattended, it drives one whole update: presses "Update!", waits for the end, confirms the final message and
// leaves the program, taking screenshots along the way. With --watch the user drives, and it only waits.
//
//   HelmetDemoDriver.exe [--watch] <output folder>
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "platform/win32/safe_dll_search.h"
#include "tools/demo_driver.h"

namespace {
constexpr int IDB_UPDATE = 40003;
constexpr int IDC_VERSION = 40006;
constexpr int IDC_BAR = 40001;
constexpr int IDC_STATUS = 40005;
constexpr DWORD kWindowTimeoutMs = 60000;
constexpr DWORD kUpdateTimeoutMs = 15 * 60000;

void Say(const std::string& text) {
  std::printf("demo-driver: %s\n", text.c_str());
  std::fflush(stdout);
}

// Appends the trace lines that came since the last call.
class TraceFile {
 public:
  TraceFile(const DebugOutputCapture& capture, const std::wstring& path)
      : capture_(capture), out_(path.c_str(), std::ios::binary) {}
  void Update(DWORD processId) {
    const auto lines = capture_.Lines(processId);
    for (; written_ < lines.size(); ++written_) out_ << lines[written_];
    out_.flush();
  }

 private:
  const DebugOutputCapture& capture_;
  std::ofstream out_;
  std::size_t written_ = 0;
};

void Snap(const std::wstring& folder, const wchar_t* name) {
  const std::wstring path = folder + L"\\" + name;
  Say((SaveScreenshot(path) ? "screenshot " : "no screenshot ") + Utf8(path));
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (!RestrictDllSearchToSystemFolder(SetDefaultDllDirectories, DllSearchReport::StandardError)) return 1;
  const bool watch = argc > 1 && std::wstring(argv[1]) == L"--watch";
  const std::wstring folder = argc > (watch ? 2 : 1) ? argv[watch ? 2 : 1] : L".";
  DebugOutputCapture trace;
  TraceFile traceFile(trace, folder + L"\\trace.txt");
  if (!trace.Active()) Say("the debugger output cannot be read: no trace");
  DrivenProcess demo;
  if (!demo.Start(SiblingPath(L"HelmetUpdaterDemo.exe"), {})) {
    Say("the demo program did not start");
    return 1;
  }
  Say("trace " + Utf8(folder + L"\\trace.txt"));

  if (watch) {
    DWORD exitCode = 0;
    while (!demo.WaitForExit(200, &exitCode)) traceFile.Update(demo.Id());
    traceFile.Update(demo.Id());
    Say("the demo program ended with " + std::to_string(static_cast<int>(exitCode)));
    return 0;
  }

  HWND main = WaitForWindow([&] { return FindMainWindow(demo.Id()); }, kWindowTimeoutMs);
  if (main == nullptr) {
    Say("no main window");
    return 1;
  }
  Say("main window \"" + Utf8(WindowText(main)) + "\", version " + Utf8(ControlText(main, IDC_VERSION)));
  Sleep(500);  // let it paint
  Snap(folder, L"1-main-window.bmp");

  PressButton(main, IDB_UPDATE);
  const ULONGLONG pressed = GetTickCount64();
  // The progress window, or a box that refuses the update before it (its window is never shown then).
  HWND box = nullptr;
  HWND progress = WaitForWindow(
      [&] {
        box = FindMessageBox(demo.Id());
        return box != nullptr ? box : FindProgressWindow(demo.Id());
      },
      kWindowTimeoutMs);
  if (progress == nullptr) {
    Say("no progress window");
    return 1;
  }
  if (box != nullptr) {
    Say("the update did not start");
    progress = nullptr;
  } else {
    Say("progress window \"" + Utf8(WindowText(progress)) + "\"");
  }

  // Follow the status lines until the final message; a picture once the bar is past the middle.
  std::size_t shown = 0;
  bool midSnapped = false;
  WaitUntil(
      [&] {
        if (box != nullptr) return true;
        const auto lines = ListBoxLines(progress, IDC_STATUS);
        for (; shown < lines.size(); ++shown) Say("status: " + Utf8(lines[shown]));
        if (!midSnapped && ProgressPosition(progress, IDC_BAR) >= 50) {
          Snap(folder, L"2-progress-window.bmp");
          midSnapped = true;
        }
        traceFile.Update(demo.Id());
        box = FindMessageBox(demo.Id());
        return box != nullptr;
      },
      kUpdateTimeoutMs);
  if (box == nullptr) {
    Say("no final message");
    return 1;
  }
  const auto lines = progress != nullptr ? ListBoxLines(progress, IDC_STATUS) : std::vector<std::wstring>{};
  for (; shown < lines.size(); ++shown) Say("status: " + Utf8(lines[shown]));
  Sleep(500);
  Say("the update took " + std::to_string((GetTickCount64() - pressed) / 1000) + " s");
  const std::wstring message = ControlText(box, 0xFFFF);
  Say("final message \"" + Utf8(WindowText(box)) + "\": " + Utf8(message));
  Snap(folder, L"3-final-message.bmp");
  PressButton(box, IDOK);

  // Back in the main window: leave the program.
  WaitUntil([&] { return IsWindowEnabled(main) && FindProgressWindow(demo.Id()) == nullptr; }, kWindowTimeoutMs);
  PressButton(main, IDCANCEL);
  DWORD exitCode = 0;
  const bool ended = demo.WaitForExit(kWindowTimeoutMs, &exitCode);
  Say(ended ? "the demo program ended with " + std::to_string(static_cast<int>(exitCode)) : "the demo did not end");

  traceFile.Update(demo.Id());
  return ended && exitCode == 0 && IsWindow(main) == FALSE ? 0 : 1;
}
