#pragma once
// The trace file: every trace line, with the local date and time to the millisecond in front of it
// ("2026-12-10 13:45:07.123 " + the line), appended to a file of the current user. When the file would pass
// its limit it becomes the one earlier file kept, and a new file begins. Writing the file can fail without
// anyone noticing: the trace's other output goes on unchanged.
//
// The file system and the time are reached through the two small interfaces below, so the logic runs the same
// against the Win32 files and the tests' fakes.

#include <cstddef>
#include <cstdint>
#include <mutex>

inline constexpr const char TRACE_FILE_NAME[] = "trace.log";
inline constexpr const char TRACE_FILE_PREVIOUS_NAME[] = "trace.1.log";  // the one earlier file kept
inline constexpr std::uint64_t TRACE_FILE_LIMIT = 4 * 1024 * 1024;       // bytes

// "YYYY-MM-DD hh:mm:ss.mmm " in front of each line.
inline constexpr std::size_t TRACE_TIMESTAMP_LENGTH = 24;

// A moment of local time, as the system's calendar gives it.
struct TraceTime {
  std::uint16_t year = 0;
  std::uint16_t month = 0;  // 1 to 12
  std::uint16_t day = 0;    // 1 to 31
  std::uint16_t hour = 0;
  std::uint16_t minute = 0;
  std::uint16_t second = 0;
  std::uint16_t millisecond = 0;
};

class TraceClock {
 public:
  virtual ~TraceClock() = default;
  virtual TraceTime LocalNow() = 0;
};

// The two files as the trace file needs them: the current one and the earlier one. Called under the trace
// file's lock, from any thread that traces.
class TraceFileStorage {
 public:
  virtual ~TraceFileStorage() = default;
  // The current file's size in bytes (0 when there is none yet); false when it cannot be told.
  virtual bool CurrentSize(std::uint64_t* size) = 0;
  // Appends the bytes to the current file in one write, making the file (and its folder) when missing.
  virtual bool Append(const char* data, std::size_t size) = 0;
  // The current file becomes the earlier one, replacing it; the next Append begins a new current file.
  virtual bool KeepAsPrevious() = 0;
};

// Writes the stamp (TRACE_TIMESTAMP_LENGTH characters and a NUL) into `out`, which has room for both.
void FormatTraceTimestamp(const TraceTime& time, char (&out)[TRACE_TIMESTAMP_LENGTH + 1]);

class TraceFile {
 public:
  TraceFile(TraceFileStorage& storage, TraceClock& clock, std::uint64_t limit = TRACE_FILE_LIMIT);
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;

  // Appends the stamped line (a whole trace line: prefix, text, CR LF). Safe from several threads: lines
  // never mix. A failure is dropped; the next line tries again.
  void Write(const char* line);

 private:
  TraceFileStorage& storage_;
  TraceClock& clock_;
  const std::uint64_t limit_;
  std::mutex mutex_;
  bool sizeKnown_ = false;  // asked of the storage again after any failure
  std::uint64_t size_ = 0;
};
