#pragma once
// The trace file on Windows: trace.log (and trace.1.log before it) in the current user's local application
// data, in the folder of the settings key's company and product:
//   %LOCALAPPDATA%\ostrel\Velmora Communication System Software Update\trace.log

#include <windows.h>

#include <string>

#include "app/trace_file.h"

// The folder of the trace files; empty when the user's local application data cannot be found.
std::wstring TraceFolderPath();

// Makes the folder and the folders above it; true when it exists afterwards.
bool MakeTraceFolder(const std::wstring& folder);

// The two files in one folder. The current file stays open between lines (shared for reading, writing and
// deleting, so a viewer can follow it), and is appended to in one write per line.
class Win32TraceFileStorage final : public TraceFileStorage {
 public:
  explicit Win32TraceFileStorage(std::wstring folder);
  ~Win32TraceFileStorage() override;
  Win32TraceFileStorage(const Win32TraceFileStorage&) = delete;
  Win32TraceFileStorage& operator=(const Win32TraceFileStorage&) = delete;

  bool CurrentSize(std::uint64_t* size) override;
  bool Append(const char* data, std::size_t size) override;
  bool KeepAsPrevious() override;

 private:
  bool Open();
  void Close();

  std::wstring folder_;
  std::wstring current_;
  std::wstring previous_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
};

// The local time of the system's calendar.
class Win32TraceClock final : public TraceClock {
 public:
  TraceTime LocalNow() override;
};

// Appends the line to the program's trace file, made on first use in TraceFolderPath(). Never fails visibly.
void AppendToTraceFile(const char* line);
