#include "platform/posix/private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {
// A descriptor closed when it goes.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { Close(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return fd_; }
  bool Close() {
    if (fd_ < 0) return true;
    const bool closed = ::close(fd_) == 0;
    fd_ = -1;
    return closed;
  }

 private:
  int fd_;
};

bool Failed(std::string* reason, const char* what) {
  if (reason != nullptr) *reason = std::string(what) + ": " + std::strerror(errno);
  return false;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes every missing folder of `folder`, each 0700 (the umask can only take from that).
bool MakeFolders(const std::string& folder, std::string* reason) {
  for (std::size_t at = 1; at <= folder.size(); ++at) {
    if (at != folder.size() && folder[at] != '/') continue;
    const std::string part = folder.substr(0, at);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return Failed(reason, "cannot make the folder");
  }
  return true;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}
}  // namespace

bool ReplacePrivateFile(const std::string& path, std::string_view bytes, std::string* reason) {
  const std::string folder = FolderOf(path);
  if (!MakeFolders(folder, reason)) return false;

  std::vector<char> temporary(path.begin(), path.end());
  for (const char c : std::string_view(".XXXXXX")) temporary.push_back(c);
  temporary.push_back('\0');
  Descriptor file(::mkstemp(temporary.data()));
  if (file.Get() < 0) return Failed(reason, "cannot make a temporary file");

  bool done = WriteAll(file.Get(), bytes) || Failed(reason, "cannot write");
  done = done && (::fsync(file.Get()) == 0 || Failed(reason, "cannot flush"));
  done = done && (file.Close() || Failed(reason, "cannot close"));
  done = done && (::rename(temporary.data(), path.c_str()) == 0 || Failed(reason, "cannot rename"));
  if (!done) {
    ::unlink(temporary.data());
    return false;
  }
  // The rename itself reaches the disk with the folder's entry; a folder that cannot be flushed costs nothing.
  const Descriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.Get() >= 0) ::fsync(directory.Get());
  return true;
}
