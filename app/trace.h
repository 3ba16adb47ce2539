#pragma once
// The trace log: one diagnostic line per call, "[Tavik_FW_Update] " + text + CR LF, handed whole to a sink. A CR
// or LF inside the text becomes a blank, so that no text can make a second line.

#include <cstddef>
#include <string>

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

// Receives one whole line (prefix, text, CR LF, NUL-terminated) per Trace call, from any thread.
class TraceSink {
 public:
  virtual ~TraceSink() = default;
  virtual void Write(const char* line) = 0;
};

// Lines traced on this thread while it lives begin with "[tag] " (before the prefix): a process that updates
// several units at once keeps each unit's lines apart. Tags do not nest; an empty tag marks nothing.
class TraceTag {
 public:
  explicit TraceTag(const std::string& tag);
  ~TraceTag();
  TraceTag(const TraceTag&) = delete;
  TraceTag& operator=(const TraceTag&) = delete;

 private:
  const std::string* previous_;
};

// Makes `sink` the process's trace: start-up calls it once with the program context's sink, before the first
// line. Until then (and with null) the lines go nowhere.
void StartTrace(TraceSink* sink);
