// The unit locks on Windows: a named mutex per location whose existence is the lock. Busy for any thread of this
// process and for another process while held, free once the holder releases it (on whatever thread) or ends
// (however it ends), and one name per location.
//
// The other process is this test program itself, started with UNIT_LOCK_TEST_PROBE=<location>: before anything
// else runs it tries the lock, writes its answer (one letter) to its standard output, and ends once its standard
// input ends (closed by the test), still holding the lock if it took it.
#include "app/unit_lock.h"

#include <windows.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "support/unit_lock_code.h"
#include "tools/demo_driver.h"

namespace {
constexpr wchar_t kProbeVariable[] = L"UNIT_LOCK_TEST_PROBE";
constexpr DWORD kEndMs = 60000;

// The probe, when this process is one: runs as the program is loaded, and never returns then.
[[maybe_unused]] const bool kIsProbe = [] {
  wchar_t value[256] = {};
  const DWORD length = GetEnvironmentVariableW(kProbeVariable, value, 256);
  if (length == 0 || length >= 256) return false;
  const std::string location(value, value + length);  // ASCII: the tests' locations
  std::unique_ptr<UnitLock> lock;
  const char code = Code(PlatformUnitLocks().TryLock(location, &lock));
  DWORD done = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), &code, 1, &done, nullptr);
  char ignored = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &ignored, 1, &done, nullptr) && done > 0) {
  }
  ExitProcess(0);  // the lock still held
  return true;
}();

// A probe process; ended by force if it still runs when this goes.
class Probe {
 public:
  explicit Probe(const std::string& location) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE ends[4] = {};
    if (!CreatePipe(&ends[0], &ends[1], &inherit, 0)) return;
    OwnedHandle childInput(ends[0]);
    input_ = OwnedHandle(ends[1]);
    if (!CreatePipe(&ends[2], &ends[3], &inherit, 0)) return;
    output_ = OwnedHandle(ends[2]);
    OwnedHandle childOutput(ends[3]);
    SetHandleInformation(input_.Get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(output_.Get(), HANDLE_FLAG_INHERIT, 0);

    std::wstring block = EnvironmentWith({{kProbeVariable, std::wstring(location.begin(), location.end())}});
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(path) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput.Get();
    startup.hStdOutput = childOutput.Get();
    startup.hStdError = childOutput.Get();
    PROCESS_INFORMATION info{};
    if (CreateProcessW(path, commandLine.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW,
                       block.data(), nullptr, &startup, &info)) {
      process_ = OwnedHandle(info.hProcess);
      CloseHandle(info.hThread);
    }
  }  // the child's ends close here: the pipes end with the child
  ~Probe() {
    if (process_) {
      TerminateProcess(process_.Get(), 1);
      WaitForSingleObject(process_.Get(), kEndMs);
    }
  }
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;

  bool Started() const { return static_cast<bool>(process_); }
  // Its answer; '-' when it ended without one.
  char Answer() {
    char code = '-';
    DWORD got = 0;
    if (!ReadFile(output_.Get(), &code, 1, &got, nullptr) || got != 1) return '-';
    return code;
  }
  // Lets it end of itself.
  void LetGo() { input_.Reset(); }
  void Kill() { TerminateProcess(process_.Get(), 9); }
  // Waits until it has ended: by then the system has closed its handles.
  bool Ended() {
    const bool ended = WaitForSingleObject(process_.Get(), kEndMs) == WAIT_OBJECT_0;
    if (ended) process_.Reset();
    return ended;
  }

 private:
  OwnedHandle input_;
  OwnedHandle output_;
  OwnedHandle process_;
};

// Locations of this process's own: test processes running side by side share the session's names.
std::string Location(const char* text) { return std::string(text) + "@" + std::to_string(GetCurrentProcessId()); }

bool NameExists(const std::wstring& name) {
  OwnedHandle opened(OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
  return static_cast<bool>(opened);
}
}  // namespace

TEST(UnitLock, ASecondLockInThisProcessIsBusyOnAnyThreadUntilTheFirstIsReleasedOnAnyThread) {
  const std::string location = Location("1-2.3");
  const std::wstring name = L"Local\\helmet-update-unit-1-2.3%40" + std::to_wstring(GetCurrentProcessId());
  std::unique_ptr<UnitLock> first;
  std::unique_ptr<UnitLock> second;
  ASSERT_EQ(PlatformUnitLocks().TryLock(location, &first), UnitLockResult::Taken);
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(NameExists(name));
  EXPECT_EQ(PlatformUnitLocks().TryLock(location, &second), UnitLockResult::Busy) << "the same thread";
  EXPECT_EQ(second, nullptr);
  std::thread([&] { EXPECT_EQ(PlatformUnitLocks().TryLock(location, &second), UnitLockResult::Busy); }).join();
  EXPECT_EQ(PlatformUnitLocks().TryLock(Location("1-2.4"), &second), UnitLockResult::Taken) << "another unit";

  std::thread([&] { first.reset(); }).join();
  EXPECT_FALSE(NameExists(name)) << "gone with its handle";
  EXPECT_EQ(PlatformUnitLocks().TryLock(location, &first), UnitLockResult::Taken);
}

TEST(UnitLock, EveryLocationHasANameOfItsOwn) {
  struct Case {
    std::string location;
    std::wstring name;  // after "Local\helmet-update-unit-"
  };
  const std::wstring at = L"%40" + std::to_wstring(GetCurrentProcessId());
  const Case cases[] = {
      {Location("Port_#0002.Hub_#0001"), L"Port_%230002.Hub_%230001" + at},
      {Location("a\\b"), L"a%5Cb" + at},
      {Location("a%5Cb"), L"a%255Cb" + at},
      {Location("Global\\x"), L"Global%5Cx" + at},
      {Location("a b/.."), L"a%20b%2F.." + at},
      {Location("\xC3\xA4\xFF"), L"%C3%A4%FF" + at},
  };
  std::unique_ptr<UnitLock> locks[std::size(cases)];
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].location);
    EXPECT_EQ(PlatformUnitLocks().TryLock(cases[i].location, &locks[i]), UnitLockResult::Taken)
        << "held all at once: distinct";
    EXPECT_TRUE(NameExists(L"Local\\helmet-update-unit-" + cases[i].name));
  }
}

TEST(UnitLock, AnotherProcessFindsTheUnitBusyWhileThisOneHoldsIt) {
  std::unique_ptr<UnitLock> held;
  ASSERT_EQ(PlatformUnitLocks().TryLock(Location("1-2.3"), &held), UnitLockResult::Taken);
  Probe probe(Location("1-2.3"));
  ASSERT_TRUE(probe.Started());
  EXPECT_EQ(probe.Answer(), 'B');
  probe.LetGo();
  EXPECT_TRUE(probe.Ended());
}

TEST(UnitLock, TheUnitIsFreeAgainOnceTheHoldingProcessEndsHoweverItEnds) {
  for (const bool killed : {true, false}) {
    SCOPED_TRACE(killed ? "terminated" : "ended of itself, without releasing");
    Probe probe(Location("1-2.3"));
    ASSERT_TRUE(probe.Started());
    ASSERT_EQ(probe.Answer(), 'T');
    std::unique_ptr<UnitLock> lock;
    EXPECT_EQ(PlatformUnitLocks().TryLock(Location("1-2.3"), &lock), UnitLockResult::Busy);
    if (killed) {
      probe.Kill();
    } else {
      probe.LetGo();
    }
    ASSERT_TRUE(probe.Ended());
    EXPECT_EQ(PlatformUnitLocks().TryLock(Location("1-2.3"), &lock), UnitLockResult::Taken);
  }
}
