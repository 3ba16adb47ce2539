#include "platform/win32/main_window_shell.h"

#include "app/process_elevation.h"
#include "platform/program_context.h"
#include "platform/win32/taskbar_progress.h"
#include "platform/win32/trace_file_storage.h"
#include "platform/win32/trace_folder_menu.h"
#include "ui/resource_ids.h"

void InitMainWindowShell(HWND window) {
  // The logic may have ended the window during its initialisation (no loader).
  if (!IsWindow(window)) return;
  AddTraceFolderMenuItem(GetSystemMenu(window, FALSE), IDD_ABOUTBOX);
  AllowTaskbarButtonCreated(window);
}

bool HandleMainWindowShellMessage(HWND window, UINT message, WPARAM wParam) {
  const UINT buttonCreated = TaskbarButtonCreatedMessage();
  if (buttonCreated != 0 && message == buttonCreated) {
    ProgramTaskbarProgress().OnButtonCreated(window);
    return true;
  }
  // The system keeps the four low bits of a system command for itself.
  if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == IDM_OPEN_TRACE_FOLDER) {
    OpenTraceFolder(window, TraceFolderPath(), ShellExecuteW, !PlatformElevation().IsElevated());
    return true;
  }
  return false;
}
