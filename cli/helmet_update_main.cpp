// helmet-update: the terminal updater. Builds the program's platform and runs RunHelmetUpdate on the real
// terminal. Three builds of this one file:
//   natively                      libusb for real units, the emulated unit with --demo (UPDATER_CLI_EMULATED);
//   helmet-update.exe             WinUSB, as the window program; no emulated unit is linked in;
//   helmet-update-demo.exe        the emulated unit only (UPDATER_CLI_EMULATED, UPDATER_CLI_DEMO_ONLY), as the
//                                 window program's demo.
#include <algorithm>
#include <atomic>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/clock.h"
#include "app/message_poster.h"
#include "app/unit_lock.h"
#include "app/unit_text.h"
#include "cli/cli_texts.h"
#include "cli/console.h"
#include "cli/helmet_update.h"
#include "platform/program_context.h"
#include "usb/result_code.h"
#ifdef UPDATER_CLI_EMULATED
#include "app/unit_lock_memory.h"
#include "emu/demo_unit_config.h"
#include "emu/emulated_usb.h"
#endif
#ifdef UPDATER_HAS_LIBUSB
#include "platform/libusb/libusb_platform.h"
#endif
#ifdef _WIN32
#include <windows.h>

#include "platform/win32/safe_dll_search.h"
#endif

namespace {

std::atomic<int> g_interrupts{0};
TerminationRequest g_terminations;  // static: the handler may run until the process has ended

#ifdef UPDATER_CLI_DEMO_ONLY
constexpr bool kDemoOnly = true;
#else
constexpr bool kDemoOnly = false;
#endif

int RunProgram(const std::vector<std::string>& args) {
  const bool demo = kDemoOnly || std::find(args.begin(), args.end(), "--demo") != args.end();
  CountInterrupts(g_interrupts);
  CountTerminations(g_terminations);
  PrepareConsoleOutput();

  PostedMessageQueue queue;    // the loader's notifications, pumped by the update loop
  UsbPlatform* usb = nullptr;  // the platform's own unless a part below takes its place
  UnitLocks* locks = nullptr;
#ifdef UPDATER_CLI_EMULATED
  std::unique_ptr<EmulatedUsb> emulated;
  MemoryUnitLocks demoLocks;  // the emulated units are this process's own: their locks are not the machine's
  if (demo) {
    const DemoTraySettings tray = ReadDemoTraySettingsFromEnvironment();
    for (const std::string& problem : tray.problems) std::cerr << "helmet-update: " << problem << '\n';
    emulated = std::make_unique<EmulatedUsb>(SystemClock());
    AttachDemoUnits(*emulated, tray);
    usb = emulated.get();
    locks = &demoLocks;
  }
#else
  if (demo) {
    std::cerr << "helmet-update: " << CliString(IDS_CLI_DEMO_PROGRAM, LanguageFromEnvironment()) << '\n';
    return EXIT_USAGE;
  }
#endif
#ifdef UPDATER_HAS_LIBUSB
  std::unique_ptr<LibusbPlatform> libusb;
  if (!demo) {
    libusb = std::make_unique<LibusbPlatform>();
    usb = libusb.get();
  }
#endif
  const PlatformContext context =
      ProgramContext({.usb = usb, .poster = &queue, .unitLocks = locks, .withoutWindows = true});

  CliIo io{std::cout, std::cerr};
  io.terminal = OutputIsTerminal();
  io.cursorMoves = io.terminal && TerminalMovesCursor();
  io.columns = TerminalColumns;
  if (InputIsTerminal()) io.readLine = ReadTerminalLine;
  io.interrupts = &g_interrupts;
  io.terminations = &g_terminations;
#ifdef UPDATER_HAS_LIBUSB
  if (libusb) io.permissionDenied = [&libusb] { return libusb->LastOpenWasPermissionDenied(); };
#endif
  const int status = RunHelmetUpdate(args, context, io);
  std::cout.flush();
  return status;
}

// RunHelmetUpdate catches what escapes a command; this catches what escapes the platform's set-up around it, so
// that the program always ends with a message and status 11 rather than an abort.
int Run(const std::vector<std::string>& args) {
  const char* const stopped = "helmet-update: stopped by an unexpected error: ";
  try {
    return RunProgram(args);
  } catch (const std::exception& error) {
    std::cerr << stopped << UnitText(error.what()) << std::endl;
  } catch (...) {
    std::cerr << stopped << "an exception of an unknown type" << std::endl;
  }
  return FWL_ERR_FAILED;
}

}  // namespace

#ifdef _WIN32
// The arguments as the system has them (UTF-16), passed on as UTF-8.
int wmain(int argc, wchar_t** argv) {
  if (!RestrictDllSearchToSystemFolder(SetDefaultDllDirectories, DllSearchReport::StandardError)) return 1;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
    std::string arg(size > 0 ? static_cast<std::size_t>(size) : 1, '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, arg.data(), size, nullptr, nullptr);
    arg.resize(arg.size() - 1);  // the terminating zero
    args.push_back(std::move(arg));
  }
  return Run(args);
}
#else
int main(int argc, char** argv) { return Run(std::vector<std::string>(argv + 1, argv + argc)); }
#endif
