#pragma once
// The system-menu item "Open trace folder ..." (in the interface language) of the main window, just after "About ...":
// it opens the folder of the trace files in the file manager.

#include <windows.h>
#include <shellapi.h>

#include <string>

// The item's system command. Below 0xF000 (the system's own commands) and with its four low bits clear, which
// the system keeps for itself in WM_SYSCOMMAND.
inline constexpr UINT IDM_OPEN_TRACE_FOLDER = 0x0120;
inline constexpr wchar_t OPEN_TRACE_FOLDER_MENU_TEXT[] = L"Open trace folder ...";  // without a string table

// Inserts the item, in the interface language (string IDS_OPEN_TRACE_FOLDER), right after the item of command
// `afterCommand`; false if that item is not in the menu or the insertion failed.
bool AddTraceFolderMenuItem(HMENU menu, UINT afterCommand);

// The shell's open call, replaceable so that a test sees what would be opened without a window coming up.
using ShellOpenFn = HINSTANCE(WINAPI*)(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT);

// Makes the folder if it is missing (unless `mayMakeFolder` is false: an elevated process makes nothing in the
// user's folders) and opens it in the file manager ("open" on the folder). False when there is no folder or
// the shell could not open it; nothing else happens then.
bool OpenTraceFolder(HWND owner, const std::wstring& folder, ShellOpenFn open = ShellExecuteW,
                     bool mayMakeFolder = true);
