#include "app/trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {
std::atomic<TraceSink*> g_sink{nullptr};  // the process's trace

thread_local const std::string* t_tag = nullptr;  // this thread's unit, if it works for one

bool IsTrailingSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
}  // namespace

void StartTrace(TraceSink* sink) { g_sink.store(sink); }

TraceTag::TraceTag(const std::string& tag) : previous_(t_tag) { t_tag = tag.empty() ? nullptr : &tag; }
TraceTag::~TraceTag() { t_tag = previous_; }

void Trace(const char* format, ...) {
  char line[TRACE_BUFFER_SIZE];
  constexpr std::size_t prefixLength = sizeof(TRACE_PREFIX) - 1;
  std::memcpy(line, TRACE_PREFIX, prefixLength);

  // Format into the room left below TRACE_TEXT_LIMIT; a longer text is cut there.
  std::size_t length = prefixLength;
  if (format != nullptr) {
    va_list args;
    va_start(args, format);
    const int written = std::vsnprintf(line + prefixLength, TRACE_TEXT_LIMIT - prefixLength, format, args);
    va_end(args);
    if (written > 0) {
      line[TRACE_TEXT_LIMIT - 1] = '\0';
      length = prefixLength + std::strlen(line + prefixLength);
    }
  }

  // Callers' trailing line feeds (and the prefix's blank when the text is empty) go.
  while (length > 0 && IsTrailingSpace(line[length - 1])) --length;
  // One call is one line: a line break inside the text (a name or text from outside) would forge another line.
  for (std::size_t i = prefixLength; i < length; ++i) {
    if (line[i] == '\r' || line[i] == '\n') line[i] = ' ';
  }
  line[length++] = '\r';
  line[length++] = '\n';
  line[length] = '\0';

  TraceSink* const sink = g_sink.load();
  if (sink == nullptr) return;
  if (t_tag == nullptr) {
    sink->Write(line);
    return;
  }
  // Still one whole line per call; a tag too long for the room left is cut.
  char tagged[TRACE_BUFFER_SIZE + 64];
  std::snprintf(tagged, sizeof tagged, "[%.60s] %s", t_tag->c_str(), line);
  sink->Write(tagged);
}
