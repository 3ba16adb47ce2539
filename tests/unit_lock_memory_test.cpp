// The unit locks in memory that the tests of the sessions use: the same answers as the platform's locks give
// within one process.
#include "app/unit_lock_memory.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

namespace {
TEST(MemoryUnitLocks, ALocationIsHeldByOneLockUntilItIsDestroyed) {
  MemoryUnitLocks locks;
  std::unique_ptr<UnitLock> first;
  std::unique_ptr<UnitLock> second;
  ASSERT_EQ(locks.TryLock("1-2.3", &first), UnitLockResult::Taken);
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(locks.IsHeld("1-2.3"));

  EXPECT_EQ(locks.TryLock("1-2.3", &second), UnitLockResult::Busy);
  EXPECT_EQ(second, nullptr);
  // From another thread just the same.
  std::thread([&] { EXPECT_EQ(locks.TryLock("1-2.3", &second), UnitLockResult::Busy); }).join();
  // Other locations are free.
  EXPECT_EQ(locks.TryLock("1-2.4", &second), UnitLockResult::Taken);
  EXPECT_FALSE(locks.IsHeld("1-2"));

  // Released on another thread than it was taken on.
  std::thread([&] { first.reset(); }).join();
  EXPECT_FALSE(locks.IsHeld("1-2.3"));
  EXPECT_EQ(locks.TryLock("1-2.3", &first), UnitLockResult::Taken);
}

TEST(MemoryUnitLocks, TheLockGivenIsReplacedOnlyOnceTheAnswerIsKnown) {
  // The lock given holds "A" before the call; either way it is released once the answer is known.
  struct Case {
    const char* asked;
    UnitLockResult result;
  };
  const Case cases[] = {
      {"A", UnitLockResult::Busy},   // its own location is still held while asked: Busy, and none is left
      {"B", UnitLockResult::Taken},  // replaced by the new lock
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.asked);
    MemoryUnitLocks locks;
    std::unique_ptr<UnitLock> lock;
    ASSERT_EQ(locks.TryLock("A", &lock), UnitLockResult::Taken);
    EXPECT_EQ(locks.TryLock(c.asked, &lock), c.result);
    EXPECT_EQ(lock != nullptr, c.result == UnitLockResult::Taken);
    EXPECT_FALSE(locks.IsHeld("A"));
    EXPECT_EQ(locks.IsHeld("B"), c.result == UnitLockResult::Taken);
  }
}

TEST(MemoryUnitLocks, FailingHoldsNothingAndALockMayOutliveItsMaker) {
  std::unique_ptr<UnitLock> kept;
  {
    MemoryUnitLocks locks;
    locks.SetFailing(true);
    std::unique_ptr<UnitLock> lock;
    EXPECT_EQ(locks.TryLock("1-2.3", &lock), UnitLockResult::Failed);
    EXPECT_EQ(lock, nullptr);
    EXPECT_FALSE(locks.IsHeld("1-2.3"));
    locks.SetFailing(false);
    ASSERT_EQ(locks.TryLock("1-2.3", &kept), UnitLockResult::Taken);
  }
  kept.reset();  // after the MemoryUnitLocks is gone: no use of freed memory (the sanitizer builds check it)
}
}  // namespace
