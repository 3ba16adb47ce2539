#pragma once
// One exchange as the emulated unit saw it: the request that arrived and the answer it gave, if any.

#include <cstdint>
#include <optional>

#include "usb/usb_block.h"

struct ExchangeRecord {
  std::uint64_t index = 0;          // 0 for the unit's first request
  std::uint64_t timeMs = 0;         // the clock when the request arrived
  std::uint32_t requestLength = 0;  // bytes written; the request block holds at most 272 of them
  UsbBlock request{};
  // The IN pipe's transfer timeout when the host read for this request's answer: the time limit it gave the
  // answer. Empty while the host has not read (or its write failed).
  std::optional<std::uint32_t> readTimeoutMs;
  bool answered = false;            // false: dropped, ignored, or the unit went away
  std::uint32_t answerLength = 0;   // bytes the answer has (272 unless read short)
  std::uint32_t answerDelayUs = 0;  // modelled time until the answer is ready
  UsbBlock answer{};
};
