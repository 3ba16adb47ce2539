#include "usb/capture_file.h"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {
std::FILE* OpenForWriting(const std::string& path) {
#ifdef _WIN32
  // The path may hold any character of the user's name: the wide call.
  const int units = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
  if (units <= 0) return nullptr;
  std::wstring wide(static_cast<std::size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, wide.data(), units);
  return _wfopen(wide.c_str(), L"wb");
#else
  return std::fopen(path.c_str(), "wb");
#endif
}
}  // namespace

bool FileCaptureOutput::Open(const std::string& path, std::string* reason) {
  file_.reset(OpenForWriting(path));
  if (!file_ && reason != nullptr) *reason = std::strerror(errno);
  return static_cast<bool>(file_);
}

bool FileCaptureOutput::Write(const std::uint8_t* bytes, std::size_t size) {
  return file_ && std::fwrite(bytes, 1, size, file_.get()) == size;
}

bool FileCaptureOutput::Close() {
  if (!file_) return false;
  const bool flushed = std::fflush(file_.get()) == 0;
  file_.reset();
  return flushed;
}
