#include "app/unit_lock_memory.h"

#include <mutex>
#include <set>
#include <utility>

// Shared by the locks: a lock frees its location in it even after the MemoryUnitLocks is gone.
struct MemoryUnitLockState {
  mutable std::mutex mutex;
  std::set<std::string> held;
  bool failing = false;
};

namespace {
class MemoryUnitLock final : public UnitLock {
 public:
  MemoryUnitLock(std::shared_ptr<MemoryUnitLockState> state, std::string location)
      : state_(std::move(state)), location_(std::move(location)) {}
  ~MemoryUnitLock() override;
  MemoryUnitLock(const MemoryUnitLock&) = delete;
  MemoryUnitLock& operator=(const MemoryUnitLock&) = delete;

 private:
  std::shared_ptr<MemoryUnitLockState> state_;
  std::string location_;
};
}  // namespace

MemoryUnitLock::~MemoryUnitLock() {
  std::lock_guard<std::mutex> guard(state_->mutex);
  state_->held.erase(location_);
}

MemoryUnitLocks::MemoryUnitLocks() : state_(std::make_shared<MemoryUnitLockState>()) {}
MemoryUnitLocks::~MemoryUnitLocks() = default;

// A lock that the caller held before is released by TryLock after this, outside the mutex that its release takes.
UnitLockResult MemoryUnitLocks::Take(const std::string& location, std::unique_ptr<UnitLock>* taken) {
  std::lock_guard<std::mutex> guard(state_->mutex);
  if (state_->failing) return UnitLockResult::Failed;
  if (!state_->held.insert(location).second) return UnitLockResult::Busy;
  *taken = std::make_unique<MemoryUnitLock>(state_, location);
  return UnitLockResult::Taken;
}

bool MemoryUnitLocks::IsHeld(const std::string& location) const {
  std::lock_guard<std::mutex> guard(state_->mutex);
  return state_->held.count(location) != 0;
}

void MemoryUnitLocks::SetFailing(bool failing) {
  std::lock_guard<std::mutex> guard(state_->mutex);
  state_->failing = failing;
}
