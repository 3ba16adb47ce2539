#include "emu/emulated_unit.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/clock.h"
#include "emu/block_crc.h"
#include "emu/emulated_usb.h"
#include "emu/request_check.h"
#include "emu/unit_answers.h"
#include "image/crc32.h"
#include "image/image_tags.h"

namespace {
constexpr std::uint64_t NEVER = ~std::uint64_t{0};
constexpr std::size_t VERSION_TEXT_LIMIT = 127;  // both texts and their terminators fit into BlockData

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

constexpr std::uint8_t ZEROS[4] = {};
// The least a copy set up without content is sealed over.
constexpr std::uint32_t SETUP_SEAL_MINIMUM = 256;

}  // namespace

// The effects of the faults that fire on one exchange.
struct FaultEffects {
  bool unplug = false;
  std::optional<std::uint32_t> powerFailsAt;  // thousandths of the request's own work
  std::uint32_t answerDelayMs = 0;
  std::uint32_t returnMs = 0;
  bool drop = false;
  bool badCrc = false;
  std::optional<std::uint32_t> wrongId;
  std::uint32_t addressXor = 0;
  std::uint32_t lengthXor = 0;
  std::optional<std::uint32_t> dataIndex;
  std::uint8_t dataXor = 0;
  std::optional<std::uint32_t> eraseMs;
  std::optional<std::uint32_t> shortLength;
  std::optional<std::uint32_t> transientOffset, stuckOffset;
  std::uint8_t transientMask = 0, stuckMask = 0;
};

namespace {
// What one fault that fits the request does to its handling and its answer.
void AddEffect(FaultEffects& effects, const Fault& f, std::uint32_t value, std::uint8_t mask) {
  switch (f.kind) {
    case FaultKind::DropAnswer:
      effects.drop = true;
      break;
    case FaultKind::BadCrc:
      effects.badCrc = true;
      break;
    case FaultKind::WrongId:
      effects.wrongId = value;
      break;
    case FaultKind::WrongAddress:
      effects.addressXor = value;
      break;
    case FaultKind::WrongLength:
      effects.lengthXor = value;
      break;
    case FaultKind::WrongData:
      effects.dataIndex = value % BLOCK_DATA_SIZE;
      effects.dataXor = mask;
      break;
    case FaultKind::TransientBitError:
      effects.transientOffset = value;
      effects.transientMask = mask;
      break;
    case FaultKind::StuckBit:
      effects.stuckOffset = value;
      effects.stuckMask = mask;
      break;
    case FaultKind::SlowErase:
      effects.eraseMs = value;
      break;
    case FaultKind::ShortRead:
      effects.shortLength = value;
      break;
    case FaultKind::Unplug:
      effects.unplug = true;
      effects.returnMs = value;
      break;
    case FaultKind::PowerLoss:
      effects.powerFailsAt = std::min(f.workDone, FAULT_ALL_DONE);
      effects.returnMs = value;
      break;
    case FaultKind::AnswerLoss:
      effects.powerFailsAt = FAULT_ALL_DONE;
      effects.returnMs = value;
      break;
    case FaultKind::SlowAnswer:
      effects.answerDelayMs = value;
      break;
  }
}
}  // namespace

UnitConfig HarderUnit(UnitConfig config) {
  config.flagsInFlash = true;
  config.checkedBoot = true;
  config.unstableCutBits = true;
  config.enumerationDelayMs = 800;  // with resetOffBusMs 1000, back within the host's 2000 ms pause
  config.newPortOnReturn = true;
  config.lateAnswersStay = true;
  return config;
}

EmulatedUnit::EmulatedUnit(EmulatedUsb& bus, std::size_t number, const UnitConfig& config)
    : bus_(bus),
      mutex_(bus.mutex_),
      clock_(bus.clock_),
      number_(number),
      config_(config),
      flash_(config.flashSize, config.randomSeed),
      mode_(config.mode),
      cutAtMs_(NEVER),
      port_(static_cast<std::uint32_t>(number)),
      recording_(config.recordExchanges) {
  if (config_.location.empty() || config_.newPortOnReturn) config_.location = LocationName();
  if (config_.devicePath.empty() || config_.newPortOnReturn) config_.devicePath = DevicePathName();
  pipePolicies_.resize(config_.endpoints.size());

  // Each configured slot gets a small image that carries its version tag and text.
  const auto preload = [this](UnitSlot slot, const SlotConfig& content, const char* tag) {
    std::uint32_t size = 0;
    if (!content.version.empty()) {
      std::vector<std::uint8_t> image(tag, tag + IMAGE_TAG_LENGTH);
      image.insert(image.end(), content.version.begin(), content.version.end());
      image.push_back(0);
      const SlotRange range = SlotRangeOf(slot, flash_.Size());
      if (range.begin < range.end && image.size() <= range.end - range.begin) {
        size = static_cast<std::uint32_t>(image.size());
        flash_.Load(range.begin, image.data(), size);
      }
    }
    SetFlagAsIs(slot, content.valid);
    if (content.valid) WriteSeal(slot, std::max(size, SETUP_SEAL_MINIMUM));
  };
  preload(UnitSlot::Application, config_.application, APPLICATION_VERSION_TAG);
  preload(UnitSlot::Bootloader1, config_.bootloader1, BOOTLOADER_VERSION_TAG);
  preload(UnitSlot::Bootloader2, config_.bootloader2, BOOTLOADER_VERSION_TAG);
  runningCopy_ = ChooseCopy();
}

