#pragma once
// Message boxes whose text and caption are string ids of the interface language (Win32 layer).

#include <windows.h>

// Shows a message box owned by `owner` with text `textId` and caption `captionId`, each loaded into its own
// buffer of 256 units, and `style` passed on unchanged. Returns the button pressed (IDOK, IDYES, IDNO...), or
// 0 without a box when the text is missing. A missing caption leaves the system's default caption.
int MessageBoxFromIds(HWND owner, UINT textId, UINT captionId, UINT style);
