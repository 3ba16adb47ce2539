#pragma once
// One emulated helmet unit: the unit's side of the block exchange, with its modes, a NOR flash with the
// three firmware slots and their valid flags, the version and hardware answers, reset and re-enumeration,
// a timing model on the bus's clock, faults on demand, a check of every request it receives, and a record of
// the exchanged blocks. It is reached through the bus (EmulatedUsb); everything here is safe to call from a
// test thread while one updater thread talks to the unit.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "emu/exchange_record.h"
#include "emu/unit_fault.h"
#include "emu/unit_flash.h"
#include "emu/unit_timing.h"
#include "usb/usb_block.h"
#include "usb/usb_platform.h"

class Clock;
class EmulatedUsb;

inline constexpr std::uint16_t UNIT_VENDOR_ID = 0x7A31;
inline constexpr std::uint16_t UNIT_PRODUCT_ID = 0xACDC;
inline constexpr std::uint16_t UNIT_PRODUCT_ID_ALT = 0xACDD;

// The three firmware slots, in the order of the flag bytes of the GET_FLAGS answer.
enum class UnitSlot { Application = 0, Bootloader1 = 1, Bootloader2 = 2 };
inline constexpr std::uint32_t UNIT_BOOTLOADER1_ADDRESS = 0x20000;
inline constexpr std::uint32_t UNIT_BOOTLOADER2_ADDRESS = 0x80000;
inline constexpr std::uint32_t UNIT_APPLICATION_ADDRESS = 0x100000;
inline constexpr std::uint32_t UNIT_DEFAULT_FLASH_SIZE = 8u << 20;

enum class UnitMode {
  Bootloader,      // PING acknowledged, GET_MODE answered with NAK, flash commands carried out
  Application,     // PING and GET_MODE acknowledged, flash commands refused with NAK
  OldApplication,  // nothing is answered
};

// What a slot holds when the unit is made: a small image carrying the slot's version tag and text (nothing
// when the text is empty), and its valid flag.
struct SlotConfig {
  bool valid = true;
  std::string version;
};

struct UnitConfig {
  std::uint16_t vendorId = UNIT_VENDOR_ID;
  std::uint16_t productId = UNIT_PRODUCT_ID;
  std::string devicePath;  // empty: a path made from the ids and the unit's number on the bus
  std::string location;    // empty: "Port_#000n.Hub_#0001" with the unit's number on the bus
  Guid interfaceGuid = TAVIK_INTERFACE_GUID;
  // Endpoints of alternate setting 0, in order. Default: one bulk IN 0x81 and one bulk OUT 0x01.
  std::vector<UsbPipeInformation> endpoints = {{USB_PIPE_BULK, 0x81, 64, 0}, {USB_PIPE_BULK, 0x01, 64, 0}};

  UnitMode mode = UnitMode::Bootloader;
  std::uint32_t hardwareId = 6;
  SlotConfig application{true, "001.005.010"};
  SlotConfig bootloader1{true, "001.005.007"};
  SlotConfig bootloader2{true, "001.005.007"};
  std::uint32_t flashSize = UNIT_DEFAULT_FLASH_SIZE;

  UnitTiming timing = UnitTiming::Instant();
  std::uint32_t resetOffBusMs = 1000;  // how long the unit is away from the bus after a reset
  bool recordExchanges = true;
  bool strict = false;  // a violation prints its text and aborts the process
};

// The pipe policies that the host set on one endpoint of the unit's current (or last) interface.
struct PipePolicyState {
  std::uint32_t transferTimeoutMs = 0;  // 0: none (waits forever)
  bool autoClearStall = false;
  bool timeoutSetSinceTransfer = false;  // a transfer timeout was set since the pipe's last transfer
};

using ExchangeHook = std::function<void(const UsbBlock& request, std::uint64_t index)>;

class EmulatedUnit {
 public:
  EmulatedUnit(const EmulatedUnit&) = delete;
  EmulatedUnit& operator=(const EmulatedUnit&) = delete;
  ~EmulatedUnit();

  const UnitConfig& Config() const { return config_; }
  const std::string& DevicePath() const { return config_.devicePath; }
  const std::string& Location() const { return config_.location; }

  // State.
  UnitMode Mode() const;
  void SetMode(UnitMode mode);
  bool IsPresent() const;  // attached and enumerated
  bool IsBricked() const;  // away with no valid bootloader copy: it can never come back
  bool SlotFlag(UnitSlot slot) const;
  void SetSlotFlag(UnitSlot slot, bool valid);
  void SetHardwareId(std::uint32_t id);
  // The two texts as GET_VERSION would answer them (from the version tags in the slots).
  std::string ApplicationVersion() const;
  std::string BootloaderVersion() const;
  // Replaces the BlockData of every acknowledging answer to this request id (the rest of BlockData zero),
  // e.g. version texts without a terminator, flag bytes 0, 5, 0. An empty optional removes the override.
  void OverrideAnswerData(std::uint32_t blockId, std::optional<std::vector<std::uint8_t>> data);

