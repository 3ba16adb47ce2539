#pragma once
// Captures trace lines while alive. Lines are kept whole (prefix, text, CR LF); Texts() gives the text alone.

#include <string>
#include <vector>

class TraceCapture {
 public:
  TraceCapture();
  ~TraceCapture();
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  std::vector<std::string> Lines() const;  // whole lines as handed to the sink
  std::vector<std::string> Texts() const;  // without the prefix and the CR LF
  void Clear();
};
