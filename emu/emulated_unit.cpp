#include "emu/emulated_unit.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/clock.h"
#include "emu/emulated_usb.h"
#include "emu/request_check.h"
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

struct SlotRange {
  std::uint32_t begin;
  std::uint32_t end;
};

SlotRange RangeOf(UnitSlot slot, std::uint32_t flashSize) {
  switch (slot) {
    case UnitSlot::Bootloader1:
      return {UNIT_BOOTLOADER1_ADDRESS, std::min(UNIT_BOOTLOADER2_ADDRESS, flashSize)};
    case UnitSlot::Bootloader2:
      return {UNIT_BOOTLOADER2_ADDRESS, std::min(UNIT_APPLICATION_ADDRESS, flashSize)};
    case UnitSlot::Application:
      break;
  }
  return {UNIT_APPLICATION_ADDRESS, flashSize};
}

std::optional<UnitSlot> SlotAt(std::uint32_t address) {
  if (address == UNIT_APPLICATION_ADDRESS) return UnitSlot::Application;
  if (address == UNIT_BOOTLOADER1_ADDRESS) return UnitSlot::Bootloader1;
  if (address == UNIT_BOOTLOADER2_ADDRESS) return UnitSlot::Bootloader2;
  return std::nullopt;
}

std::size_t Index(UnitSlot slot) { return static_cast<std::size_t>(slot); }

void Seal(UsbBlock& block) { block.BlockCRC = Crc32(&block, BLOCK_CRC_OFFSET); }

// The effects of the faults that fire on one exchange.
struct FaultEffects {
  bool unplug = false;
  bool powerLoss = false;
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
}  // namespace

