// The unit locks natively: a flock() per location in a private directory. Held against other descriptors of
// this process and against other processes, freed however the holder ends, and never led out of its directory
// by a location's text or by a symbolic link.
#include "app/unit_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "support/unit_lock_code.h"

namespace fs = std::filesystem;

namespace {
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Close(); }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int Get() const { return fd_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

struct Pipe {
  Pipe() {
    int ends[2] = {-1, -1};
    EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    read = Fd(ends[0]);
    write = Fd(ends[1]);
  }
  Fd read;
  Fd write;
};

UnitLockResult TryLock(const std::string& location, std::unique_ptr<UnitLock>* lock) {
  return PlatformUnitLocks().TryLock(location, lock);
}

// A forked process that runs `body` with the write end of a report pipe and the read end of a hold pipe, then
// ends. The destructor kills it if it still runs and reaps it.
class Child {
 public:
  explicit Child(const std::function<void(int report, int hold)>& body) {
    pid_ = ::fork();
    if (pid_ == 0) {
      report_.read.Close();
      hold_.write.Close();
      body(report_.write.Get(), hold_.read.Get());
      ::_exit(0);
    }
    EXPECT_GT(pid_, 0);
    report_.write.Close();
    hold_.read.Close();
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // The child's one-byte report; '-' when it ended without one.
  char Report() {
    char code = '-';
    while (::read(report_.read.Get(), &code, 1) < 0 && errno == EINTR) {
    }
    return code;
  }
  // Lets the child's read of the hold pipe return (end of file).
  void LetGo() { hold_.write.Close(); }
  void Kill() { ::kill(pid_, SIGKILL); }
  // Reaps the child; by then the system has closed every descriptor it had. Returns its wait status.
  int Wait() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
  }

 private:
  Pipe report_;
  Pipe hold_;
  pid_t pid_ = -1;
};

// Sets an environment variable (or removes it, for nullopt) for the life of the object.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    Set(value);
  }
  ~ScopedEnvironment() { Set(old_); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  void Set(const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name_, value->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  const char* name_;
  std::optional<std::string> old_;
};

std::set<std::string> NamesIn(const fs::path& dir) {
  std::set<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
  return names;
}

// Every test has a runtime directory of its own, named by XDG_RUNTIME_DIR.
class UnitLockTest : public ::testing::Test {
 protected:
  UnitLockTest()
      : runtime_(fs::absolute(::testing::TempDir()) / ("unit_lock_test_" + std::to_string(::getpid()))),
        lockDir_(runtime_ / "helmet-update"),
        environment_("XDG_RUNTIME_DIR", runtime_.string()) {
    fs::remove_all(runtime_);
    fs::create_directories(runtime_);
  }
  ~UnitLockTest() override { fs::remove_all(runtime_); }

  const fs::path runtime_;
  const fs::path lockDir_;
  ScopedEnvironment environment_;
};
}  // namespace

