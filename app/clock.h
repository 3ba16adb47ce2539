#pragma once
// Time as the update logic sees it: a millisecond clock and a sleep. Tests and the emulated unit use a
// virtual clock, so that the pauses and time-outs of an update cost no real time.

#include <atomic>
#include <cstdint>

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::uint64_t NowMs() = 0;
  virtual void SleepMs(std::uint32_t ms) = 0;
};

// Real time (steady clock, real sleeps).
Clock& SystemClock();

// Time that only moves when someone sleeps on it or advances it. Safe to share between threads.
class VirtualClock final : public Clock {
 public:
  std::uint64_t NowMs() override { return now_.load(); }
  void SleepMs(std::uint32_t ms) override { now_.fetch_add(ms); }
  void Advance(std::uint64_t ms) { now_.fetch_add(ms); }

 private:
  std::atomic<std::uint64_t> now_{0};
};