EmulatedUnit::EmulatedUnit(EmulatedUsb& bus, std::size_t number, const UnitConfig& config)
    : bus_(bus),
      mutex_(bus.mutex_),
      clock_(bus.clock_),
      number_(number),
      config_(config),
      flash_(config.flashSize),
      mode_(config.mode),
      recording_(config.recordExchanges) {
  if (config_.location.empty()) config_.location = Format("Port_#%04u.Hub_#0001", static_cast<unsigned>(number));
  if (config_.devicePath.empty()) {
    const Guid& g = config_.interfaceGuid;
    config_.devicePath = Format(
        "\\\\?\\usb#vid_%04x&pid_%04x#6&2f1e3a7b&0&%u#{%08" PRIx32 "-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
        config_.vendorId, config_.productId, static_cast<unsigned>(number), g.data1, g.data2, g.data3, g.data4[0],
        g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
  }
  pipePolicies_.resize(config_.endpoints.size());

  // Each configured slot gets a small image that carries its version tag and text.
  const auto preload = [this](UnitSlot slot, const SlotConfig& content, const char* tag) {
    flags_[Index(slot)] = content.valid;
    if (content.version.empty()) return;
    std::vector<std::uint8_t> image(tag, tag + IMAGE_TAG_LENGTH);
    image.insert(image.end(), content.version.begin(), content.version.end());
    image.push_back(0);
    const SlotRange range = RangeOf(slot, flash_.Size());
    if (range.begin < range.end && image.size() <= range.end - range.begin) {
      flash_.Load(range.begin, image.data(), static_cast<std::uint32_t>(image.size()));
    }
  };
  preload(UnitSlot::Application, config_.application, APPLICATION_VERSION_TAG);
  preload(UnitSlot::Bootloader1, config_.bootloader1, BOOTLOADER_VERSION_TAG);
  preload(UnitSlot::Bootloader2, config_.bootloader2, BOOTLOADER_VERSION_TAG);
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
  return bricked_ || (!present_ && !HasValidBootloader());
}

bool EmulatedUnit::SlotFlag(UnitSlot slot) const {
  std::lock_guard lock(mutex_);
  return flags_[Index(slot)];
}

void EmulatedUnit::SetSlotFlag(UnitSlot slot, bool valid) {
  std::lock_guard lock(mutex_);
  flags_[Index(slot)] = valid;
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
  if (flags_[Index(UnitSlot::Bootloader1)]) return SlotVersion(UnitSlot::Bootloader1, BOOTLOADER_VERSION_TAG);
  if (flags_[Index(UnitSlot::Bootloader2)]) return SlotVersion(UnitSlot::Bootloader2, BOOTLOADER_VERSION_TAG);
  return {};
}

void EmulatedUnit::OverrideAnswerData(std::uint32_t blockId, std::optional<std::vector<std::uint8_t>> data) {
  std::lock_guard lock(mutex_);
  if (blockId >= answerOverrides_.size()) return;
  if (data && data->size() > BLOCK_DATA_SIZE) data->resize(BLOCK_DATA_SIZE);
  answerOverrides_[blockId] = std::move(data);
}

std::string EmulatedUnit::SlotVersion(UnitSlot slot, const char* tag) const {
  const SlotRange range = RangeOf(slot, flash_.Size());
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

void EmulatedUnit::LoadFlash(std::uint32_t address, const std::uint8_t* data, std::uint32_t length) {
  std::lock_guard lock(mutex_);
  flash_.Load(address, data, length);
}

void EmulatedUnit::LoadSlot(UnitSlot slot, const std::uint8_t* image, std::uint32_t size, bool valid) {
  std::lock_guard lock(mutex_);
  const SlotRange range = RangeOf(slot, flash_.Size());
  if (range.begin >= range.end || size > range.end - range.begin) return;
  for (std::uint32_t a = range.begin; a < range.begin + size; a += UNIT_SECTOR_SIZE) flash_.Erase(a);
  flash_.Load(range.begin, image, size);
  flags_[Index(slot)] = valid;
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

void EmulatedUnit::Unplug() {
  std::lock_guard lock(mutex_);
  if (present_) LeaveBus(NEVER);
}

void EmulatedUnit::PlugIn() {
  std::lock_guard lock(mutex_);
  if (!present_ && !bricked_) Start();
}

void EmulatedUnit::LeaveBus(std::uint64_t returnAtMs) {
  present_ = false;
  ++epoch_;
  returnAtMs_ = returnAtMs;
  resetPending_ = false;
  answerPending_ = false;
  sessionActive_ = false;  // the session lives in the unit's RAM
}

// The unit starts (after a reset, or when power returns): its bootloader runs if a valid copy exists.
void EmulatedUnit::Start() {
  if (!HasValidBootloader()) {
    bricked_ = true;
    return;
  }
  present_ = true;
  mode_ = UnitMode::Bootloader;
  returnAtMs_ = 0;
}

void EmulatedUnit::RefreshPresence(std::uint64_t nowMs, bool departPendingReset) {
  if (present_ && resetPending_ && departPendingReset) LeaveBus(nowMs + config_.resetOffBusMs);
  if (!present_ && !bricked_ && returnAtMs_ != NEVER && nowMs >= returnAtMs_) Start();
}

bool EmulatedUnit::HasValidBootloader() const {
  return flags_[Index(UnitSlot::Bootloader1)] || flags_[Index(UnitSlot::Bootloader2)];
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

std::uint32_t EmulatedUnit::WaitForAnswerMs(std::uint64_t nowMs) const {
  const std::uint64_t nowUs = nowMs * 1000;
  const std::uint64_t waitUs = pendingReadyUs_ > nowUs ? pendingReadyUs_ - nowUs : 0;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(waitUs / 1000, UINT32_MAX));
}

// ---- The exchange ----

void EmulatedUnit::ClearSlotsTouching(std::uint32_t address, std::uint32_t length) {
  const std::uint64_t end = std::uint64_t{address} + length;
  for (UnitSlot slot : {UnitSlot::Application, UnitSlot::Bootloader1, UnitSlot::Bootloader2}) {
    const SlotRange range = RangeOf(slot, flash_.Size());
    if (address < range.end && end > range.begin) flags_[Index(slot)] = false;
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

  ExchangeRecord record;
  record.index = index;
  record.timeMs = clock_.NowMs();
  record.requestLength = length;
  record.request = request;
  const auto finish = [&](WriteOutcome outcome) {
    if (recording_) records_.push_back(record);
    return outcome;
  };
  if (!present_ || epoch != epoch_) return finish(WriteOutcome::Unplugged);

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
        effects.powerLoss = true;
        effects.returnMs = value;
        break;
    }
  }
  const std::uint64_t now = clock_.NowMs();
  const std::uint64_t returnAt = effects.returnMs != FAULT_UNTIL_PLUGGED_IN ? now + effects.returnMs : NEVER;
  if (effects.unplug) {
    LeaveBus(returnAt);
    return finish(WriteOutcome::Unplugged);
  }

  if (answerPending_) {
    Violation(Format("exchange %" PRIu64 ": a request was written while the answer to exchange %" PRIu64
                     " was not read",
                     index, pendingIndex_));
    answerPending_ = false;
  }
  if (length != USB_BLOCK_SIZE) {
    Violation(Format("exchange %" PRIu64 ": %" PRIu32 " bytes written, a request is 272 bytes", index, length));
    return finish(WriteOutcome::Accepted);  // not a block: nothing to carry out or answer
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
  CarryOut(request, valid, effects.powerLoss, answerId, answer, workUs, effects.eraseMs);
  if (valid && request.BlockID == BLK_WRITE && mode_ == UnitMode::Bootloader && effects.transientOffset &&
      *effects.transientOffset < request.BlockLength) {
    flash_.AddTransientError(request.BlockAddress + *effects.transientOffset, effects.transientMask);
  }
  if (effects.powerLoss) {
    LeaveBus(returnAt);
    return finish(WriteOutcome::Accepted);  // the request went out; no answer will ever come
  }

  // The unit works on one request at a time: it starts when the request arrives or, if the host sent it
  // before the last answer was due (a clock that overslept gave the host a head start), when that one is done.
  const std::uint64_t delayUs = std::uint64_t{config_.timing.exchangeUs} + workUs;
  modelledUs_ += delayUs;
  busyUntilUs_ = std::max(busyUntilUs_, now * 1000) + delayUs;
  if (answerId != 0 && !effects.drop) {
    answer.BlockID = answerId;
    if (effects.wrongId) answer.BlockID = *effects.wrongId;
    answer.BlockAddress ^= effects.addressXor;
    answer.BlockLength ^= effects.lengthXor;
    if (effects.dataIndex) answer.BlockData[*effects.dataIndex] ^= effects.dataXor;
    Seal(answer);
    if (effects.badCrc) answer.BlockCRC ^= 0x5A5A5A5A;
    answerPending_ = true;
    pendingAnswer_ = answer;
    pendingLength_ = effects.shortLength ? std::min<std::uint32_t>(*effects.shortLength, USB_BLOCK_SIZE)
                                         : static_cast<std::uint32_t>(USB_BLOCK_SIZE);
    pendingReadyUs_ = busyUntilUs_;
    pendingIndex_ = index;
    record.answered = true;
    record.answer = answer;
    record.answerLength = pendingLength_;
  }
  record.answerDelayUs = static_cast<std::uint32_t>(std::min<std::uint64_t>(delayUs, UINT32_MAX));
  return finish(WriteOutcome::Accepted);
}

// Carries a request out in the current mode. answerId 0: no answer. With `halfDone` the power fails
// midway: half of an erase or a write reaches the flash and nothing else happens.
void EmulatedUnit::CarryOut(const UsbBlock& request, bool valid, bool halfDone, std::uint32_t& answerId,
                            UsbBlock& answer, std::uint64_t& workUs, std::optional<std::uint32_t> eraseMs) {
  if (mode_ == UnitMode::OldApplication) return;  // it does not speak this protocol
  const std::uint32_t id = request.BlockID;
  const std::uint32_t address = request.BlockAddress;
  const std::uint32_t length = request.BlockLength;
  answer.BlockAddress = address;
  answer.BlockLength = length;
  answerId = BLK_NAK;
  if (!valid) return;

  const bool bootloader = mode_ == UnitMode::Bootloader;
  switch (id) {
    case BLK_PING:
      answerId = BLK_ACK;
      break;
    case BLK_GET_MODE:
      answerId = bootloader ? BLK_NAK : BLK_ACK;
      break;
    case BLK_START:
      if (!bootloader) break;
      ClearSlotsTouching(address, length);
      flash_.ClearWritten(address, length);
      sessionActive_ = true;
      sessionAddress_ = address;
      answerId = BLK_ACK;
      break;
    case BLK_ERASE:
      if (!bootloader) break;
      ClearSlotsTouching(address, UNIT_SECTOR_SIZE);
      flash_.Erase(address, halfDone ? UNIT_SECTOR_SIZE / 2 : UNIT_SECTOR_SIZE);
      workUs = eraseMs ? std::uint64_t{*eraseMs} * 1000 : config_.timing.eraseChunkUs;
      answerId = BLK_ACK;
      break;
    case BLK_WRITE:
      if (!bootloader) break;
      ClearSlotsTouching(address, length);
      flash_.Program(address, request.BlockData, halfDone ? length / 2 : length);
      workUs = config_.timing.writeBlockUs;
      answerId = BLK_ACK;
      break;
    case BLK_READ:
      if (!bootloader) break;
      flash_.Read(address, answer.BlockData, length);
      workUs = config_.timing.readBlockUs;
      answerId = BLK_ACK;
      break;
    case BLK_FINISH:
      if (!bootloader || halfDone) break;
      // The slot becomes valid only when the whole image was written since its start.
      if (sessionActive_ && sessionAddress_ == address && flash_.AllWritten(address, length)) {
        if (const auto slot = SlotAt(address)) flags_[Index(*slot)] = true;
        sessionActive_ = false;
        answerId = BLK_ACK;
      }
      break;
    case BLK_RESET:
      if (halfDone) break;
      resetPending_ = true;
      answerId = BLK_ACK;
      break;
    case BLK_GET_VERSION: {
      const std::string app = SlotVersion(UnitSlot::Application, APPLICATION_VERSION_TAG);
      std::string boot;
      if (flags_[Index(UnitSlot::Bootloader1)]) {
        boot = SlotVersion(UnitSlot::Bootloader1, BOOTLOADER_VERSION_TAG);
      } else if (flags_[Index(UnitSlot::Bootloader2)]) {
        boot = SlotVersion(UnitSlot::Bootloader2, BOOTLOADER_VERSION_TAG);
      }
      std::memcpy(answer.BlockData, app.data(), app.size());
      std::memcpy(answer.BlockData + app.size() + 1, boot.data(), boot.size());
      answerId = BLK_ACK;
      break;
    }
    case BLK_GET_FLAGS:
      for (std::size_t i = 0; i < flags_.size(); ++i) answer.BlockData[i] = flags_[i] ? 1 : 0;
      answerId = BLK_ACK;
      break;
    case BLK_GET_HWID:
      std::memcpy(answer.BlockData, &config_.hardwareId, sizeof config_.hardwareId);
      answerId = BLK_ACK;
      break;
    default:
      break;
  }
  if (answerId == BLK_ACK && id < answerOverrides_.size() && answerOverrides_[id]) {
    std::memset(answer.BlockData, 0, BLOCK_DATA_SIZE);
    const std::vector<std::uint8_t>& data = *answerOverrides_[id];
    if (!data.empty()) std::memcpy(answer.BlockData, data.data(), data.size());  // an empty override: all zero
  }
}
