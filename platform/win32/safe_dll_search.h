#pragma once
// Where the process looks for DLLs: the system folder only. Windows otherwise tries the program's own folder
// first, and a program started from a download folder (or restarted as administrator from it) would run the
// code of any DLL placed beside it whose name a system DLL asks for (version.dll, uxtheme.dll, cfgmgr32.dll,
// ...). Every Windows entry point makes this call before anything else and ends when it fails.

#include <windows.h>

// How a program that cannot restrict the search tells the user: in a box (window programs) or on standard
// error (console programs).
enum class DllSearchReport { MessageBox, StandardError };

// The system's call, replaceable so that a test sees the failure without changing its own process.
using SetDllDirectoriesFn = BOOL(WINAPI*)(DWORD);

// Restricts the DLL search of the process to the system folder (LOAD_LIBRARY_SEARCH_SYSTEM32). False when that
// failed, after telling the user; the program then ends with status 1. The caller names the system's call, so
// that the program's own import table shows it.
bool RestrictDllSearchToSystemFolder(SetDllDirectoriesFn setDefaultDllDirectories, DllSearchReport report);
