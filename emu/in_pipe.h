#pragma once
// The unit's IN endpoint buffer: the answers that wait for the host's reads, oldest first. A few at most (one
// unless late answers stay); when it is full the oldest is lost. No allocation per exchange.

#include <array>
#include <cstddef>
#include <cstdint>

#include "usb/usb_block.h"

struct PendingAnswer {
  UsbBlock block{};
  std::uint32_t length = 0;
  std::uint64_t readyUs = 0;  // on the clock, in microseconds
  std::uint64_t index = 0;    // the exchange it answers
  bool givenUp = false;       // a read timed out before it was ready
};

class InPipe {
 public:
  static constexpr std::size_t CAPACITY = 8;

  bool Empty() const { return count_ == 0; }
  PendingAnswer& Front() { return slots_[head_]; }
  PendingAnswer& Back() { return slots_[(head_ + count_ - 1) % CAPACITY]; }
  void PopFront() {
    head_ = (head_ + 1) % CAPACITY;
    --count_;
  }
  // Room for one more answer at the back.
  PendingAnswer& PushBack() {
    if (count_ == CAPACITY) PopFront();
    PendingAnswer& slot = slots_[(head_ + count_++) % CAPACITY];
    slot.givenUp = false;
    return slot;
  }
  void Clear() { head_ = count_ = 0; }

 private:
  std::array<PendingAnswer, CAPACITY> slots_{};
  std::size_t head_ = 0;
  std::size_t count_ = 0;
};
