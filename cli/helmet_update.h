#pragma once
// The terminal updater as a function of its arguments, its platform and its terminal, so that the tests run it
// in-process on the emulated unit and a virtual clock. The update itself is the window program's: an
// UpdateSession and its UsbFwLoader, with a terminal view (terminal_view.h) and loop (update_runner.h).
//
// Exit statuses: 0 done; 2 a usage error (also: several units and no --unit); otherwise the result code the
// update or query ended with: 3 no unit, 5 compare, 7 application mode, 9 busy, 10 cancelled, 11 failed (also:
// an unexpected error stopped the program, told on the error stream), 12 the unit has newer firmware, 13 the
// firmware is not for this hardware; 14 several units, not all completed.

#include <atomic>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/platform_context.h"
#include "cli/termination.h"

inline constexpr int EXIT_USAGE = 2;
// Several units were updated and some did not complete (each one's own status is in its result).
inline constexpr int EXIT_SOME_UNITS = 14;

struct CliIo {
  CliIo(std::ostream& output, std::ostream& errors) : out(output), err(errors) {}
  std::ostream& out;
  std::ostream& err;
  bool terminal = false;                 // `out` is a terminal: the live line
  bool cursorMoves = false;              // the terminal moves its cursor (a tray's rows are redrawn in place)
  std::function<std::size_t()> columns;  // the terminal's width now; null or 0: not known
  // A line typed on the terminal; nullopt while none came yet (waits a short while); null: no terminal to ask
  // on. End of input reads as an empty line (no).
  std::function<std::optional<std::string>()> readLine;
  std::atomic<int>* interrupts = nullptr;      // Ctrl+C presses, counted by the signal handler
  std::function<void()> afterEvent;            // after each event of the update (tests inject Ctrl+C here)
  TerminationRequest* terminations = nullptr;  // SIGTERM, SIGHUP, a closed console: the update ends as "Cancel"
  std::function<bool()> permissionDenied;      // the last open was refused for lack of permission (libusb)
  // The run's status as it ends, from the command's own (a trace file that could not be written turns 0 into
  // 11); the commands ask it just before they report their status. Null: the command's own.
  std::function<int(int)> settle;
  int Settled(int status) const { return settle ? settle(status) : status; }
};

// With --json, a usage error found once --json was seen: an "error" event (reason "usage", `text`) and the run's
// "result" and "exit" events (both 2) on `io.out`, so that standard output stays JSON. Returns EXIT_USAGE.
int JsonUsageError(CliIo& io, const std::string& text);

// `args` without the program name. The context's poster must be a PostedMessageQueue.
int RunHelmetUpdate(const std::vector<std::string>& args, const PlatformContext& context, CliIo& io);

// The version of the program, as --version shows it.
inline constexpr const char HELMET_UPDATE_VERSION[] = "1.1";
