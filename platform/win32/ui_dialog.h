#pragma once
// Dialogs created from the program's templates in the interface language (see ui/ui_language.h).

#include <windows.h>

// The template `templateId` of the interface language in the program's resources, or null.
const DLGTEMPLATE* FindUiDialogTemplate(int templateId);

// A modeless dialog: the window, or null if it could not be created.
HWND CreateUiDialog(int templateId, HWND owner, DLGPROC procedure, LPARAM parameter = 0);

// A modal dialog: its result, or -1 if it could not be created.
INT_PTR ShowUiDialog(int templateId, HWND owner, DLGPROC procedure, LPARAM parameter = 0);
