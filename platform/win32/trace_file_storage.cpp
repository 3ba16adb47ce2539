#include "platform/win32/trace_file_storage.h"

#include <knownfolders.h>
#include <shlobj.h>

#include <cstdlib>

#include "app/settings_store.h"

namespace {

std::wstring Widen(const char* text) {
  std::wstring wide;
  for (; *text != '\0'; ++text) wide += static_cast<wchar_t>(static_cast<unsigned char>(*text));
  return wide;
}

std::wstring LocalAppDataFolder() {
  PWSTR path = nullptr;
  std::wstring folder;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT, nullptr, &path))) folder = path;
  CoTaskMemFree(path);  // also after a failure, which may leave memory behind
  if (folder.empty()) {
    // A system without the known-folder service still names the folder in the environment.
    wchar_t buffer[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, MAX_PATH);
    if (length > 0 && length < MAX_PATH) folder.assign(buffer, length);
  }
  return folder;
}

}  // namespace

std::wstring TraceFolderPath() {
  const std::wstring base = LocalAppDataFolder();
  if (base.empty()) return {};
  return base + L"\\" + Widen(SETTINGS_COMPANY) + L"\\" + Widen(SETTINGS_PRODUCT);
}

bool MakeTraceFolder(const std::wstring& folder) {
  if (folder.empty()) return false;
  const int result = SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
  if (result == ERROR_SUCCESS || result == ERROR_ALREADY_EXISTS) return true;
  // ERROR_FILE_EXISTS: a file of that name is in the way; anything else: no folder.
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

Win32TraceFileStorage::Win32TraceFileStorage(std::wstring folder)
    : folder_(std::move(folder)),
      current_(folder_ + L"\\" + Widen(TRACE_FILE_NAME)),
      previous_(folder_ + L"\\" + Widen(TRACE_FILE_PREVIOUS_NAME)) {}

Win32TraceFileStorage::~Win32TraceFileStorage() { Close(); }

bool Win32TraceFileStorage::Open() {
  if (file_ != INVALID_HANDLE_VALUE) return true;
  if (folder_.empty() || !MakeTraceFolder(folder_)) return false;
  // Append-only access: every write lands at the end, also when another process appends too.
  file_ = CreateFileW(current_.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
  return file_ != INVALID_HANDLE_VALUE;
}

void Win32TraceFileStorage::Close() {
  if (file_ == INVALID_HANDLE_VALUE) return;
  CloseHandle(file_);
  file_ = INVALID_HANDLE_VALUE;
}

bool Win32TraceFileStorage::CurrentSize(std::uint64_t* size) {
  LARGE_INTEGER length{};
  if (!Open() || !GetFileSizeEx(file_, &length)) return false;
  *size = static_cast<std::uint64_t>(length.QuadPart);
  return true;
}

bool Win32TraceFileStorage::Append(const char* data, std::size_t size) {
  if (!Open()) return false;
  DWORD written = 0;
  if (WriteFile(file_, data, static_cast<DWORD>(size), &written, nullptr) && written == size) return true;
  // The handle may have gone bad (a removed folder, a full disk): the next line opens the file anew.
  Close();
  return false;
}

bool Win32TraceFileStorage::KeepAsPrevious() {
  Close();
  return MoveFileExW(current_.c_str(), previous_.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

TraceTime Win32TraceClock::LocalNow() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

void AppendToTraceFile(const char* line) {
  // Made on the first line and kept for the whole process: the worker thread may still trace while the
  // process ends, so nothing of it is ever destroyed.
  struct ProgramTraceFile {
    Win32TraceFileStorage storage{TraceFolderPath()};
    Win32TraceClock clock;
    TraceFile file{storage, clock};
  };
  static ProgramTraceFile* const program = new ProgramTraceFile;
  program->file.Write(line);
}
