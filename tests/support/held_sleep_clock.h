#pragma once
// A virtual clock that holds every sleep that may be woken early (a transfer in flight) until it is woken, so
// that a test can act while the transfer waits and then read on the clock how long it lasted. Plain sleeps pass
// at once, as on VirtualClock. A held sleep that nothing wakes goes on after a guard of real time: a broken
// abort then fails the test on the clock instead of hanging it.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "app/clock.h"

class HeldSleepClock final : public Clock {
 public:
  std::uint64_t NowMs() override { return now_.load(); }
  void SleepMs(std::uint32_t ms) override { now_.fetch_add(ms); }
  bool SleepMsUnlessWoken(std::uint32_t ms, Wakeup& wakeup) override {
    {
      std::lock_guard lock(mutex_);
      ++held_;
    }
    heldChanged_.notify_all();
    const bool woken = wakeup.WaitFor(kGuard);
    {
      std::lock_guard lock(mutex_);
      --held_;
    }
    if (woken) return false;
    now_.fetch_add(ms);
    return true;
  }

  // Waits until a sleep is held; false if none came within the guard.
  bool WaitForHeldSleep() {
    std::unique_lock lock(mutex_);
    return heldChanged_.wait_for(lock, kGuard, [this] { return held_ > 0; });
  }

 private:
  static constexpr std::chrono::seconds kGuard{30};

  std::atomic<std::uint64_t> now_{0};
  std::mutex mutex_;
  std::condition_variable heldChanged_;
  int held_ = 0;
};
