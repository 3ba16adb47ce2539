#pragma once
// Faults that the emulated unit shows on demand, scheduled by exchange number and/or request kind. Every kind is
// described once, in the table of fault kinds (FaultKinds()): its name in DEMO_FAULT, the request it fits, the
// default of its value and mask, and one line of help. The unit takes the defaults from there, the demo's
// settings parse the names from there, and the help texts are made from there.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

enum class FaultKind {
  DropAnswer,         // the request is carried out but no answer comes: the read times out
  BadCrc,             // the answer's BlockCRC is wrong
  WrongId,            // the answer carries `value` as its BlockID
  WrongAddress,       // the answer's BlockAddress is XORed with `value`
  WrongLength,        // the answer's BlockLength is XORed with `value`
  WrongData,          // BlockData byte `value` of the answer is XORed with `mask`
  TransientBitError,  // a WRITE: the bits `mask` of the written byte at offset `value` read back wrong once
  StuckBit,           // a WRITE: the bits `mask` of the byte at offset `value` can no longer be cleared
  SlowErase,          // an ERASE takes `value` ms instead of the timing's erase time
  ShortRead,          // the answer is only `value` bytes long
  Unplug,             // the cable is pulled as the request comes: the write fails, nothing is carried out
  PowerLoss,          // the power fails while the request is carried out: `workDone` of it done, no answer
  AnswerLoss,         // the request is carried out in full, then the power fails before the answer goes out
  SlowAnswer,         // the answer is ready `value` ms later than it would be
};

inline constexpr std::uint64_t ANY_EXCHANGE = ~std::uint64_t{0};
// Unplug, PowerLoss, AnswerLoss: the unit stays away until PlugIn() (as `value`).
inline constexpr std::uint32_t FAULT_UNTIL_PLUGGED_IN = ~std::uint32_t{0};
// PowerLoss: how much of the request's own work is done when the power fails, in thousandths.
inline constexpr std::uint32_t FAULT_HALF_DONE = 500;
inline constexpr std::uint32_t FAULT_ALL_DONE = 1000;

// A fault fires on the exchanges that match `exchange` (0 is the unit's first request) and `blockId` (0: the
// request its kind fits, or any); it lets `skip` matches pass first and then fires `times` times (0: every time).
// `value` and `mask` 0 take the kind's defaults. Unplug, PowerLoss and AnswerLoss bring the unit back after
// `value` ms (FAULT_UNTIL_PLUGGED_IN: with PlugIn()). `workDone` places a power loss inside the request's own
// work (its erase, program and flag steps), in thousandths of it: 0 before any of it, FAULT_ALL_DONE after all.
struct Fault {
  FaultKind kind = FaultKind::DropAnswer;
  std::uint64_t exchange = ANY_EXCHANGE;
  std::uint32_t blockId = 0;
  std::uint32_t skip = 0;
  std::uint32_t times = 1;
  std::uint32_t value = 0;
  std::uint8_t mask = 0;
  std::uint32_t workDone = FAULT_HALF_DONE;
};

// One row of the table of fault kinds.
struct FaultKindInfo {
  FaultKind kind;         // the effect the unit applies
  const char* name;       // as DEMO_FAULT names it
  std::uint32_t blockId;  // the only request it fits; 0: any
  std::uint32_t value;    // the default of Fault::value
  std::uint8_t mask;      // the default of Fault::mask
  const char* valueText;  // what `value` is, or null when the kind has none
  const char* help;       // one line: what the unit does
};

std::span<const FaultKindInfo> FaultKinds();
const FaultKindInfo& FaultKindInfoOf(FaultKind kind);
// The row of a DEMO_FAULT name, or null.
const FaultKindInfo* FindFaultKind(std::string_view name);
// One line per kind for help output: "  slowerase  (an erase) ... value: ..., default 25000".
std::string FaultKindHelp();
// The kinds as the rows of a Markdown table: | `name` | request | value, default | help |
std::string FaultKindMarkdownRows();
