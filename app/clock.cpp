#include "app/clock.h"

#include <chrono>
#include <thread>

namespace {
class SteadyClock final : public Clock {
 public:
  std::uint64_t NowMs() override {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
  }
  void SleepMs(std::uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  bool SleepMsUnlessWoken(std::uint32_t ms, Wakeup& wakeup) override {
    return !wakeup.WaitFor(std::chrono::milliseconds(ms));
  }
};
}  // namespace

void Wakeup::Signal() {
  {
    std::lock_guard lock(mutex_);
    signalled_ = true;
  }
  signalledChanged_.notify_all();
}

bool Wakeup::Signalled() {
  std::lock_guard lock(mutex_);
  return signalled_;
}

bool Wakeup::WaitFor(std::chrono::milliseconds realTime) {
  std::unique_lock lock(mutex_);
  return signalledChanged_.wait_for(lock, realTime, [this] { return signalled_; });
}

bool Clock::SleepMsUnlessWoken(std::uint32_t ms, Wakeup& wakeup) {
  if (wakeup.Signalled()) return false;
  SleepMs(ms);
  return true;
}

Clock& SystemClock() {
  static SteadyClock clock;
  return clock;
}
