#pragma once
// The terminal the program runs in, one file per platform (console_posix.cpp, console_win32.cpp): Ctrl+C
// counted (the update loop acts on the count between events, never inside a block), whether the streams are a
// terminal, and a line typed on it.

#include <atomic>
#include <cstddef>
#include <optional>
#include <string>

// From now on each Ctrl+C adds one to `presses` instead of ending the program.
void CountInterrupts(std::atomic<int>& presses);

// Makes a console show the program's UTF-8 text (Windows' console is written in UTF-16; elsewhere nothing to
// do).
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
