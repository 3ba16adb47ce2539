#pragma once
// One emulated helmet unit: the unit's side of the block exchange, with its modes, a NOR flash with the
// three firmware slots and their valid flags, the version and hardware answers, reset and re-enumeration,
// a timing model on the bus's clock, faults on demand, a check of every request it receives, and a record of
// the exchanged blocks. It is reached through the bus (EmulatedUsb); everything here is safe to call from a
// test thread while one updater thread talks to the unit.
//
// A harder model is switched on behaviour by behaviour in UnitConfig (all off by default): flags kept in the
// unit's own flash, a boot stage that checks a copy's content, cuts inside the unit's own erase and program
// work, a delay and another port when it comes back, late answers that stay in the IN pipe.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "emu/boot_stage.h"
#include "emu/exchange_record.h"
#include "emu/in_pipe.h"
#include "emu/unit_fault.h"
#include "emu/unit_flash.h"
#include "emu/unit_slots.h"
#include "emu/unit_timing.h"
#include "emu/unit_work.h"
#include "usb/usb_block.h"
#include "usb/usb_platform.h"

class Clock;
class EmulatedUsb;
struct FaultEffects;

inline constexpr std::uint16_t UNIT_VENDOR_ID = 0x7A31;
inline constexpr std::uint16_t UNIT_PRODUCT_ID = 0xACDC;
inline constexpr std::uint16_t UNIT_PRODUCT_ID_ALT = 0xACDD;

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

  // The harder model, one switch per behaviour; all off: the plain unit.
  //
  // The slot flags are words in the flag sector of the unit's flash (emu/unit_slots.h). Clearing one programs
  // it to 0; setting one (FINISH) erases the sector and programs the three words again; a cut can tear both.
  bool flagsInFlash = false;
  // FINISH seals the copy (its length and CRC-32 beside it, before the flag is set; START voids the seal), and
  // the boot stage starts a copy by flag and by content, falling back to the other copy (emu/boot_stage.h).
  bool checkedBoot = false;
  // The control: a unit whose flag claims a good copy over damaged content. START and the writes leave the
  // flag standing, and the boot stage starts the first flagged copy unchecked. Wins over checkedBoot.
  bool flagOnlyBoot = false;
  // A cut inside an erase or a program leaves the bits it was changing unstable: they read back differently
  // from read to read until an erase or a program settles them (seeded, so a run can be repeated).
  bool unstableCutBits = false;
  std::uint64_t randomSeed = 1;
  // Each time the unit starts (power back after PlugIn, a power loss or an unplug; a reset's restart after
  // resetOffBusMs) it appears on the bus only this long after its boot stage ran.
  std::uint32_t enumerationDelayMs = 0;
  // Each time the unit comes back it sits on another port: another location and device path.
  bool newPortOnReturn = false;
  // An answer that comes after the host's read gave up stays in the IN pipe (the unit's endpoint buffer), and
  // the next read gets it: the protocol has no sequence numbers. Closing and opening the device does not
  // empty it; only the unit leaving the bus does. Off: the unit drops a request whose answer came too late.
  bool lateAnswersStay = false;
};

