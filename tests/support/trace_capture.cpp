#include "support/trace_capture.h"

#include <cstring>
#include <mutex>

#include "app/trace.h"

namespace {
std::mutex g_mutex;
std::vector<std::string> g_lines;

// The test process's trace: its lines are kept while a capture is alive (a test starts the trace as start-up
// does), and go nowhere otherwise.
class CaptureSink final : public TraceSink {
 public:
  void Write(const char* line) override {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.emplace_back(line);
  }
};
CaptureSink g_sink;
}  // namespace

TraceCapture::TraceCapture() {
  Clear();
  StartTrace(&g_sink);
}

TraceCapture::~TraceCapture() { StartTrace(nullptr); }

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