TEST_F(UnitLockTest, ASecondLockInThisProcessIsBusyUntilTheFirstIsReleased) {
  std::unique_ptr<UnitLock> first;
  std::unique_ptr<UnitLock> second;
  ASSERT_EQ(TryLock("1-2.3", &first), UnitLockResult::Taken);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(TryLock("1-2.3", &second), UnitLockResult::Busy);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(TryLock("1-2.4", &second), UnitLockResult::Taken) << "another unit";

  first.reset();
  EXPECT_EQ(TryLock("1-2.3", &first), UnitLockResult::Taken);
  // The directory is ours alone, and the lock file stays after the release.
  struct stat status {};
  ASSERT_EQ(::lstat(lockDir_.c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  EXPECT_EQ(status.st_mode & 0777, 0700u);
  EXPECT_EQ(status.st_uid, ::geteuid());
  first.reset();
  ASSERT_EQ(::lstat((lockDir_ / "unit-1-2.3").c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(status.st_mode & 0077, 0u);
}

TEST_F(UnitLockTest, AnotherProcessFindsTheUnitBusyWhileThisOneHoldsIt) {
  std::unique_ptr<UnitLock> held;
  ASSERT_EQ(TryLock("1-2.3", &held), UnitLockResult::Taken);
  for (const char* location : {"1-2.3", "1-2.4"}) {
    SCOPED_TRACE(location);
    Child child([&](int report, int) {
      std::unique_ptr<UnitLock> lock;
      const char code = Code(TryLock(location, &lock));
      (void)!::write(report, &code, 1);
    });
    EXPECT_EQ(child.Report(), std::string(location) == "1-2.3" ? 'B' : 'T');
    child.Wait();
  }
}

TEST_F(UnitLockTest, TheUnitIsFreeAgainOnceTheHoldingProcessEndsHoweverItEnds) {
  struct Case {
    const char* how;
    bool killed;  // by SIGKILL while it holds the lock; else it ends of itself (without releasing the lock)
  };
  for (const Case& c : {Case{"killed", true}, Case{"ended", false}}) {
    SCOPED_TRACE(c.how);
    Child child([](int report, int hold) {
      std::unique_ptr<UnitLock> lock;
      const char code = Code(TryLock("1-2.3", &lock));
      (void)!::write(report, &code, 1);
      char ignored = 0;
      while (::read(hold, &ignored, 1) < 0 && errno == EINTR) {
      }
      ::_exit(0);  // still holding it
    });
    ASSERT_EQ(child.Report(), 'T');
    std::unique_ptr<UnitLock> lock;
    EXPECT_EQ(TryLock("1-2.3", &lock), UnitLockResult::Busy);
    if (c.killed) {
      child.Kill();
      EXPECT_TRUE(WIFSIGNALED(child.Wait()));
    } else {
      child.LetGo();
      EXPECT_TRUE(WIFEXITED(child.Wait()));
    }
    EXPECT_EQ(TryLock("1-2.3", &lock), UnitLockResult::Taken);
  }
}

TEST_F(UnitLockTest, EveryLocationHasAFileOfItsOwnInsideTheDirectory) {
  struct Case {
    std::string location;
    std::string file;
  };
  const Case cases[] = {
      {"1-2.3", "unit-1-2.3"},
      {"Port_#0002.Hub_#0001", "unit-Port_%230002.Hub_%230001"},
      {"1-2/3", "unit-1-2%2F3"},
      {"1-2%2F3", "unit-1-2%252F3"},
      {"..", "unit-.."},
      {".", "unit-."},
      {"", "unit-"},
      {"../outside", "unit-..%2Foutside"},
      {"../../outside", "unit-..%2F..%2Foutside"},
      {"a b", "unit-a%20b"},
      {"\xC3\xA4\xFF", "unit-%C3%A4%FF"},
      {"a\\b\n", "unit-a%5Cb%0A"},
  };
  std::set<std::string> expected;
  std::unique_ptr<UnitLock> locks[std::size(cases)];
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].file);
    EXPECT_EQ(TryLock(cases[i].location, &locks[i]), UnitLockResult::Taken) << "held all at once: distinct";
    expected.insert(cases[i].file);
  }
  EXPECT_EQ(NamesIn(lockDir_), expected);
  EXPECT_EQ(NamesIn(runtime_), std::set<std::string>{"helmet-update"}) << "nothing beside the directory";
  for (const std::string& name : expected) {
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(lockDir_ / name))) << name;
  }
}

