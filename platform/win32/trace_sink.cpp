#include <windows.h>

#include "app/trace.h"
#include "platform/win32/trace_file_storage.h"

// The debugger output: one call per line, as a debug-output viewer expects. The same line, time-stamped, also
// goes to the user's trace file.
void PlatformTraceSink(const char* line) {
  OutputDebugStringA(line);
  AppendToTraceFile(line);
}