// Every behaviour of the harder model switched on (not the control).
UnitConfig HarderUnit(UnitConfig config = {});

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
  // Where the unit is now (with newPortOnReturn it moves each time it comes back).
  std::string DevicePath() const;
  std::string Location() const;

  // State.
  UnitMode Mode() const;
  void SetMode(UnitMode mode);
  bool IsPresent() const;  // attached and enumerated
  bool IsBricked() const;  // away with no bootloader copy that can start: it can never come back
  // The flag as it has settled (a flag word in flash with an unstable bit counts as clear).
  bool SlotFlag(UnitSlot slot) const;
  void SetSlotFlag(UnitSlot slot, bool valid);
  // The copy the boot stage started last (with the plain unit: the first flagged copy).
  std::optional<UnitSlot> RunningCopy() const;
  void SetHardwareId(std::uint32_t id);
  // The two texts as GET_VERSION would answer them (from the version tags in the slots).
  std::string ApplicationVersion() const;
  std::string BootloaderVersion() const;
  // Replaces the BlockData of every acknowledging answer to this request id (the rest of BlockData zero),
  // e.g. version texts without a terminator, flag bytes 0, 5, 0. An empty optional removes the override.
  void OverrideAnswerData(std::uint32_t blockId, std::optional<std::vector<std::uint8_t>> data);

  // Flash, for setting up and inspecting (no NOR rules, no time).
  std::uint32_t FlashSize() const;
  // The bytes as they have settled; an unstable bit reads as the value it was moving to.
  std::vector<std::uint8_t> ReadFlash(std::uint32_t address, std::uint32_t length) const;
  // Whether the flash holds exactly these bytes, none of them with an unstable bit.
  bool FlashHolds(std::uint32_t address, const std::uint8_t* data, std::uint32_t length) const;
  std::uint32_t UnstableBytes(std::uint32_t address, std::uint32_t length) const;
  void LoadFlash(std::uint32_t address, const std::uint8_t* data, std::uint32_t length);
  // Puts an image into a slot and sets or clears the slot's flag (and, with checkedBoot, seals a valid one).
  void LoadSlot(UnitSlot slot, const std::uint8_t* image, std::uint32_t size, bool valid = true);
  void AddStuckBit(std::uint32_t address, std::uint8_t mask);
  void AddTransientBitError(std::uint32_t address, std::uint8_t mask);

  // Attachment. Unplug takes the unit off the bus (handles fail from then on); PlugIn attaches and powers
  // it again: it starts its bootloader if a valid copy exists, and otherwise stays away, bricked.
  void Unplug();
  void PlugIn();
  // PlugIn at this port (the user plugs the unit in there): its location and device path become the port's,
  // and it appears there, also with newPortOnReturn (a later return moves on from there). A unit that is on the
  // bus or appearing stays where it is.
  void PlugInAt(std::uint32_t port);
  // The power fails at this moment of the clock (between exchanges: in one of the host's pauses) and comes back
  // `awayMs` later (FAULT_UNTIL_PLUGGED_IN: with PlugIn()). One at a time; a later call replaces it.
  void CutPowerAt(std::uint64_t atMs, std::uint32_t awayMs);

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
  struct FaultState {
    Fault fault;
    std::uint32_t skipped = 0;
    std::uint32_t hits = 0;
  };

  EmulatedUnit(EmulatedUsb& bus, std::size_t number, const UnitConfig& config);

  std::string LocationName() const;
  std::string DevicePathName() const;
  // Sets a flag as it is (set-up), kept apart or as its word in flash.
  void SetFlagAsIs(UnitSlot slot, bool set);

  // Called by the bus with its lock held.
  void RefreshPresence(std::uint64_t nowMs, bool departPendingReset);
  void LeaveBus(std::uint64_t returnAtMs);
  // Power comes (back) at `atMs`: the boot stage runs, and the unit appears after the enumeration delay.
  void PowerUp(std::uint64_t atMs);
  void Appear();
  BootRule Rule() const;
  std::optional<UnitSlot> ChooseCopy();
  bool CanStart() const;  // a look at the boot stage's choice that leaves the flash's random reads as they were
  int EndpointIndex(std::uint8_t pipeId) const;
  void ResetPipePolicies();
  void Violation(std::string text);
  // Notes the time limit of the host's read on the record of its last request.
  void RecordReadTimeout(std::uint32_t timeoutMs);
  // The host's read of the IN pipe with this time limit: true when an answer comes in time (copied into the
  // buffer); `sleepMs` is how long the read lasts on the clock.
  bool ReadAnswer(std::uint64_t nowMs, std::uint32_t timeoutMs, std::uint8_t* buffer, std::uint32_t length,
                  std::uint32_t* transferred, std::uint32_t* sleepMs);
  // The host aborts its transfers on the IN pipe.
  void AbortIn();

  // The exchange, split between the two pipe calls. Both run with the bus's lock held.
  enum class WriteOutcome { Accepted, Unplugged };
  WriteOutcome ReceiveRequest(const std::uint8_t* bytes, std::uint32_t length, std::unique_lock<std::mutex>& lock);
  // What the faults that fit this exchange do to it.
  FaultEffects EffectsOn(const UsbBlock& request, std::uint64_t index);
  // Puts the answer, changed by the faults, in the IN endpoint for the host's next read.
  void QueueAnswer(UsbBlock answer, std::uint32_t answerId, const FaultEffects& effects, std::uint64_t index,
                   ExchangeRecord* record);
  // Carries a request out in the current mode. With `powerFailsAt` (thousandths of the request's own work)
  // the power fails there. answerId 0: no answer.
  void CarryOut(const UsbBlock& request, bool valid, std::optional<std::uint32_t> powerFailsAt, std::uint32_t& answerId,
                UsbBlock& answer, std::uint64_t& workUs, std::optional<std::uint32_t> eraseMs);
  // The request's own work, by what its row says the unit does; false when the unit refuses it (NAK).
  bool Act(const BlockRequest& kind, const UsbBlock& request, bool allDone, UsbBlock& answer, std::uint64_t& workUs,
           std::optional<std::uint32_t> eraseMs, WorkPlan& plan);
  void OpenImage(std::uint32_t address, std::uint32_t length, WorkPlan& plan);
  bool CloseImage(std::uint32_t address, std::uint32_t length, bool allDone, WorkPlan& plan);
  // The answer's id and data, by what its row says the answer carries.
  std::uint32_t PutAnswer(AnswerData data, UsbBlock& answer);
  void RunWork(const WorkPlan& plan, std::optional<std::uint32_t> powerFailsAt);
  // The firmware's flag operations: a flag kept apart is changed at once, one in flash through the plan.
  bool ReadFlag(UnitSlot slot);
  void ClearFlag(UnitSlot slot, WorkPlan& plan);
  void ClearSlotsTouching(std::uint32_t address, std::uint32_t length, WorkPlan& plan);
  void PlanFinish(UnitSlot slot, std::uint32_t length, WorkPlan& plan);
  void WriteSeal(UnitSlot slot, std::uint32_t length);  // set-up: seal the copy as it is, without a cut
  std::string SlotVersion(UnitSlot slot, const char* tag) const;
  std::string BootVersion() const;

  EmulatedUsb& bus_;
  std::mutex& mutex_;
  Clock& clock_;
  std::size_t number_;  // 1 for the first unit on the bus
  UnitConfig config_;
  UnitFlash flash_;

  UnitMode mode_;
  std::array<bool, 3> flags_{};  // the flags when they are not kept in flash
  // What the last FINISH (or the set-up) sealed per slot: what its flag claims. The control's boot stage crashes
  // on a copy that differs.
  struct Sealed {
    bool known = false;
    std::uint32_t length = 0;
    std::uint32_t crc = 0;
  };
  std::array<Sealed, 3> sealed_{};
  std::optional<UnitSlot> runningCopy_;
  bool present_ = true;
  bool bricked_ = false;
  bool appearing_ = false;        // powered and started, not yet on the bus (the enumeration delay)
  std::uint64_t returnAtMs_ = 0;  // when the unit comes back while away; NEVER: not on its own
  std::uint64_t epoch_ = 0;       // counts departures: a handle of an earlier epoch is dead
  bool resetPending_ = false;     // a RESET was acknowledged: the unit leaves once its answer is out
  std::uint64_t cutAtMs_;         // a power cut scheduled on the clock; NEVER: none
  std::uint32_t cutAwayMs_ = 0;
  std::uint32_t port_;       // the port it sits on
  bool portChosen_ = false;  // PlugInAt chose the port it appears at: newPortOnReturn does not move it

  // The start/finish session of a slot.
  bool sessionActive_ = false;
  std::uint32_t sessionAddress_ = 0;

  InPipe answers_;                // the answers waiting in the IN pipe
  bool readSinceRequest_ = true;  // the host read the IN pipe since it wrote its last request

  std::vector<PipePolicyState> pipePolicies_;
  std::uint64_t exchangeCount_ = 0;
  std::vector<FaultState> faults_;
  std::shared_ptr<const ExchangeHook> hook_;
  std::array<std::optional<std::vector<std::uint8_t>>, BLOCK_REQUEST_ID_LIMIT> answerOverrides_;

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
