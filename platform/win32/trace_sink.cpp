#include <windows.h>

#include "app/trace.h"

// The debugger output: one call per line, as a debug-output viewer expects.
void PlatformTraceSink(const char* line) { OutputDebugStringA(line); }
