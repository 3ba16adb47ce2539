// The unit locks natively: an advisory flock() on a file per unit location, in a directory of the user's own.
//
// flock() rather than fcntl() record locks: a flock() lock belongs to the open file description, so a second
// open() of the same file in the same process conflicts with the first (two sessions in one process never take
// the same unit), and closing that descriptor releases exactly that lock. fcntl() locks belong to the process:
// a second lock by the same process would be granted, and closing any descriptor of the file (another session's
// probe, say) would drop the lock unnoticed. Either kind is released by the system when the process ends.
//
// The directory is $XDG_RUNTIME_DIR/helmet-update when XDG_RUNTIME_DIR names a directory by an absolute path,
// else /tmp/helmet-update-<uid>. It is made 0700, opened without following a symbolic link, and refused unless it
// is a directory owned by us; the lock file is opened relative to that open directory, again without following a
// symbolic link, so that nobody can put a link in the way between the checks and the use. A directory that is
// there but refused makes the attempt Failed: there is no quiet fall-back to another place. The environment is
// read on every attempt.
//
// The lock files stay when the locks are released: deleting one would race with a process that has just opened
// it and is about to lock it (it would then hold a lock on a file nobody else can find).
#include "app/unit_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>

namespace {
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// The lock file's name: "unit-" and the location, each byte outside [A-Za-z0-9._-] written as %XX. One name per
// location ('%' itself is escaped), never a path ('/' is escaped) and never "." or ".." (the prefix).
std::string LockFileName(const std::string& location) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string name = "unit-";
  for (const char c : location) {
    const unsigned char byte = static_cast<unsigned char>(c);
    const bool plain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
                       byte == '.' || byte == '_' || byte == '-';
    if (plain) {
      name += c;
    } else {
      name += '%';
      name += kHex[byte >> 4];
      name += kHex[byte & 0x0F];
    }
  }
  return name;
}

// Opens `name` in `parent` as a directory of ours, made 0700 when it is missing. Refused (nothing opened): a
// symbolic link, anything but a directory, a directory of another user. A directory of ours that others may
// enter is made 0700.
UniqueFd OpenPrivateDirectory(int parent, const char* name) {
  if (::mkdirat(parent, name, 0700) != 0 && errno != EEXIST) return UniqueFd();
  UniqueFd dir(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir) return UniqueFd();
  struct stat status {};
  if (::fstat(dir.Get(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != ::geteuid()) return UniqueFd();
  if ((status.st_mode & 077) != 0 && ::fchmod(dir.Get(), 0700) != 0) return UniqueFd();
  return dir;
}

UniqueFd OpenLockDirectory() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') {
    UniqueFd base(::open(runtime, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (base) return OpenPrivateDirectory(base.Get(), "helmet-update");
  }
  const std::string fallback = "/tmp/helmet-update-" + std::to_string(::geteuid());
  return OpenPrivateDirectory(AT_FDCWD, fallback.c_str());
}

class FileUnitLock final : public UnitLock {
 public:
  explicit FileUnitLock(UniqueFd file) : file_(std::move(file)) {}
  // Closing the descriptor releases the lock (it is the only descriptor of its open file description, unless
  // the process has forked since).

 private:
  UniqueFd file_;
};

class FileUnitLocks final : public UnitLocks {
 private:
  UnitLockResult Take(const std::string& location, std::unique_ptr<UnitLock>* taken) override {
    const UniqueFd dir = OpenLockDirectory();
    if (!dir) return UnitLockResult::Failed;
    // Read-only is enough to lock; O_NONBLOCK so that a FIFO in its place cannot hold the open.
    UniqueFd file(::openat(dir.Get(), LockFileName(location).c_str(),
                           O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK, 0600));
    if (!file) return UnitLockResult::Failed;
    struct stat status {};
    if (::fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid()) {
      return UnitLockResult::Failed;
    }
    while (::flock(file.Get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      return errno == EWOULDBLOCK ? UnitLockResult::Busy : UnitLockResult::Failed;
    }
    *taken = std::make_unique<FileUnitLock>(std::move(file));
    return UnitLockResult::Taken;
  }
};
}  // namespace

UnitLocks& PlatformUnitLocks() {
  static FileUnitLocks locks;
  return locks;
}
