// helmet-update: the terminal updater. Builds the program's platform (the libusb backend, or the emulated unit
// with --demo), counts Ctrl+C in a signal handler (the update loop acts on it between events, never inside a
// block) and runs RunHelmetUpdate on the real terminal.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cli/helmet_update.h"
#include "emu/emulated_usb.h"
#include "platform/program_context.h"
#include "emu/demo_unit_config.h"
#ifdef UPDATER_HAS_LIBUSB
#include "platform/libusb/libusb_platform.h"
#endif

namespace {

std::atomic<int> g_interrupts{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnInterrupt(int) { g_interrupts.fetch_add(1); }

// A line from standard input, waiting up to 200 ms for it so that a second Ctrl+C is seen meanwhile.
std::optional<std::string> ReadTerminalLine() {
  pollfd in{STDIN_FILENO, POLLIN, 0};
  if (poll(&in, 1, 200) <= 0) return std::nullopt;
  std::string line;
  if (!std::getline(std::cin, line)) {
    std::cin.clear();
    return std::string();  // end of input: no
  }
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const bool demo = std::find(args.begin(), args.end(), "--demo") != args.end();

  struct sigaction action{};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);  // no SA_RESTART: a wait on the terminal returns at once

  PlatformContext context = ProgramContext();
  std::unique_ptr<EmulatedUsb> emulated;
#ifdef UPDATER_HAS_LIBUSB
  std::unique_ptr<LibusbPlatform> libusb;
#endif
  if (demo) {
    const DemoUnitSettings settings = ReadDemoUnitSettingsFromEnvironment();
    for (const std::string& problem : settings.problems) std::cerr << "helmet-update: " << problem << '\n';
    emulated = std::make_unique<EmulatedUsb>(*context.clock);
    if (settings.attached) {
      EmulatedUnit& unit = emulated->AddUnit(settings.unit);
      for (const Fault& fault : settings.faults) unit.AddFault(fault);
    }
    context.usb = emulated.get();
  } else {
#ifdef UPDATER_HAS_LIBUSB
    libusb = std::make_unique<LibusbPlatform>();
    context.usb = libusb.get();
#endif
  }

  CliIo io{std::cout, std::cerr};
  io.terminal = isatty(STDOUT_FILENO) != 0;
  if (isatty(STDIN_FILENO) != 0) io.readLine = ReadTerminalLine;
  io.interrupts = &g_interrupts;
#ifdef UPDATER_HAS_LIBUSB
  if (libusb) io.permissionDenied = [&libusb] { return libusb->LastOpenWasPermissionDenied(); };
#endif
  return RunHelmetUpdate(args, context, io);
}
