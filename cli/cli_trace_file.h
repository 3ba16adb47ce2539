#pragma once
// The terminal updater's trace: --trace FILE and --verbose. Each trace line is stamped with the local time as the
// window program's trace file stamps it (app/trace_file.h) and goes to the file, to standard error, or to both.
// The file is appended to: each run begins with a blank line (unless the file is new) and a header that names the
// program, its command line, the time and the platform, so that a file sent in says where it came from. A write
// that fails does not stop the update: it is told once at the end, and a run that would have ended with 0 ends
// with 11 (the trace the user asked for is missing).

#include <cstdio>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "app/trace.h"
#include "app/trace_file.h"

// The local time by the C library's calendar (the time zone of the process).
class SystemTraceClock final : public TraceClock {
 public:
  TraceTime LocalNow() override;
};

// The system the program runs on, for the header: "Linux 6.1.0-18-amd64 x86_64", "Windows 10.0 build 19045".
std::string PlatformDescription();

// The header's lines (CR LF ends each, as the trace lines): the program and its version, the command line
// (`args` without the program's name; an argument with a blank or a quote is quoted), the time, the platform.
std::string TraceFileHeader(const std::vector<std::string>& args, const TraceTime& now, const std::string& platform);

class CliTrace final : public TraceSink {
 public:
  // `echo` (may be null) receives every stamped line too, with a plain line feed at its end (--verbose).
  CliTrace(TraceClock& clock, std::ostream* echo);
  CliTrace(const CliTrace&) = delete;
  CliTrace& operator=(const CliTrace&) = delete;

  // Opens `path` for appending and writes the blank line between runs and the header; false when the file cannot
  // be opened, with the system's reason in `reason`. A failed write of the header counts as any failed write.
  bool OpenFile(const std::string& path, const std::vector<std::string>& args, const std::string& platform,
                std::string* reason);

  void Write(const char* line) override;

  // The reason of the first failed write to the file; empty while none failed.
  std::string FirstFailure() const;

  // After the run: tells a failed write once on `err` and turns a status of 0 into 11.
  int Finish(int status, std::ostream& err) const;

 private:
  // The file and the echo as the stamping trace file sees them: one storage that never rotates.
  class Storage final : public TraceFileStorage {
   public:
    explicit Storage(std::ostream* echo) : echo_(echo) {}
    bool CurrentSize(std::uint64_t* size) override;
    bool Append(const char* data, std::size_t size) override;
    bool KeepAsPrevious() override { return false; }

    bool Open(const std::string& path, std::string* reason);
    bool AppendToFile(const char* data, std::size_t size);  // the file only (the header)
    bool FileIsEmpty();
    std::string FirstFailure() const;

   private:
    struct Closer {
      void operator()(std::FILE* file) const { std::fclose(file); }
    };
    std::ostream* echo_;
    std::unique_ptr<std::FILE, Closer> file_;
    mutable std::mutex failureMutex_;  // the failure is recorded by a worker and read by the main thread
    std::string firstFailure_;
  };

  TraceClock& clock_;
  std::string path_;
  Storage storage_;
  TraceFile stamped_;
};

// The trace goes to the sink while alive, nowhere afterwards.
struct TraceStarted {
  explicit TraceStarted(TraceSink* sink) { StartTrace(sink); }
  ~TraceStarted() { StartTrace(nullptr); }
  TraceStarted(const TraceStarted&) = delete;
  TraceStarted& operator=(const TraceStarted&) = delete;
};