TEST_F(UnitLockTest, ASymbolicLinkOrAStrangerInPlaceOfTheDirectoryIsRefused) {
  struct Case {
    const char* what;
    // Puts the thing in place of the directory; false when this process cannot.
    std::function<bool(const fs::path& dir, const fs::path& elsewhere)> make;
    UnitLockResult result;
  };
  const Case cases[] = {
      {"a link to a directory",
       [](const fs::path& dir, const fs::path& elsewhere) {
         fs::create_directory_symlink(elsewhere, dir);
         return true;
       },
       UnitLockResult::Failed},
      {"a dangling link",
       [](const fs::path& dir, const fs::path& elsewhere) {
         fs::create_directory_symlink(elsewhere / "no", dir);
         return true;
       },
       UnitLockResult::Failed},
      {"a file",
       [](const fs::path& dir, const fs::path&) {
         return Fd(::open(dir.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600)).Get() >= 0;
       },
       UnitLockResult::Failed},
      // Only a process that may give a directory away (root) can make this one.
      {"a directory of another user",
       [](const fs::path& dir, const fs::path&) {
         fs::create_directory(dir);
         return ::chown(dir.c_str(), 65534, 65534) == 0;
       },
       UnitLockResult::Failed},
      // A directory of ours that others could enter is closed to them, and used.
      {"an open directory of ours",
       [](const fs::path& dir, const fs::path&) {
         fs::create_directory(dir);
         return ::chmod(dir.c_str(), 0777) == 0;
       },
       UnitLockResult::Taken},
  };
  const fs::path elsewhere = runtime_ / "elsewhere";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(lockDir_);
    fs::remove_all(elsewhere);
    fs::create_directory(elsewhere);
    if (!c.make(lockDir_, elsewhere)) {
      std::printf("note: %s cannot be made by this process; that case is left out\n", c.what);
      continue;
    }

    std::unique_ptr<UnitLock> lock;
    EXPECT_EQ(TryLock("1-2.3", &lock), c.result);
    EXPECT_EQ(lock != nullptr, c.result == UnitLockResult::Taken);
    EXPECT_TRUE(fs::is_empty(elsewhere)) << "nothing made through the link";
    EXPECT_FALSE(fs::exists(elsewhere / "no"));
    struct stat status {};
    if (c.result == UnitLockResult::Taken && ::lstat(lockDir_.c_str(), &status) == 0) {
      EXPECT_EQ(status.st_mode & 0777, 0700u);
    }
  }
}

TEST_F(UnitLockTest, ASymbolicLinkInPlaceOfTheLockFileIsRefusedNotFollowed) {
  const fs::path target = runtime_ / "target";
  for (const bool targetExists : {true, false}) {
    SCOPED_TRACE(targetExists ? "to a file" : "dangling");
    fs::remove_all(lockDir_);
    fs::remove(target);
    fs::create_directory(lockDir_, runtime_);
    ::chmod(lockDir_.c_str(), 0700);
    Fd targetFile;
    if (targetExists) targetFile = Fd(::open(target.c_str(), O_CREAT | O_RDONLY | O_CLOEXEC, 0600));
    fs::create_symlink(target, lockDir_ / "unit-1-2.3");

    std::unique_ptr<UnitLock> lock;
    EXPECT_EQ(TryLock("1-2.3", &lock), UnitLockResult::Failed);
    EXPECT_EQ(lock, nullptr);
    EXPECT_EQ(fs::exists(target), targetExists) << "not made through the link";
    if (targetExists) {
      EXPECT_EQ(::flock(targetFile.Get(), LOCK_EX | LOCK_NB), 0) << "not locked through the link";
    }
    EXPECT_TRUE(fs::is_symlink(lockDir_ / "unit-1-2.3")) << "left as it is";
  }
}

TEST_F(UnitLockTest, WithoutAUsableRuntimeDirectoryTheLocksLieInAPrivateDirectoryUnderTmp) {
  const fs::path fallback = "/tmp/helmet-update-" + std::to_string(::geteuid());
  const std::string location = "unit_lock_test " + std::to_string(::getpid());
  const fs::path file = fallback / ("unit-unit_lock_test%20" + std::to_string(::getpid()));
  const std::optional<std::string> values[] = {std::nullopt, "", "relative/dir", (runtime_ / "missing").string(),
                                               (runtime_ / "a-file").string()};
  Fd(::open((runtime_ / "a-file").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
  for (const std::optional<std::string>& value : values) {
    SCOPED_TRACE(value.value_or("(not set)"));
    ScopedEnvironment runtime("XDG_RUNTIME_DIR", value);
    std::unique_ptr<UnitLock> lock;
    std::unique_ptr<UnitLock> second;
    ASSERT_EQ(TryLock(location, &lock), UnitLockResult::Taken);
    EXPECT_EQ(TryLock(location, &second), UnitLockResult::Busy);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file)));
    struct stat status {};
    ASSERT_EQ(::lstat(fallback.c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    EXPECT_EQ(status.st_uid, ::geteuid());
    lock.reset();
    fs::remove(file);  // the test's own file; the program leaves its files
  }
  EXPECT_EQ(NamesIn(runtime_), std::set<std::string>{"a-file"}) << "nothing made in the unusable places";
}
