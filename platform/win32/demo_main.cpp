// The demo: the updater itself, with the emulated units (DEMO_UNITS, one by default) on an emulated bus in place
// of the USB stack. The window updates the first unit present.
#include <windows.h>

#include <string>

#include "app/clock.h"
#include "app/message_poster.h"
#include "app/unit_lock_memory.h"
#include "emu/demo_unit_config.h"
#include "emu/emulated_usb.h"
#include "emu/unit_fault.h"
#include "image/image_resources.h"
#include "platform/program_context.h"
#include "platform/win32/safe_dll_search.h"
#include "platform/win32/updater_program.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  if (!RestrictDllSearchToSystemFolder(SetDefaultDllDirectories, DllSearchReport::MessageBox)) return 1;
  // The unit's misuse reports and unknown settings go to the debugger output beside the trace.
  SetUsbViolationSink([](const std::string& text) { OutputDebugStringA(("[Demo unit] " + text + "\r\n").c_str()); });
  const DemoTraySettings tray = ReadDemoTraySettingsFromEnvironment();
  bool faultProblem = false;
  for (const std::string& problem : tray.problems) {
    OutputDebugStringA(("[Demo unit] not understood, ignored: " + problem + "\r\n").c_str());
    faultProblem = faultProblem || problem.rfind("DEMO_FAULT=", 0) == 0;
  }
  if (faultProblem) {
    OutputDebugStringA("[Demo unit] DEMO_FAULT kinds:\r\n");
    std::string help = FaultKindHelp();
    for (std::size_t start = 0, end; start < help.size(); start = end + 1) {
      end = help.find('\n', start);
      OutputDebugStringA(("[Demo unit] " + help.substr(start, end - start) + "\r\n").c_str());
    }
  }

  // The unit's modelled latencies pass in real time, as the program's own waits do.
  EmulatedUsb bus(SystemClock());
  AttachDemoUnits(bus, tray);
  // The emulated units are the demo's own: their locks are not the machine's.
  static MemoryUnitLocks demoLocks;
  return RunUpdaterProgram(ProgramContext({.usb = &bus, .unitLocks = &demoLocks}));
}
