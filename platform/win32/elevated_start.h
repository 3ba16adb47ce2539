#pragma once
// The shell's request that starts the program again with administrator rights (after the elevation prompt).

#include <windows.h>
#include <shellapi.h>

// Verb "runas" on `file` with `parameters`: no working directory, no owner window, shown normally. The caller
// ends right after the call, so the shell is told to finish its work before the call returns (no
// asynchronous completion on a thread of the ending process).
SHELLEXECUTEINFOW ElevatedStartInfo(const wchar_t* file, const wchar_t* parameters);