  // Flash, for setting up and inspecting (no NOR rules, no time).
  std::uint32_t FlashSize() const;
  std::vector<std::uint8_t> ReadFlash(std::uint32_t address, std::uint32_t length) const;
  void LoadFlash(std::uint32_t address, const std::uint8_t* data, std::uint32_t length);
  // Puts an image into a slot and sets or clears the slot's flag.
  void LoadSlot(UnitSlot slot, const std::uint8_t* image, std::uint32_t size, bool valid = true);
  void AddStuckBit(std::uint32_t address, std::uint8_t mask);
  void AddTransientBitError(std::uint32_t address, std::uint8_t mask);

  // Attachment. Unplug takes the unit off the bus (handles fail from then on); PlugIn attaches and powers
  // it again: it starts its bootloader if a valid copy exists, and otherwise stays away, bricked.
  void Unplug();
  void PlugIn();

  // Faults and the exchange hook. The hook runs on the updater's thread before each request is carried out,
  // without the unit's lock, so it may call the unit (add a fault for this very exchange, unplug it). Null
  // removes it.
  void AddFault(const Fault& fault);
  void ClearFaults();
  void SetExchangeHook(ExchangeHook hook);

  // The record of exchanges.
  void SetRecording(bool on);
  std::vector<ExchangeRecord> Exchanges() const;
  void ClearExchanges();
  std::uint64_t ExchangeCount() const;  // requests received so far

  // Request violations. While violations are expected (tests of the checks themselves) they are recorded
  // but not reported to the process-wide violation sink.
  std::vector<std::string> Violations() const;
  void ClearViolations();
  void SetViolationsExpected(bool expected);

  // The running sum of the unit's modelled latencies (exchange, erase, write and read times).
  std::uint64_t ModelledTimeUs() const;

  // The pipe policies of the unit's current or last interface; nullopt for a pipe it does not have.
  std::optional<PipePolicyState> PipePolicy(std::uint8_t pipeId) const;

 private:
  friend class EmulatedUsb;
  struct Answer;
  struct FaultState {
    Fault fault;
    std::uint32_t skipped = 0;
    std::uint32_t hits = 0;
  };

  EmulatedUnit(EmulatedUsb& bus, std::size_t number, const UnitConfig& config);

  // Called by the bus with its lock held.
  void RefreshPresence(std::uint64_t nowMs, bool departPendingReset);
  void LeaveBus(std::uint64_t returnAtMs);
  void Start();
  bool HasValidBootloader() const;
  int EndpointIndex(std::uint8_t pipeId) const;
  void ResetPipePolicies();
  void Violation(std::string text);
  // Notes the time limit of the host's read on the record of its last request.
  void RecordReadTimeout(std::uint32_t timeoutMs);
  // Whole milliseconds from now until the pending answer is ready (the fraction is left to the next wait).
  std::uint32_t WaitForAnswerMs(std::uint64_t nowMs) const;

  // The exchange, split between the two pipe calls. Both run with the bus's lock held.
  enum class WriteOutcome { Accepted, Unplugged };
  WriteOutcome ReceiveRequest(const std::uint8_t* bytes, std::uint32_t length, std::unique_lock<std::mutex>& lock);
  void CarryOut(const UsbBlock& request, bool valid, bool halfDone, std::uint32_t& answerId, UsbBlock& answer,
                std::uint64_t& workUs, std::optional<std::uint32_t> eraseMs);
  void ClearSlotsTouching(std::uint32_t address, std::uint32_t length);
  std::string SlotVersion(UnitSlot slot, const char* tag) const;

  EmulatedUsb& bus_;
  std::mutex& mutex_;
  Clock& clock_;
  std::size_t number_;  // 1 for the first unit on the bus
  UnitConfig config_;
  UnitFlash flash_;

  UnitMode mode_;
  std::array<bool, 3> flags_{};
  bool present_ = true;
  bool bricked_ = false;
  std::uint64_t returnAtMs_ = 0;  // when the unit comes back while away; NEVER: not on its own
  std::uint64_t epoch_ = 0;       // counts departures: a handle of an earlier epoch is dead
  bool resetPending_ = false;     // a RESET was acknowledged: the unit leaves once its answer is out

  // The start/finish session of a slot.
  bool sessionActive_ = false;
  std::uint32_t sessionAddress_ = 0;

  // The answer waiting on the IN pipe.
  bool answerPending_ = false;
  UsbBlock pendingAnswer_{};
  std::uint32_t pendingLength_ = 0;
  std::uint64_t pendingReadyUs_ = 0;  // on the clock, in microseconds
  std::uint64_t pendingIndex_ = 0;

  std::vector<PipePolicyState> pipePolicies_;
  std::uint64_t exchangeCount_ = 0;
  std::vector<FaultState> faults_;
  std::shared_ptr<const ExchangeHook> hook_;
  std::array<std::optional<std::vector<std::uint8_t>>, BLK_GET_HWID + 1> answerOverrides_;

  bool recording_;
  std::vector<ExchangeRecord> records_;
  std::vector<std::string> violations_;
  bool violationsExpected_ = false;

  std::uint64_t modelledUs_ = 0;
  // When the unit is done with its last request, on the clock in microseconds. Waits are cut to whole
  // milliseconds, so the clock lags behind by the fraction, which the next wait makes up; a clock that
  // oversleeps (real time) is not made to wait again for time that has already passed.
  std::uint64_t busyUntilUs_ = 0;
};
