#include "cli/cli_trace_file.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <limits>
#include <sstream>
#include <string>

#include "cli/cli_texts.h"
#include "cli/helmet_update.h"
#include "usb/result_code.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/utsname.h>
#endif

namespace {

// The file never rotates: it is the user's, named on the command line.
constexpr std::uint64_t NO_LIMIT = std::numeric_limits<std::uint64_t>::max();

std::string Quoted(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"'") == std::string::npos) return arg;
  std::string quoted = "\"";
  for (const char c : arg) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + '"';
}

std::string SystemReason(int error) {
  return error != 0 ? std::strerror(error) : CliString(IDS_CLI_WRITE_FAILED, GetUiLanguage());
}

}  // namespace

TraceTime SystemTraceClock::LocalNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &seconds);
#else
  localtime_r(&seconds, &local);
#endif
  TraceTime time;
  time.year = static_cast<std::uint16_t>(local.tm_year + 1900);
  time.month = static_cast<std::uint16_t>(local.tm_mon + 1);
  time.day = static_cast<std::uint16_t>(local.tm_mday);
  time.hour = static_cast<std::uint16_t>(local.tm_hour);
  time.minute = static_cast<std::uint16_t>(local.tm_min);
  time.second = static_cast<std::uint16_t>(local.tm_sec);
  time.millisecond = static_cast<std::uint16_t>(ms < 0 ? 0 : ms);
  return time;
}

std::string PlatformDescription() {
#ifdef _WIN32
  // GetVersionEx answers what the manifest claims; the kernel's own call tells the real version.
  std::ostringstream text;  // a stream: gcc 12 warns falsely (-Wrestrict) on chains of string additions
  text << "Windows";
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll != nullptr) {
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    const auto getVersion =
        reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (getVersion != nullptr && getVersion(&info) == 0) {
      text << ' ' << info.dwMajorVersion << '.' << info.dwMinorVersion << " build " << info.dwBuildNumber;
    }
    // Under Wine the same program meets another USB stack: worth knowing when reading a trace.
    using WineVersionFn = const char*(CDECL*)();
    const auto wineVersion =
        reinterpret_cast<WineVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
    if (wineVersion != nullptr) text << " (Wine " << wineVersion() << ')';
  }
  return text.str();
#else
  utsname name{};
  if (uname(&name) != 0) return "unknown";
  return std::string(name.sysname) + " " + name.release + " " + name.machine;
#endif
}

std::string TraceFileHeader(const std::vector<std::string>& args, const TraceTime& now, const std::string& platform) {
  char stamp[TRACE_TIMESTAMP_LENGTH + 1];
  FormatTraceTimestamp(now, stamp);
  std::string time = stamp;
  time.pop_back();  // the blank that parts a stamp from its line
  std::ostringstream header;
  header << "helmet-update " << HELMET_UPDATE_VERSION << "\r\nCommand line: helmet-update";
  for (const std::string& arg : args) header << ' ' << Quoted(arg);
  header << "\r\nStarted: " << time << "\r\nPlatform: " << platform << "\r\n";
  return header.str();
}

namespace {
#ifdef _WIN32
// The file by its UTF-16 name: the 8-bit name of the C library would be read in the ANSI code page, and a name
// outside it would name another file or none.
std::FILE* OpenForAppending(const std::string& path) {
  const int size =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()), nullptr, 0);
  if (size <= 0) {
    errno = EINVAL;
    return nullptr;
  }
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()), wide.data(), size);
  return _wfopen(wide.c_str(), L"ab");
}
#else
std::FILE* OpenForAppending(const std::string& path) { return std::fopen(path.c_str(), "ab"); }
#endif
}  // namespace

bool CliTrace::Storage::Open(const std::string& path, std::string* reason) {
  errno = 0;
  file_.reset(OpenForAppending(path));  // binary: CR LF as the window program's file
  if (!file_) {
    if (reason != nullptr) *reason = SystemReason(errno);
    return false;
  }
  return true;
}

bool CliTrace::Storage::FileIsEmpty() {
  if (!file_) return true;
  // In append mode the position before the first write is not the end everywhere: go there to ask.
  if (std::fseek(file_.get(), 0, SEEK_END) != 0) return true;
  return std::ftell(file_.get()) <= 0;
}

bool CliTrace::Storage::AppendToFile(const char* data, std::size_t size) {
  if (!file_) return true;
  errno = 0;
  // Flushed at each line: a trace that survives a crash or a pulled plug.
  if (std::fwrite(data, 1, size, file_.get()) == size && std::fflush(file_.get()) == 0) return true;
  const std::string reason = SystemReason(errno);
  std::clearerr(file_.get());
  std::lock_guard<std::mutex> lock(failureMutex_);
  if (firstFailure_.empty()) firstFailure_ = reason;
  return false;
}

bool CliTrace::Storage::CurrentSize(std::uint64_t* size) {
  *size = 0;  // the size only matters for a limit, and this file has none
  return true;
}

bool CliTrace::Storage::Append(const char* data, std::size_t size) {
  if (echo_ != nullptr) {
    // Standard error is a text stream: a plain line feed, which Windows turns into CR LF itself.
    std::size_t length = size;
    if (length >= 2 && data[length - 2] == '\r' && data[length - 1] == '\n') length -= 2;
    echo_->write(data, static_cast<std::streamsize>(length));
    *echo_ << '\n' << std::flush;
  }
  return AppendToFile(data, size);
}

std::string CliTrace::Storage::FirstFailure() const {
  std::lock_guard<std::mutex> lock(failureMutex_);
  return firstFailure_;
}

CliTrace::CliTrace(TraceClock& clock, std::ostream* echo)
    : clock_(clock), storage_(echo), stamped_(storage_, clock, NO_LIMIT) {}

bool CliTrace::OpenFile(const std::string& path, const std::vector<std::string>& args, const std::string& platform,
                        std::string* reason) {
  path_ = path;
  if (!storage_.Open(path, reason)) return false;
  // Runs appended to one file stay apart: a blank line, then the run's header.
  const std::string header =
      (storage_.FileIsEmpty() ? "" : "\r\n") + TraceFileHeader(args, clock_.LocalNow(), platform);
  storage_.AppendToFile(header.data(), header.size());
  return true;
}

void CliTrace::Write(const char* line) { stamped_.Write(line); }

std::string CliTrace::FirstFailure() const { return storage_.FirstFailure(); }

int CliTrace::Finish(int status, std::ostream& err) const {
  const std::string failure = FirstFailure();
  if (failure.empty()) return status;
  err << "helmet-update: " << CliString(IDS_CLI_TRACE_NOT_WRITTEN, GetUiLanguage(), path_) << ": " << failure << '\n';
  return status == 0 ? FWL_ERR_FAILED : status;
}
