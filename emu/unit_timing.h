#pragma once
// How long the emulated unit takes, in microseconds of the injected clock. The clock only moves in whole
// milliseconds; the unit carries the remainder from one exchange to the next.

#include <cstdint>

struct UnitTiming {
  std::uint32_t exchangeUs = 0;    // every exchange: both 272-byte transfers and the unit's handling
  std::uint32_t eraseChunkUs = 0;  // erasing one 64 KiB chunk
  std::uint32_t writeBlockUs = 0;  // programming one block of up to 256 bytes
  std::uint32_t readBlockUs = 0;   // reading one block of up to 256 bytes
  // Waits shorter than this are put off and made up in a later, longer one: for a real clock, whose short
  // sleeps last far longer than asked. 0: every wait is made at once (virtual clocks).
  std::uint32_t minimumWaitMs = 0;

  // No time at all: tests and benchmarks.
  static constexpr UnitTiming Instant() { return {}; }
  // A unit on USB full speed: about a millisecond per exchange (bulk transfers are scheduled per 1 ms
  // frame), a NOR sector erase of 0.4 s and a page program of 0.5 ms. An update of the 2,633,516-byte
  // application and two 156,400-byte bootloader copies then takes about a minute.
  static constexpr UnitTiming FullSpeed() { return {1000, 400000, 500, 20, 0}; }
};
