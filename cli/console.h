#pragma once
// The terminal the program runs in, one file per platform (console_posix.cpp, console_win32.cpp): Ctrl+C and
// requests to end counted (the update loop acts on them between events, never inside a block), whether the
// streams are a terminal, and a line typed on it.

#include <atomic>
#include <cstddef>
#include <optional>
#include <string>

#include "cli/termination.h"

// From now on each Ctrl+C adds one to `presses` instead of ending the program.
void CountInterrupts(std::atomic<int>& presses);

// From now on a request to end the program (SIGTERM, SIGHUP; on Windows the console's close, logoff and
// shutdown) is noted in `request` instead of ending the program at once, and a second one does not end it
// either: the update loop cancels the update and resets the unit, and the program ends with its status. On
// Windows the system's handler thread waits for that (the process's end), within the time Windows gives.
void CountTerminations(TerminationRequest& request);

// Makes a console show the program's UTF-8 text (Windows' console is written in UTF-16) and output to a closed
// pipe harmless (elsewhere SIGPIPE is ignored: the text is dropped, the update goes on).
void PrepareConsoleOutput();

bool OutputIsTerminal();
// The width of the terminal that standard output is, now (it may change); 0 when not known.
std::size_t TerminalColumns();
// Whether the terminal moves its cursor on the usual escape sequences (on Windows: turns them on in the console).
bool TerminalMovesCursor();
bool InputIsTerminal();

// A line from the terminal, waiting up to 200 ms for it so that a second Ctrl+C is seen meanwhile; nullopt
// while none came. End of input reads as an empty line (no).
std::optional<std::string> ReadTerminalLine();
