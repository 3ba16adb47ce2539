#pragma once
// The trace log: one diagnostic line per call, "[Tavik_FW_Update] " + text + CR LF, handed whole to a sink.

#include <cstddef>

inline constexpr const char TRACE_PREFIX[] = "[Tavik_FW_Update] ";
inline constexpr std::size_t TRACE_BUFFER_SIZE = 4096;
// The formatted text, prefix included, ends below this bound (terminator included).
inline constexpr std::size_t TRACE_TEXT_LIMIT = 4093;

#if defined(__GNUC__)
#define TRACE_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define TRACE_PRINTF_FORMAT
#endif

void Trace(const char* format, ...) TRACE_PRINTF_FORMAT;

// Receives one whole line (prefix, text, CR LF, NUL-terminated) per Trace call.
using TraceSinkFn = void (*)(const char* line);

// Replaces the sink (nullptr restores the platform's own); returns the previous one. Used by tests.
TraceSinkFn SetTraceSink(TraceSinkFn sink);

// The platform's sink: the debugger output on Windows, standard error elsewhere.
void PlatformTraceSink(const char* line);
