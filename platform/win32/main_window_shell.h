#pragma once
// The main window's ties to the shell, beside what the main window logic does: the system-menu item that opens
// the trace folder, and the taskbar button that shows the update's progress. The main window's dialog
// procedure calls these two and nothing more.

#include <windows.h>

// After the main window's own initialisation (its "About ..." item exists then).
void InitMainWindowShell(HWND window);

// Handles the messages that are the shell's and not the main window logic's; true when handled.
bool HandleMainWindowShellMessage(HWND window, UINT message, WPARAM wParam);
