#pragma once
// The Win32 side of start-up: the windowed program's whole run on a platform context (the real USB stack for
// the updater, the emulated unit for the demo).

#include <windows.h>

#include "app/platform_context.h"

// Starts the trace and makes the update controller from the context, runs the program and returns its exit
// code: 0 after a normal end, -1 when the driver registry check fails.
int RunUpdaterProgram(const PlatformContext& context);

// Gets and dispatches the thread's messages until the quit message. A message for a modeless dialog (the
// main window, the progress window) first gets the dialog's keyboard handling: Tab, Enter, Esc.
void RunDialogMessageLoop();
