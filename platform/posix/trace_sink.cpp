#include <cstdio>

#include "app/trace.h"

// Natively the trace goes to standard error, one write per line.
void PlatformTraceSink(const char* line) { std::fputs(line, stderr); }
