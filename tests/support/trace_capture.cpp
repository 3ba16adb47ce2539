#include "support/trace_capture.h"

#include <cstring>
#include <mutex>

#include "app/trace.h"

namespace {
std::mutex g_mutex;
std::vector<std::string> g_lines;
TraceSinkFn g_previous = nullptr;

void CaptureSink(const char* line) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_lines.emplace_back(line);
}
}  // namespace

TraceCapture::TraceCapture() {
  Clear();
  g_previous = SetTraceSink(CaptureSink);
}

TraceCapture::~TraceCapture() { SetTraceSink(g_previous); }

std::vector<std::string> TraceCapture::Lines() const {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_lines;
}

std::vector<std::string> TraceCapture::Texts() const {
  std::vector<std::string> texts;
  const std::size_t prefix = std::strlen(TRACE_PREFIX);
  for (const std::string& line : Lines()) {
    std::string text = line;
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) text.resize(text.size() - 2);
    if (text.compare(0, prefix, TRACE_PREFIX) == 0) text.erase(0, prefix);
    texts.push_back(text);
  }
  return texts;
}

void TraceCapture::Clear() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_lines.clear();
}
