#pragma once
// A unit is updated by one process at a time: a lock per unit location, held between processes for as long as
// the update runs. An advisory file lock on Linux and macOS, a named mutex on Windows; either is released by
// the system when the process ends, however it ends.

#include <memory>
#include <string>
#include <utility>

class UnitLock {
 public:
  virtual ~UnitLock() = default;  // releases the lock
};

enum class UnitLockResult {
  Taken,  // `lock` holds the unit until it is destroyed
  Busy,   // another process (or another lock in this one) holds the unit
  Failed  // the lock could not be made (no place for the lock file, ...): the caller decides; nothing is held
};

class UnitLocks {
 public:
  virtual ~UnitLocks() = default;
  // Takes the lock of the unit at `location` without waiting. `*lock` is replaced once the answer is known:
  // by the new lock when Taken, by nothing when Busy or Failed (a lock it held before is released then, not
  // before the attempt). Within one process a second lock on a location is Busy too, whatever the thread.
  UnitLockResult TryLock(const std::string& location, std::unique_ptr<UnitLock>* lock) {
    std::unique_ptr<UnitLock> taken;
    const UnitLockResult result = Take(location, &taken);
    *lock = std::move(taken);
    return result;
  }

 protected:
  // The platform's attempt: the new lock into `taken` when Taken, nothing otherwise.
  virtual UnitLockResult Take(const std::string& location, std::unique_ptr<UnitLock>* taken) = 0;
};

// The platform's locks between processes (platform/posix, platform/win32).
UnitLocks& PlatformUnitLocks();
