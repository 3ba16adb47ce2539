#pragma once
// Faults that the emulated unit shows on demand, scheduled by exchange number and/or request kind.

#include <cstdint>

enum class FaultKind {
  DropAnswer,         // the request is carried out but no answer comes: the read times out
  BadCrc,             // the answer's BlockCRC is wrong
  WrongId,            // the answer carries `value` as its BlockID (default BLK_NAK)
  WrongAddress,       // the answer's BlockAddress is XORed with `value` (default 0x100)
  WrongLength,        // the answer's BlockLength is XORed with `value` (default 1)
  WrongData,          // BlockData byte `value` of the answer is XORed with `mask` (default 0xFF)
  TransientBitError,  // a WRITE: the bits `mask` of the written byte at offset `value` read back wrong once
  StuckBit,           // a WRITE: the bits `mask` of the byte at offset `value` can no longer be cleared
  SlowErase,          // an ERASE takes `value` ms (default 25,000) instead of the timing's erase time
  ShortRead,          // the answer is only `value` bytes long (default 100)
  Unplug,             // the cable is pulled as the request comes: the write fails, nothing is carried out
  PowerLoss,          // the power fails while the request is carried out: half of it done, no answer
};

inline constexpr std::uint64_t ANY_EXCHANGE = ~std::uint64_t{0};

// A fault fires on the exchanges that match `exchange` (0 is the unit's first request) and `blockId`
// (0: any request); it lets `skip` matches pass first and then fires `times` times (0: every time).
// Unplug and PowerLoss bring the unit back after `value` ms, or with PlugIn() when `value` is 0.
struct Fault {
  FaultKind kind = FaultKind::DropAnswer;
  std::uint64_t exchange = ANY_EXCHANGE;
  std::uint32_t blockId = 0;
  std::uint32_t skip = 0;
  std::uint32_t times = 1;
  std::uint32_t value = 0;
  std::uint8_t mask = 0;
};
