#include "platform/win32/capture_file_storage.h"

#include "platform/win32/trace_file_storage.h"

namespace {
// The program's version, as its version resource (res/ui_neutral.rc) gives it.
constexpr char kProgramVersion[] = "1.1";

std::wstring Wide(const char* text) { return std::wstring(text, text + std::char_traits<char>::length(text)); }
}  // namespace

Win32CaptureFileStorage::Win32CaptureFileStorage(std::wstring folder)
    : folder_(std::move(folder)),
      current_(folder_ + L"\\" + Wide(CAPTURE_FILE_NAME)),
      previous_(folder_ + L"\\" + Wide(CAPTURE_FILE_PREVIOUS_NAME)) {}

Win32CaptureFileStorage::~Win32CaptureFileStorage() { CloseCurrent(); }

bool Win32CaptureFileStorage::KeepAsPrevious() {
  CloseCurrent();
  if (folder_.empty()) return false;
  return MoveFileExW(current_.c_str(), previous_.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE ||
         GetLastError() == ERROR_FILE_NOT_FOUND;
}

CaptureOutput* Win32CaptureFileStorage::OpenCurrent() {
  CloseCurrent();
  if (folder_.empty() || !MakeTraceFolder(folder_)) return nullptr;
  // Shared for reading and deleting: the user may open it while the program runs.
  file_.handle = CreateFileW(current_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file_.handle != INVALID_HANDLE_VALUE ? &file_ : nullptr;
}

void Win32CaptureFileStorage::CloseCurrent() {
  if (file_.handle != INVALID_HANDLE_VALUE) CloseHandle(file_.handle);
  file_.handle = INVALID_HANDLE_VALUE;
}

bool Win32CaptureFileStorage::File::Write(const std::uint8_t* bytes, std::size_t size) {
  while (size != 0) {
    const DWORD chunk = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (handle == INVALID_HANDLE_VALUE || !WriteFile(handle, bytes, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    bytes += written;
    size -= written;
  }
  return true;
}

UpdateCaptures& PlatformUpdateCaptures() {
  static Win32CaptureFileStorage storage(TraceFolderPath());
  static UpdateCaptures captures(storage, [] {
    CaptureSetup setup;
    setup.application = std::string("HelmetUpdater ") + kProgramVersion;
    setup.comments.push_back(std::string("program: HelmetUpdater ") + kProgramVersion);
    return setup;
  }());
  return captures;
}
