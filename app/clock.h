#pragma once
// Time as the update logic sees it: a millisecond clock and a sleep. Tests and the emulated unit use a
// virtual clock, so that the pauses and time-outs of an update cost no real time.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// Cuts a sleep short from another thread: the emulated unit ends a transfer in flight with it when the host
// aborts the pipe. Once signalled it stays so: a sleep that begins afterwards returns at once.
class Wakeup {
 public:
  void Signal();
  bool Signalled();
  // Waits up to `realTime` for the signal; true when it came. For clocks whose sleeps take real time.
  bool WaitFor(std::chrono::milliseconds realTime);

 private:
  std::mutex mutex_;
  std::condition_variable signalledChanged_;
  bool signalled_ = false;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::uint64_t NowMs() = 0;
  virtual void SleepMs(std::uint32_t ms) = 0;
  // Sleeps like SleepMs unless `wakeup` is signalled before or meanwhile; then it returns false at once, and
  // the time not slept does not pass. A clock whose sleeps take no real time need not override it.
  virtual bool SleepMsUnlessWoken(std::uint32_t ms, Wakeup& wakeup);
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