// The names that come from the port the unit sits on.
std::string EmulatedUnit::LocationName() const { return Format("Port_#%04u.Hub_#0001", static_cast<unsigned>(port_)); }

std::string EmulatedUnit::DevicePathName() const {
  const Guid& g = config_.interfaceGuid;
  return Format("\\\\?\\usb#vid_%04x&pid_%04x#6&2f1e3a7b&0&%u#{%08" PRIx32
                "-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                config_.vendorId, config_.productId, static_cast<unsigned>(port_), g.data1, g.data2, g.data3,
                g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
}

EmulatedUnit::~EmulatedUnit() = default;

// ---- State ----

UnitMode EmulatedUnit::Mode() const {
  std::lock_guard lock(mutex_);
  return mode_;
}

void EmulatedUnit::SetMode(UnitMode mode) {
  std::lock_guard lock(mutex_);
  mode_ = mode;
}

bool EmulatedUnit::IsPresent() const {
  std::lock_guard lock(mutex_);
  const_cast<EmulatedUnit*>(this)->RefreshPresence(clock_.NowMs(), false);
  return present_;
}

bool EmulatedUnit::IsBricked() const {
  std::lock_guard lock(mutex_);
  return bricked_ || (!present_ && !appearing_ && !CanStart());
}

bool EmulatedUnit::SlotFlag(UnitSlot slot) const {
  std::lock_guard lock(mutex_);
  return config_.flagsInFlash ? SettledFlagWord(flash_, slot) : flags_[SlotIndex(slot)];
}

void EmulatedUnit::SetSlotFlag(UnitSlot slot, bool valid) {
  std::lock_guard lock(mutex_);
  SetFlagAsIs(slot, valid);
}

void EmulatedUnit::SetFlagAsIs(UnitSlot slot, bool set) {
  flags_[SlotIndex(slot)] = set;
  if (!config_.flagsInFlash) return;
  const std::uint32_t word = set ? FLAG_WORD_SET : 0;
  flash_.Load(FlagWordAddress(slot), reinterpret_cast<const std::uint8_t*>(&word), sizeof word);
}

std::optional<UnitSlot> EmulatedUnit::RunningCopy() const {
  std::lock_guard lock(mutex_);
  return runningCopy_;
}

void EmulatedUnit::SetHardwareId(std::uint32_t id) {
  std::lock_guard lock(mutex_);
  config_.hardwareId = id;
}

std::string EmulatedUnit::ApplicationVersion() const {
  std::lock_guard lock(mutex_);
  return SlotVersion(UnitSlot::Application, APPLICATION_VERSION_TAG);
}

std::string EmulatedUnit::BootloaderVersion() const {
  std::lock_guard lock(mutex_);
  return BootVersion();
}

// The plain unit answers with the first flagged copy's text; the harder one with the copy its boot stage started.
std::string EmulatedUnit::BootVersion() const {
  if (Rule() != BootRule::Flags) return runningCopy_ ? SlotVersion(*runningCopy_, BOOTLOADER_VERSION_TAG) : "";
  for (UnitSlot copy : UNIT_BOOT_COPIES) {
    if (config_.flagsInFlash ? SettledFlagWord(flash_, copy) : flags_[SlotIndex(copy)]) {
      return SlotVersion(copy, BOOTLOADER_VERSION_TAG);
    }
  }
  return {};
}

void EmulatedUnit::OverrideAnswerData(std::uint32_t blockId, std::optional<std::vector<std::uint8_t>> data) {
  std::lock_guard lock(mutex_);
  if (blockId >= answerOverrides_.size()) return;
  if (data && data->size() > BLOCK_DATA_SIZE) data->resize(BLOCK_DATA_SIZE);
  answerOverrides_[blockId] = std::move(data);
}

std::string EmulatedUnit::SlotVersion(UnitSlot slot, const char* tag) const {
  const SlotRange range = SlotRangeOf(slot, flash_.Size());
  if (range.begin >= range.end) return {};
  const std::uint8_t* begin = flash_.Data() + range.begin;
  const std::uint8_t* end = flash_.Data() + range.end;
  const std::uint8_t* found = std::search(begin, end, tag, tag + IMAGE_TAG_LENGTH);
  if (found == end) return {};
  const std::uint8_t* text = found + IMAGE_TAG_LENGTH;
  const std::uint8_t* stop = text + std::min<std::size_t>(VERSION_TEXT_LIMIT, static_cast<std::size_t>(end - text));
  return std::string(text, std::find(text, stop, 0));
}

// ---- Flash ----

std::uint32_t EmulatedUnit::FlashSize() const { return flash_.Size(); }

std::vector<std::uint8_t> EmulatedUnit::ReadFlash(std::uint32_t address, std::uint32_t length) const {
  std::lock_guard lock(mutex_);
  if (!flash_.Contains(address, length)) return {};
  return std::vector<std::uint8_t>(flash_.Data() + address, flash_.Data() + address + length);
}

bool EmulatedUnit::FlashHolds(std::uint32_t address, const std::uint8_t* data, std::uint32_t length) const {
  std::lock_guard lock(mutex_);
  return flash_.Contains(address, length) && std::memcmp(flash_.Data() + address, data, length) == 0 &&
         flash_.UnstableBytes(address, length) == 0;
}

std::uint32_t EmulatedUnit::UnstableBytes(std::uint32_t address, std::uint32_t length) const {
  std::lock_guard lock(mutex_);
  return flash_.UnstableBytes(address, length);
}

void EmulatedUnit::LoadFlash(std::uint32_t address, const std::uint8_t* data, std::uint32_t length) {
  std::lock_guard lock(mutex_);
  flash_.Load(address, data, length);
}

void EmulatedUnit::LoadSlot(UnitSlot slot, const std::uint8_t* image, std::uint32_t size, bool valid) {
  std::lock_guard lock(mutex_);
  const SlotRange range = SlotRangeOf(slot, flash_.Size());
  if (range.begin >= range.end || size > range.end - range.begin) return;
  for (std::uint32_t a = range.begin; a < range.begin + size; a += UNIT_SECTOR_SIZE) flash_.Erase(a);
  flash_.Load(range.begin, image, size);
  SetFlagAsIs(slot, valid);
  if (valid) WriteSeal(slot, size);
}

// Seals a copy as it stands (set-up): the seal beside it with checkedBoot, and what its flag claims.
void EmulatedUnit::WriteSeal(UnitSlot slot, std::uint32_t length) {
  const SlotRange range = SlotRangeOf(slot, flash_.Size());
  if (range.begin >= range.end) return;
  length = std::min(length, range.end - range.begin);
  const std::uint32_t crc = Crc32(flash_.Data() + range.begin, length);
  sealed_[SlotIndex(slot)] = {true, length, crc};
  if (!config_.checkedBoot || !CopyFitsBesideSeal(slot, length, flash_.Size())) return;
  const CopySeal seal = MakeSeal(length, crc);
  const std::uint32_t at = SealAddress(slot, flash_.Size());
  flash_.Erase(at);
  flash_.Load(at, reinterpret_cast<const std::uint8_t*>(&seal), sizeof seal);
}

void EmulatedUnit::AddStuckBit(std::uint32_t address, std::uint8_t mask) {
  std::lock_guard lock(mutex_);
  flash_.AddStuckBit(address, mask);
}

void EmulatedUnit::AddTransientBitError(std::uint32_t address, std::uint8_t mask) {
  std::lock_guard lock(mutex_);
  flash_.AddTransientError(address, mask);
}

// ---- Attachment ----

std::string EmulatedUnit::DevicePath() const {
  std::lock_guard lock(mutex_);
  return config_.devicePath;
}

std::string EmulatedUnit::Location() const {
  std::lock_guard lock(mutex_);
  return config_.location;
}

void EmulatedUnit::Unplug() {
  std::lock_guard lock(mutex_);
  if (present_ || appearing_) LeaveBus(NEVER);
}

void EmulatedUnit::PlugIn() {
  std::lock_guard lock(mutex_);
  RefreshPresence(clock_.NowMs(), false);
  if (!present_ && !appearing_ && !bricked_) PowerUp(clock_.NowMs());
}

void EmulatedUnit::PlugInAt(std::uint32_t port) {
  std::lock_guard lock(mutex_);
  RefreshPresence(clock_.NowMs(), false);
  if (present_ || appearing_ || bricked_) return;
  port_ = port;
  config_.location = LocationName();
  config_.devicePath = DevicePathName();
  portChosen_ = true;
  PowerUp(clock_.NowMs());
}

void EmulatedUnit::CutPowerAt(std::uint64_t atMs, std::uint32_t awayMs) {
  std::lock_guard lock(mutex_);
  cutAtMs_ = atMs;
  cutAwayMs_ = awayMs;
}

void EmulatedUnit::LeaveBus(std::uint64_t returnAtMs) {
  present_ = false;
  appearing_ = false;
  portChosen_ = false;  // gone before it appeared: a return of its own moves it as usual
  ++epoch_;
  returnAtMs_ = returnAtMs;
  resetPending_ = false;
  answers_.Clear();        // the endpoint's buffer empties with the unit
  sessionActive_ = false;  // the session lives in the unit's RAM
}

BootRule EmulatedUnit::Rule() const {
  if (config_.flagOnlyBoot) return BootRule::FlagOnly;
  return config_.checkedBoot ? BootRule::Checked : BootRule::Flags;
}

std::optional<UnitSlot> EmulatedUnit::ChooseCopy() {
  BootQuestions ask;
  ask.flagSet = [this](UnitSlot copy) { return ReadFlag(copy); };
  ask.contentGood = [this](UnitSlot copy) {
    if (Rule() == BootRule::Checked) return CopyMatchesSeal(flash_, copy);
    const Sealed& sealed = sealed_[SlotIndex(copy)];
    return sealed.known && ReadCopyCrc(flash_, copy, sealed.length) == sealed.crc;
  };
  return ChooseBootCopy(Rule(), ask);
}

bool EmulatedUnit::CanStart() const {
  // The look reads the flash as the boot stage would; its random reads are put back as they were.
  auto& self = const_cast<EmulatedUnit&>(*this);
  const std::uint64_t state = self.flash_.RandomState();
  const bool starts = self.ChooseCopy().has_value();
  self.flash_.SetRandomState(state);
  return starts;
}

// Power comes: the boot stage picks a copy, or the unit is bricked; the bootloader then needs the enumeration
// delay before it is on the bus.
void EmulatedUnit::PowerUp(std::uint64_t atMs) {
  runningCopy_ = ChooseCopy();
  if (!runningCopy_) {
    bricked_ = true;
    returnAtMs_ = NEVER;
    return;
  }
  appearing_ = true;
  returnAtMs_ = atMs + config_.enumerationDelayMs;
  if (config_.enumerationDelayMs == 0) Appear();
}

void EmulatedUnit::Appear() {
  if (config_.newPortOnReturn && !portChosen_) {
    port_ += 16;  // past the ports of the other units on the bus (up to 16)
    config_.location = LocationName();
    config_.devicePath = DevicePathName();
  }
  portChosen_ = false;
  present_ = true;
  appearing_ = false;
  mode_ = UnitMode::Bootloader;
  returnAtMs_ = 0;
}

// Brings the unit up to the clock: a departure after a reset, then its returns and a scheduled power cut, in
// the order they fall.
void EmulatedUnit::RefreshPresence(std::uint64_t nowMs, bool departPendingReset) {
  if (present_ && resetPending_ && departPendingReset) LeaveBus(nowMs + config_.resetOffBusMs);
  for (;;) {
    const std::uint64_t back = !present_ && !bricked_ ? returnAtMs_ : NEVER;
    const std::uint64_t next = std::min(back, cutAtMs_);
    if (next == NEVER || next > nowMs) return;
    if (cutAtMs_ <= back) {
      const std::uint64_t at = cutAtMs_;
      cutAtMs_ = NEVER;
      if (!bricked_) LeaveBus(cutAwayMs_ == FAULT_UNTIL_PLUGGED_IN ? NEVER : at + cutAwayMs_);
    } else if (appearing_) {
      Appear();
    } else {
      PowerUp(back);
    }
  }
}

int EmulatedUnit::EndpointIndex(std::uint8_t pipeId) const {
  for (std::size_t i = 0; i < config_.endpoints.size(); ++i) {
    if (config_.endpoints[i].pipeId == pipeId) return static_cast<int>(i);
  }
  return -1;
}

void EmulatedUnit::ResetPipePolicies() { std::fill(pipePolicies_.begin(), pipePolicies_.end(), PipePolicyState{}); }

std::optional<PipePolicyState> EmulatedUnit::PipePolicy(std::uint8_t pipeId) const {
  std::lock_guard lock(mutex_);
  const int index = EndpointIndex(pipeId);
  if (index < 0) return std::nullopt;
  return pipePolicies_[static_cast<std::size_t>(index)];
}

// ---- Faults, hook, record, violations ----

void EmulatedUnit::AddFault(const Fault& fault) {
  std::lock_guard lock(mutex_);
  faults_.push_back({fault});
}

void EmulatedUnit::ClearFaults() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

void EmulatedUnit::SetExchangeHook(ExchangeHook hook) {
  std::lock_guard lock(mutex_);
  hook_ = hook ? std::make_shared<const ExchangeHook>(std::move(hook)) : nullptr;
}

void EmulatedUnit::SetRecording(bool on) {
  std::lock_guard lock(mutex_);
  recording_ = on;
}

std::vector<ExchangeRecord> EmulatedUnit::Exchanges() const {
  std::lock_guard lock(mutex_);
  return records_;
}

void EmulatedUnit::ClearExchanges() {
  std::lock_guard lock(mutex_);
  records_.clear();
}

std::uint64_t EmulatedUnit::ExchangeCount() const {
  std::lock_guard lock(mutex_);
  return exchangeCount_;
}

std::vector<std::string> EmulatedUnit::Violations() const {
  std::lock_guard lock(mutex_);
  return violations_;
}

void EmulatedUnit::ClearViolations() {
  std::lock_guard lock(mutex_);
  violations_.clear();
}

void EmulatedUnit::SetViolationsExpected(bool expected) {
  std::lock_guard lock(mutex_);
  violationsExpected_ = expected;
}

void EmulatedUnit::Violation(std::string text) {
  text = Format("unit %u: ", static_cast<unsigned>(number_)) + text;
  if (config_.strict) {
    std::fprintf(stderr, "emulated unit: request violation: %s\n", text.c_str());
    std::abort();
  }
  if (!violationsExpected_) ReportUsbViolation(text);
  violations_.push_back(std::move(text));
}

void EmulatedUnit::RecordReadTimeout(std::uint32_t timeoutMs) {
  // The host reads for its last request, whose record is the last one (unless recording was off).
  if (records_.empty()) return;
  ExchangeRecord& last = records_.back();
  if (last.index + 1 == exchangeCount_ && !last.readTimeoutMs) last.readTimeoutMs = timeoutMs;
}

std::uint64_t EmulatedUnit::ModelledTimeUs() const {
  std::lock_guard lock(mutex_);
  return modelledUs_;
}

// ---- The IN pipe ----

bool EmulatedUnit::ReadAnswer(std::uint64_t nowMs, std::uint32_t timeoutMs, std::uint8_t* buffer, std::uint32_t length,
                              std::uint32_t* transferred, std::uint32_t* sleepMs) {
  *sleepMs = timeoutMs;  // a read with no timeout would wait forever; it fails at once instead
  readSinceRequest_ = true;
  if (answers_.Empty()) {
    if (timeoutMs == 0) Violation("a read without a transfer timeout while no answer is coming");
    return false;
  }
  PendingAnswer& answer = answers_.Front();
  const std::uint64_t nowUs = nowMs * 1000;
  if (timeoutMs != 0 && answer.readyUs > (nowMs + timeoutMs) * 1000) {
    // The answer comes too late: the read gives up. A late answer stays in the pipe for the next read, or
    // else the unit drops the request it was working on.
    if (config_.lateAnswersStay) {
      answer.givenUp = true;
    } else {
      answers_.PopFront();
      busyUntilUs_ = (nowMs + timeoutMs) * 1000;
    }
    return false;
  }
  // Whole milliseconds until it is ready; the fraction is left to the next wait.
  const std::uint64_t waitUs = answer.readyUs > nowUs ? answer.readyUs - nowUs : 0;
  const auto waitMs = static_cast<std::uint32_t>(std::min<std::uint64_t>(waitUs / 1000, UINT32_MAX));
  *sleepMs = waitMs < config_.timing.minimumWaitMs ? 0 : waitMs;
  const std::uint32_t count = std::min(length, answer.length);
  std::memcpy(buffer, &answer.block, count);
  if (transferred) *transferred = count;
  answers_.PopFront();
  return true;
}

void EmulatedUnit::AbortIn() {
  // An answer already in the unit's endpoint buffer is not the host's to take back.
  if (!config_.lateAnswersStay) answers_.Clear();
}

// ---- The unit's flags and its own work ----

bool EmulatedUnit::ReadFlag(UnitSlot slot) {
  return config_.flagsInFlash ? ReadFlagWord(flash_, slot) : flags_[SlotIndex(slot)];
}

void EmulatedUnit::ClearFlag(UnitSlot slot, WorkPlan& plan) {
  if (!config_.flagsInFlash) {
    flags_[SlotIndex(slot)] = false;
    return;
  }
  // A word that is not all zero yet is programmed to zero: no erase needed, and torn it reads as clear (or, with
  // unstable bits, now and then as set).
  const std::uint32_t address = FlagWordAddress(slot);
  std::uint32_t word = 0;
  std::memcpy(&word, flash_.Data() + address, sizeof word);
  if (word != 0 || flash_.UnstableBytes(address, sizeof word) != 0) plan.Program(address, ZEROS, sizeof word);
}

void EmulatedUnit::ClearSlotsTouching(std::uint32_t address, std::uint32_t length, WorkPlan& plan) {
  if (config_.flagOnlyBoot) return;  // the control: the flag stands over the copy being overwritten
  const std::uint64_t end = std::uint64_t{address} + length;
  for (UnitSlot slot : UNIT_SLOTS) {
    const SlotRange range = SlotRangeOf(slot, flash_.Size());
    if (address < range.end && end > range.begin) ClearFlag(slot, plan);
  }
}

// FINISH of a copy: with checkedBoot the seal first (erase its sector, program it), then the flag: kept apart it is
// set at once; in flash the flag sector is erased and the three words programmed again.
void EmulatedUnit::PlanFinish(UnitSlot slot, std::uint32_t length, WorkPlan& plan) {
  const std::uint32_t crc = ReadCopyCrc(flash_, slot, length);
  sealed_[SlotIndex(slot)] = {true, length, crc};
  if (Rule() == BootRule::Checked) {
    const CopySeal seal = MakeSeal(length, crc);
    std::uint8_t* bytes = plan.Bytes(sizeof seal);
    std::memcpy(bytes, &seal, sizeof seal);
    const std::uint32_t at = SealAddress(slot, flash_.Size());
    plan.Erase(at);
    plan.Program(at, bytes, sizeof seal);
  }
  if (!config_.flagsInFlash) {
    plan.SetFlag(SlotIndex(slot));
    return;
  }
  std::uint32_t words[3];
  for (UnitSlot s : UNIT_SLOTS) words[SlotIndex(s)] = s == slot || ReadFlagWord(flash_, s) ? FLAG_WORD_SET : 0;
  std::uint8_t* bytes = plan.Bytes(sizeof words);
  std::memcpy(bytes, words, sizeof words);
  plan.Erase(UNIT_FLAG_SECTOR);
  plan.Program(UNIT_FLAG_SECTOR, bytes, sizeof words);
}

// Runs the plan; with a cut the power fails inside it (CutPoint): the step at the cut is done in part.
void EmulatedUnit::RunWork(const WorkPlan& plan, std::optional<std::uint32_t> powerFailsAt) {
  const WorkCut cut = powerFailsAt ? CutPoint(plan.Size(), *powerFailsAt) : WorkCut{plan.Size(), 0};
  const bool unstable = config_.unstableCutBits;
  for (std::size_t i = 0; i < plan.Size() && i <= cut.step; ++i) {
    const WorkStep& step = plan[i];
    const bool whole = i < cut.step;
    switch (step.kind) {
      case WorkStep::Kind::Erase:
        if (whole) {
          flash_.Erase(step.address);
        } else {
          flash_.Erase(step.address, static_cast<std::uint32_t>(std::uint64_t{UNIT_SECTOR_SIZE} * cut.into / 1000),
                       unstable);
        }
        break;
      case WorkStep::Kind::Program: {
        const std::uint32_t done =
            whole ? step.length : static_cast<std::uint32_t>(std::uint64_t{step.length} * cut.into / 1000);
        const bool partly = !whole && done < step.length;
        flash_.Program(step.address, step.data, done, partly && unstable, partly ? step.data[done] : 0xFF);
        break;
      }
      case WorkStep::Kind::SetFlag:
        if (whole) flags_[step.slot] = true;
        break;
    }
  }
}

// The faults that fit this exchange, gathered into what they do (each counts as hit).
FaultEffects EmulatedUnit::EffectsOn(const UsbBlock& request, std::uint64_t index) {
  FaultEffects effects;
  for (FaultState& state : faults_) {
    const Fault& f = state.fault;
    // The table of fault kinds gives the request a kind fits and the defaults of its value and mask.
    const FaultKindInfo& info = FaultKindInfoOf(f.kind);
    const std::uint32_t fits = f.blockId != 0 ? f.blockId : info.blockId;
    if (f.exchange != ANY_EXCHANGE && f.exchange != index) continue;
    if (fits != 0 && fits != request.BlockID) continue;
    if (f.times != 0 && state.hits >= f.times) continue;
    if (state.skipped < f.skip) {
      ++state.skipped;
      continue;
    }
    ++state.hits;
    const std::uint32_t value = f.value != 0 ? f.value : info.value;
    const std::uint8_t mask = f.mask != 0 ? f.mask : info.mask;
    AddEffect(effects, f, value, mask);
  }
  return effects;
}

// The answer as the faults change it, queued in the IN endpoint until it is ready.
void EmulatedUnit::QueueAnswer(UsbBlock answer, std::uint32_t answerId, const FaultEffects& effects,
                               std::uint64_t index, ExchangeRecord* record) {
  answer.BlockID = answerId;
  if (effects.wrongId) answer.BlockID = *effects.wrongId;
  answer.BlockAddress ^= effects.addressXor;
  answer.BlockLength ^= effects.lengthXor;
  if (effects.dataIndex) answer.BlockData[*effects.dataIndex] ^= effects.dataXor;
  answer.BlockCRC = BlockCrc(answer);
  if (effects.badCrc) answer.BlockCRC ^= 0x5A5A5A5A;
  PendingAnswer& pending = answers_.PushBack();
  pending.block = answer;
  pending.length = effects.shortLength ? std::min<std::uint32_t>(*effects.shortLength, USB_BLOCK_SIZE)
                                       : static_cast<std::uint32_t>(USB_BLOCK_SIZE);
  pending.readyUs = busyUntilUs_;
  pending.index = index;
  if (record) {
    record->answered = true;
    record->answer = answer;
    record->answerLength = pending.length;
  }
}

EmulatedUnit::WriteOutcome EmulatedUnit::ReceiveRequest(const std::uint8_t* bytes, std::uint32_t length,
                                                        std::unique_lock<std::mutex>& lock) {
  const std::uint64_t index = exchangeCount_++;
  const std::uint64_t epoch = epoch_;
  UsbBlock request{};
  std::memcpy(&request, bytes, std::min<std::size_t>(length, USB_BLOCK_SIZE));

  // The hook runs unlocked so that it may poke the unit (add a fault for this very exchange, unplug it).
  if (std::shared_ptr<const ExchangeHook> hook = hook_; hook && *hook) {
    lock.unlock();
    (*hook)(request, index);
    lock.lock();
  }

  // The record is kept in place when recording (no copy of it per exchange otherwise).
  ExchangeRecord* record = nullptr;
  if (recording_) {
    record = &records_.emplace_back();
    record->index = index;
    record->timeMs = clock_.NowMs();
    record->requestLength = length;
    record->request = request;
  }
  if (!present_ || epoch != epoch_) return WriteOutcome::Unplugged;

  const FaultEffects effects = EffectsOn(request, index);
  const std::uint64_t now = clock_.NowMs();
  const std::uint64_t returnAt = effects.returnMs != FAULT_UNTIL_PLUGGED_IN ? now + effects.returnMs : NEVER;
  if (effects.unplug) {
    LeaveBus(returnAt);
    return WriteOutcome::Unplugged;
  }

  // The host sent again without reading at all since its last request. (An answer that a read gave up on and
  // that stays in the pipe is the host's bad luck, not its fault.)
  if (!readSinceRequest_ && !answers_.Empty()) {
    Violation(Format("exchange %" PRIu64 ": a request was written while the answer to exchange %" PRIu64
                     " was not read",
                     index, answers_.Back().index));
    answers_.Clear();
  }
  readSinceRequest_ = false;
  if (length != USB_BLOCK_SIZE) {
    Violation(Format("exchange %" PRIu64 ": %" PRIu32 " bytes written, a request is 272 bytes", index, length));
    return WriteOutcome::Accepted;  // not a block: nothing to carry out or answer
  }

  const bool valid = CheckRequestBlock(request, flash_.Size(), [&](std::string text) {
    Violation(Format("exchange %" PRIu64 ": %s: ", index, BlockIdName(request.BlockID).c_str()) + text);
  });
  if (valid && request.BlockID == BLK_WRITE && mode_ == UnitMode::Bootloader) {
    if (effects.stuckOffset && *effects.stuckOffset < request.BlockLength) {
      flash_.AddStuckBit(request.BlockAddress + *effects.stuckOffset, effects.stuckMask);
    }
  }

  UsbBlock answer{};
  std::uint32_t answerId = 0;
  std::uint64_t workUs = 0;
  CarryOut(request, valid, effects.powerFailsAt, answerId, answer, workUs, effects.eraseMs);
  if (valid && request.BlockID == BLK_WRITE && mode_ == UnitMode::Bootloader && effects.transientOffset &&
      *effects.transientOffset < request.BlockLength) {
    flash_.AddTransientError(request.BlockAddress + *effects.transientOffset, effects.transientMask);
  }
  if (effects.powerFailsAt) {
    LeaveBus(returnAt);
    return WriteOutcome::Accepted;  // the request went out; no answer will ever come
  }

  // The unit works on one request at a time: it starts when the request arrives or, if the host sent it
  // before the last answer was due (a clock that overslept gave the host a head start), when that one is done.
  const std::uint64_t delayUs =
      std::uint64_t{config_.timing.exchangeUs} + workUs + std::uint64_t{effects.answerDelayMs} * 1000;
  modelledUs_ += delayUs;
  busyUntilUs_ = std::max(busyUntilUs_, now * 1000) + delayUs;
  if (answerId != 0 && !effects.drop) QueueAnswer(answer, answerId, effects, index, record);
  if (record) record->answerDelayUs = static_cast<std::uint32_t>(std::min<std::uint64_t>(delayUs, UINT32_MAX));
  return WriteOutcome::Accepted;
}

void EmulatedUnit::CarryOut(const UsbBlock& request, bool valid, std::optional<std::uint32_t> powerFailsAt,
                            std::uint32_t& answerId, UsbBlock& answer, std::uint64_t& workUs,
                            std::optional<std::uint32_t> eraseMs) {
  if (mode_ == UnitMode::OldApplication) return;  // it does not speak this protocol
  const std::uint32_t id = request.BlockID;
  answer.BlockAddress = request.BlockAddress;
  answer.BlockLength = request.BlockLength;
  answerId = BLK_NAK;
  if (!valid) return;  // a valid block is a known request

  // The flash work goes into a plan, so that a power cut can land inside it.
  const BlockRequest& kind = *FindBlockRequest(id);
  const bool allDone = !powerFailsAt || *powerFailsAt >= FAULT_ALL_DONE;
  WorkPlan plan;
  if ((!kind.bootloaderOnly || mode_ == UnitMode::Bootloader) &&
      Act(kind, request, allDone, answer, workUs, eraseMs, plan)) {
    answerId = PutAnswer(kind.answer, answer);
  }
  RunWork(plan, powerFailsAt);
  if (answerId == BLK_ACK && id < answerOverrides_.size() && answerOverrides_[id]) {
    std::memset(answer.BlockData, 0, BLOCK_DATA_SIZE);
    const std::vector<std::uint8_t>& data = *answerOverrides_[id];
    if (!data.empty()) std::memcpy(answer.BlockData, data.data(), data.size());  // an empty override: all zero
  }
}

bool EmulatedUnit::Act(const BlockRequest& kind, const UsbBlock& request, bool allDone, UsbBlock& answer,
                       std::uint64_t& workUs, std::optional<std::uint32_t> eraseMs, WorkPlan& plan) {
  const std::uint32_t address = request.BlockAddress;
  const std::uint32_t length = request.BlockLength;
  switch (kind.action) {
    case UnitAction::Answer:
      return true;
    case UnitAction::OpenImage:
      OpenImage(address, length, plan);
      return true;
    case UnitAction::EraseSector:
      ClearSlotsTouching(address, UNIT_SECTOR_SIZE, plan);
      plan.Erase(address);
      workUs = eraseMs ? std::uint64_t{*eraseMs} * 1000 : config_.timing.eraseChunkUs;
      return true;
    case UnitAction::Program:
      ClearSlotsTouching(address, length, plan);
      plan.Program(address, request.BlockData, length);
      workUs = config_.timing.writeBlockUs;
      return true;
    case UnitAction::ReadBack:
      flash_.Read(address, answer.BlockData, length);
      workUs = config_.timing.readBlockUs;
      return true;
    case UnitAction::CloseImage:
      return CloseImage(address, length, allDone, plan);
    case UnitAction::Restart:
      if (!allDone) return false;
      resetPending_ = true;
      return true;
  }
  return false;
}

void EmulatedUnit::OpenImage(std::uint32_t address, std::uint32_t length, WorkPlan& plan) {
  ClearSlotsTouching(address, length, plan);
  // With checkedBoot the seal of the copy to be overwritten is voided (its magic programmed to zero).
  if (Rule() == BootRule::Checked) {
    if (const auto slot = SlotAt(address)) plan.Program(SealAddress(*slot, flash_.Size()), ZEROS, sizeof ZEROS);
  }
  flash_.ClearWritten(address, length);
  sessionActive_ = true;
  sessionAddress_ = address;
}

// The slot becomes valid only when the whole image was written since its start (and, with checkedBoot, when it
// leaves its slot's last sector to the seal).
bool EmulatedUnit::CloseImage(std::uint32_t address, std::uint32_t length, bool allDone, WorkPlan& plan) {
  const auto slot = SlotAt(address);
  if (!sessionActive_ || sessionAddress_ != address || !flash_.AllWritten(address, length)) return false;
  if (slot && Rule() == BootRule::Checked && !CopyFitsBesideSeal(*slot, length, flash_.Size())) return false;
  if (slot) PlanFinish(*slot, length, plan);
  if (allDone) sessionActive_ = false;
  return true;
}

std::uint32_t EmulatedUnit::PutAnswer(AnswerData data, UsbBlock& answer) {
  switch (data) {
    case AnswerData::Ack:
    case AnswerData::FlashBytes:  // read by the request's own work
      break;
    case AnswerData::ModeNak:
      return mode_ == UnitMode::Bootloader ? BLK_NAK : BLK_ACK;
    case AnswerData::Versions:
      PutVersions(answer, SlotVersion(UnitSlot::Application, APPLICATION_VERSION_TAG), BootVersion());
      break;
    case AnswerData::SlotFlags: {
      std::array<bool, 3> valid{};
      for (UnitSlot slot : UNIT_SLOTS) valid[SlotIndex(slot)] = ReadFlag(slot);
      PutSlotFlags(answer, valid);
      break;
    }
    case AnswerData::HardwareId:
      PutHardwareId(answer, config_.hardwareId);
      break;
  }
  return BLK_ACK;
}
