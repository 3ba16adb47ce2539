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
};
}  // namespace

Clock& SystemClock() {
  static SteadyClock clock;
  return clock;
}
