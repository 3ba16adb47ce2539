// The updater: the program on the real USB stack.
#include <windows.h>

#include "platform/program_context.h"
#include "platform/win32/safe_dll_search.h"
#include "platform/win32/updater_program.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  if (!RestrictDllSearchToSystemFolder(SetDefaultDllDirectories, DllSearchReport::MessageBox)) return 1;
  return RunUpdaterProgram(ProgramContext());
}
