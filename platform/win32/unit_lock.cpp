// The unit locks on Windows: a named mutex per unit location, "Local\helmet-update-unit-<location>", whose
// existence is the lock. TryLock creates it; when it was there already (ERROR_ALREADY_EXISTS) another lock holds
// the unit. The lock is the open handle: when the last handle is closed, by the lock's destructor or by the system
// at the end of the process however it ends, the mutex is gone and the next CreateMutexW makes it anew.
//
// The mutex is never owned (never waited on). Ownership of a mutex belongs to a thread: ReleaseMutex fails on any
// other thread, a mutex whose owning thread ends is left "abandoned" (released while our lock object still
// lives), and the owning thread may wait on it again and again (a second session on the same thread would take
// the unit it holds). The lock objects are made and destroyed on whichever thread runs the session; existence
// does not care, and a second CreateMutexW in the same process sees the name taken like any other process does.
//
// Only this program opens these names; a handle that anything else holds open on one keeps that unit Busy.
#include "app/unit_lock.h"

#include <windows.h>

#include <string>
#include <utility>

namespace {
// Each byte outside [A-Za-z0-9._-] of the location written as %XX: no backslash (which would name another
// namespace), one name per location.
std::wstring MutexName(const std::string& location) {
  static const wchar_t kHex[] = L"0123456789ABCDEF";
  std::wstring name = L"Local\\helmet-update-unit-";
  for (const char c : location) {
    const unsigned char byte = static_cast<unsigned char>(c);
    const bool plain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
                       byte == '.' || byte == '_' || byte == '-';
    if (plain) {
      name += static_cast<wchar_t>(byte);
    } else {
      name += L'%';
      name += kHex[byte >> 4];
      name += kHex[byte & 0x0F];
    }
  }
  return name;
}

class MutexUnitLock final : public UnitLock {
 public:
  explicit MutexUnitLock(HANDLE mutex) : mutex_(mutex) {}
  ~MutexUnitLock() override { CloseHandle(mutex_); }
  MutexUnitLock(const MutexUnitLock&) = delete;
  MutexUnitLock& operator=(const MutexUnitLock&) = delete;

 private:
  HANDLE mutex_;
};

class MutexUnitLocks final : public UnitLocks {
 private:
  UnitLockResult Take(const std::string& location, std::unique_ptr<UnitLock>* taken) override {
    const std::wstring name = MutexName(location);
    SetLastError(ERROR_SUCCESS);
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    const DWORD error = GetLastError();
    if (mutex == nullptr) {
      // There, made by someone who does not let us open it: held all the same. Anything else (the name taken by
      // an object of another kind, too long, no resources) is no answer about the unit.
      return error == ERROR_ACCESS_DENIED ? UnitLockResult::Busy : UnitLockResult::Failed;
    }
    if (error == ERROR_ALREADY_EXISTS) {
      CloseHandle(mutex);
      return UnitLockResult::Busy;
    }
    *taken = std::make_unique<MutexUnitLock>(mutex);
    return UnitLockResult::Taken;
  }
};
}  // namespace

UnitLocks& PlatformUnitLocks() {
  static MutexUnitLocks locks;
  return locks;
}
