#pragma once
// Unit locks held in memory, for the tests of whatever takes a unit: the rules of the platform's locks within
// one process (a location is held by one lock at a time; destroying the lock frees it), without files or named
// objects. A lock may outlive the MemoryUnitLocks that made it.

#include <memory>
#include <string>

#include "app/unit_lock.h"

struct MemoryUnitLockState;

class MemoryUnitLocks final : public UnitLocks {
 public:
  MemoryUnitLocks();
  ~MemoryUnitLocks() override;
  MemoryUnitLocks(const MemoryUnitLocks&) = delete;
  MemoryUnitLocks& operator=(const MemoryUnitLocks&) = delete;

  // For tests: whether a lock on `location` is held now.
  bool IsHeld(const std::string& location) const;
  // For tests: from now on TryLock answers Failed (and holds nothing) while `failing` is true.
  void SetFailing(bool failing);

 private:
  UnitLockResult Take(const std::string& location, std::unique_ptr<UnitLock>* taken) override;

  std::shared_ptr<MemoryUnitLockState> state_;
};
