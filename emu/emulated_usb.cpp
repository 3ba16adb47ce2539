#include "emu/emulated_usb.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "app/clock.h"
#include "usb/seam_records.h"

namespace {
thread_local std::uint32_t t_lastError = 0;
std::atomic<UsbViolationSink> g_violationSink{nullptr};

constexpr std::uint64_t INTERFACE_REF_MAGIC = 0x454D55494E544631;  // "EMUINTF1"
constexpr std::uint64_t DEVICE_REF_MAGIC = 0x454D554445564931;     // "EMUDEVI1"
constexpr std::uint32_t DETAIL_HEADER_SIZE = 4;                    // the size field in front of the path, as on Windows
constexpr std::uint32_t DETAIL_SIZE_FIELD = 5;                     // the value that field holds on the 32-bit platform

struct InterfaceRefData {
  std::uint64_t magic;
  const void* list;
  std::uint64_t index;
};
struct DeviceRefData {
  std::uint64_t magic;
  const EmulatedUnit* unit;
};
static_assert(sizeof(InterfaceRefData) <= sizeof(UsbInterfaceRef));
static_assert(sizeof(DeviceRefData) <= sizeof(UsbDeviceRef));

bool SamePath(const std::string& a, const char* b) {
  const std::size_t length = std::strlen(b);
  if (a.size() != length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string Hex2(std::uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", value);
  return text;
}
}  // namespace

void SetUsbViolationSink(UsbViolationSink sink) { g_violationSink.store(sink); }

void ReportUsbViolation(const std::string& text) {
  if (UsbViolationSink sink = g_violationSink.load()) sink(text);
}

struct EmulatedUsb::DeviceList {
  Guid interfaceClass;
  std::vector<EmulatedUnit*> units;
};

struct EmulatedUsb::DeviceFile {
  EmulatedUnit* unit;
  std::uint64_t epoch;
};

struct EmulatedUsb::Interface {
  EmulatedUnit* unit;
  std::uint64_t epoch;
  // The read waiting on the clock, if any: AbortPipe on its pipe wakes it.
  Wakeup* readInFlight = nullptr;
  std::uint8_t readPipe = 0;
};

EmulatedUsb::EmulatedUsb(Clock& clock) : clock_(clock) {}

EmulatedUsb::~EmulatedUsb() = default;

EmulatedUnit& EmulatedUsb::AddUnit(const UnitConfig& config) {
  std::lock_guard lock(mutex_);
  units_.push_back(std::unique_ptr<EmulatedUnit>(new EmulatedUnit(*this, units_.size() + 1, config)));
  return *units_.back();
}

EmulatedUnit& EmulatedUsb::Unit(std::size_t index) {
  std::lock_guard lock(mutex_);
  return *units_.at(index);
}

std::size_t EmulatedUsb::UnitCount() const {
  std::lock_guard lock(mutex_);
  return units_.size();
}

std::size_t EmulatedUsb::OpenDeviceLists() const {
  std::lock_guard lock(mutex_);
  return lists_.size();
}

std::size_t EmulatedUsb::OpenDeviceFiles() const {
  std::lock_guard lock(mutex_);
  return files_.size();
}

std::size_t EmulatedUsb::OpenInterfaces() const {
  std::lock_guard lock(mutex_);
  return interfaces_.size();
}

std::size_t EmulatedUsb::OpenHandleCount() const {
  std::lock_guard lock(mutex_);
  return lists_.size() + files_.size() + interfaces_.size();
}

std::uint64_t EmulatedUsb::CallCount(UsbCall call) const {
  std::lock_guard lock(mutex_);
  return calls_[static_cast<std::size_t>(call)];
}

std::uint64_t EmulatedUsb::TotalCallCount() const {
  std::lock_guard lock(mutex_);
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < calls_.size(); ++i) {
    if (i != static_cast<std::size_t>(UsbCall::LastError)) total += calls_[i];
  }
  return total;
}

void EmulatedUsb::ResetCallCounts() {
  std::lock_guard lock(mutex_);
  calls_.fill(0);
}

void EmulatedUsb::FailCall(UsbCall call, std::uint32_t error, std::uint32_t skip) {
  std::lock_guard lock(mutex_);
  failRules_.push_back({call, error, skip});
}

void EmulatedUsb::SetListedByPort(bool byPort) {
  std::lock_guard lock(mutex_);
  listedByPort_ = byPort;
}

std::string EmulatedUsb::LastOpenedPath() const {
  std::lock_guard lock(mutex_);
  return lastOpenedPath_;
}

std::vector<std::string> EmulatedUsb::Violations() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> all = violations_;
  for (const auto& unit : units_) all.insert(all.end(), unit->violations_.begin(), unit->violations_.end());
  return all;
}

void EmulatedUsb::ClearViolations() {
  std::lock_guard lock(mutex_);
  violations_.clear();
  for (const auto& unit : units_) unit->violations_.clear();
}

void EmulatedUsb::SetViolationsExpected(bool expected) {
  std::lock_guard lock(mutex_);
  violationsExpected_ = expected;
  for (const auto& unit : units_) unit->violationsExpected_ = expected;
}

// ---- Helpers (lock held) ----

bool EmulatedUsb::Enter(UsbCall call) {
  ++calls_[static_cast<std::size_t>(call)];
  // A unit whose reset was acknowledged has left by the time anyone enumerates, opens or sends again.
  const bool depart = call == UsbCall::GetClassDevs || call == UsbCall::OpenDeviceFile || call == UsbCall::WritePipe;
  const std::uint64_t now = clock_.NowMs();
  for (const auto& unit : units_) unit->RefreshPresence(now, depart);
  for (auto it = failRules_.begin(); it != failRules_.end(); ++it) {
    if (it->call != call) continue;
    if (it->skip > 0) {
      --it->skip;
      continue;
    }
    t_lastError = it->error;
    failRules_.erase(it);
    return false;
  }
  return true;
}

bool EmulatedUsb::Fail(std::uint32_t error) {
  t_lastError = error;
  return false;
}

void EmulatedUsb::Misuse(std::string text) {
  text = "bus: " + text;
  if (!violationsExpected_) ReportUsbViolation(text);
  violations_.push_back(std::move(text));
}

EmulatedUsb::DeviceList* EmulatedUsb::FindList(UsbDeviceList list) {
  for (const auto& l : lists_) {
    if (l.get() == list) return l.get();
  }
  return nullptr;
}

EmulatedUsb::DeviceFile* EmulatedUsb::FindFile(UsbFileHandle file) {
  for (const auto& f : files_) {
    if (f.get() == file) return f.get();
  }
  return nullptr;
}

EmulatedUsb::Interface* EmulatedUsb::FindInterface(UsbInterfaceHandle handle) {
  for (const auto& i : interfaces_) {
    if (i.get() == handle) return i.get();
  }
  return nullptr;
}

bool EmulatedUsb::Alive(const EmulatedUnit& unit, std::uint64_t epoch) const {
  return unit.present_ && unit.epoch_ == epoch;
}

// ---- Enumeration ----

UsbDeviceList EmulatedUsb::GetClassDevs(const Guid& interfaceClass) {
  std::lock_guard lock(mutex_);
  if (!Enter(UsbCall::GetClassDevs)) return nullptr;
  auto list = std::make_unique<DeviceList>();
  list->interfaceClass = interfaceClass;
  for (const auto& unit : units_) {
    if (unit->present_ && unit->config_.interfaceGuid == interfaceClass) list->units.push_back(unit.get());
  }
  if (listedByPort_) {
    std::stable_sort(list->units.begin(), list->units.end(),
                     [](const EmulatedUnit* a, const EmulatedUnit* b) { return a->port_ < b->port_; });
  }
  lists_.push_back(std::move(list));
  return lists_.back().get();
}

bool EmulatedUsb::EnumDeviceInterfaces(UsbDeviceList list, const Guid& interfaceClass, std::uint32_t memberIndex,
                                       UsbInterfaceRef* iface) {
  std::lock_guard lock(mutex_);
  if (!Enter(UsbCall::EnumDeviceInterfaces)) return false;
  DeviceList* l = FindList(list);
  if (!l) {
    Misuse("EnumDeviceInterfaces on a device list that is not open");
    return Fail(WIN_ERROR_INVALID_HANDLE);
  }
  if (!iface) return Fail(WIN_ERROR_INVALID_PARAMETER);
  if (!(interfaceClass == l->interfaceClass) || memberIndex >= l->units.size()) return Fail(WIN_ERROR_NO_MORE_ITEMS);
  const InterfaceRefData data{INTERFACE_REF_MAGIC, l, memberIndex};
  std::memset(iface, 0, sizeof *iface);
  std::memcpy(iface, &data, sizeof data);
  return true;
}

bool EmulatedUsb::GetDeviceInterfaceDetail(UsbDeviceList list, const UsbInterfaceRef& iface, void* detail,
                                           std::uint32_t detailSize, std::uint32_t* requiredSize,
                                           UsbDeviceRef* device) {
  std::lock_guard lock(mutex_);
  if (!Enter(UsbCall::GetDeviceInterfaceDetail)) return false;
  DeviceList* l = FindList(list);
  if (!l) {
    Misuse("GetDeviceInterfaceDetail on a device list that is not open");
    return Fail(WIN_ERROR_INVALID_HANDLE);
  }
  InterfaceRefData data;
  std::memcpy(&data, &iface, sizeof data);
  if (data.magic != INTERFACE_REF_MAGIC || data.list != l || data.index >= l->units.size()) {
    return Fail(WIN_ERROR_INVALID_PARAMETER);
  }
  const EmulatedUnit& unit = *l->units[data.index];
  const std::string& path = unit.config_.devicePath;
  const auto required = static_cast<std::uint32_t>(DETAIL_HEADER_SIZE + path.size() + 1);
  if (requiredSize) *requiredSize = required;
  if (!detail || detailSize < required) return Fail(WIN_ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(detail, &DETAIL_SIZE_FIELD, sizeof DETAIL_SIZE_FIELD);
  std::memcpy(static_cast<char*>(detail) + DETAIL_HEADER_SIZE, path.c_str(), path.size() + 1);
  if (device) {
    const DeviceRefData ref{DEVICE_REF_MAGIC, &unit};
    std::memset(device, 0, sizeof *device);
    std::memcpy(device, &ref, sizeof ref);
  }
  return true;
}

const char* EmulatedUsb::DetailDevicePath(const void* detail) {
  std::lock_guard lock(mutex_);
  Enter(UsbCall::DetailDevicePath);
  return static_cast<const char*>(detail) + DETAIL_HEADER_SIZE;
}

bool EmulatedUsb::GetDeviceLocation(UsbDeviceList list, const UsbDeviceRef& device, void* buffer,
                                    std::uint32_t bufferSize, std::uint32_t* requiredSize) {
  std::lock_guard lock(mutex_);
  if (!Enter(UsbCall::GetDeviceLocation)) return false;
  if (!FindList(list)) {
    Misuse("GetDeviceLocation on a device list that is not open");
    return Fail(WIN_ERROR_INVALID_HANDLE);
  }
  DeviceRefData data;
  std::memcpy(&data, &device, sizeof data);
  const auto known = [&](const std::unique_ptr<EmulatedUnit>& u) { return u.get() == data.unit; };
  if (data.magic != DEVICE_REF_MAGIC || std::none_of(units_.begin(), units_.end(), known)) {
    return Fail(WIN_ERROR_INVALID_PARAMETER);
  }
  if (!FillLocationRecord(data.unit->config_.location, buffer, bufferSize, requiredSize)) {
    return Fail(WIN_ERROR_INSUFFICIENT_BUFFER);
  }
  return true;
}

bool EmulatedUsb::GetDeviceIds(UsbDeviceList list, const UsbDeviceRef& device, UsbDeviceIds* ids) {
  std::lock_guard lock(mutex_);
  if (!Enter(UsbCall::GetDeviceIds)) return false;
  if (!FindList(list)) {
    Misuse("GetDeviceIds on a device list that is not open");
    return Fail(WIN_ERROR_INVALID_HANDLE);
  }
  DeviceRefData data;
  std::memcpy(&data, &device, sizeof data);
  const auto known = [&](const std::unique_ptr<EmulatedUnit>& u) { return u.get() == data.unit; };
  if (data.magic != DEVICE_REF_MAGIC || ids == nullptr || std::none_of(units_.begin(), units_.end(), known)) {
    return Fail(WIN_ERROR_INVALID_PARAMETER);
  }
  *ids = UsbDeviceIds{data.unit->config_.vendorId, data.unit->config_.productId};
  return true;
}

void EmulatedUsb::DestroyDeviceInfoList(UsbDeviceList list) {
  std::lock_guard lock(mutex_);
  if (!Enter(UsbCall::DestroyDeviceInfoList)) return;
  const auto it = std::find_if(lists_.begin(), lists_.end(), [&](const auto& l) { return l.get() == list; });
  if (it == lists_.end()) {
    Misuse("DestroyDeviceInfoList on a device list that is not open");
    Fail(WIN_ERROR_INVALID_HANDLE);
    return;
  }
  lists_.erase(it);
}

// ---- Device file and interface ----

UsbFileHandle EmulatedUsb::OpenDeviceFile(const char* path) {
  std::lock_guard lock(mutex_);
  if (!Enter(UsbCall::OpenDeviceFile)) return UsbInvalidHandle();
  if (!path) {
    Fail(WIN_ERROR_INVALID_PARAMETER);
    return UsbInvalidHandle();
  }
  lastOpenedPath_ = path;
  for (const auto& unit : units_) {
    if (unit->present_ && SamePath(unit->config_.devicePath, path)) {
      files_.push_back(std::make_unique<DeviceFile>(DeviceFile{unit.get(), unit->epoch_}));
      return files_.back().get();
    }
  }
  Fail(WIN_ERROR_FILE_NOT_FOUND);
  return UsbInvalidHandle();
}

bool EmulatedUsb::CloseDeviceFile(UsbFileHandle file) {
  std::lock_guard lock(mutex_);
  if (!Enter(UsbCall::CloseDeviceFile)) return false;
  const auto it = std::find_if(files_.begin(), files_.end(), [&](const auto& f) { return f.get() == file; });
  if (it == files_.end()) {
    Misuse("CloseDeviceFile on a handle that is not open");
    return Fail(WIN_ERROR_INVALID_HANDLE);
  }
  files_.erase(it);
  return true;
}

bool EmulatedUsb::InitializeInterface(UsbFileHandle file, UsbInterfaceHandle* handle) {
  std::lock_guard lock(mutex_);
  if (!Enter(UsbCall::InitializeInterface)) return false;
  DeviceFile* f = FindFile(file);
  if (!f) {
    Misuse("InitializeInterface on a device file that is not open");
    return Fail(WIN_ERROR_INVALID_HANDLE);
  }
  if (!handle) return Fail(WIN_ERROR_INVALID_PARAMETER);
  if (!Alive(*f->unit, f->epoch)) return Fail(WIN_ERROR_DEVICE_NOT_CONNECTED);
  f->unit->ResetPipePolicies();
  interfaces_.push_back(std::make_unique<Interface>(Interface{f->unit, f->epoch}));
  *handle = interfaces_.back().get();
  return true;
}

bool EmulatedUsb::QueryInterfaceSettings(UsbInterfaceHandle handle, std::uint8_t alternateIndex,
                                         UsbInterfaceDescriptor* descriptor) {
  std::lock_guard lock(mutex_);
  if (!Enter(UsbCall::QueryInterfaceSettings)) return false;
  Interface* i = FindInterface(handle);
  if (!i) {
    Misuse("QueryInterfaceSettings on an interface that is not open");
    return Fail(WIN_ERROR_INVALID_HANDLE);
  }
  if (!descriptor) return Fail(WIN_ERROR_INVALID_PARAMETER);
  if (!Alive(*i->unit, i->epoch)) return Fail(WIN_ERROR_DEVICE_NOT_CONNECTED);
  if (alternateIndex != 0) return Fail(WIN_ERROR_NO_MORE_ITEMS);
  *descriptor = {9, 4, 0, 0, static_cast<std::uint8_t>(i->unit->config_.endpoints.size()), 0xFF, 0, 0, 0};
  return true;
}

bool EmulatedUsb::QueryPipe(UsbInterfaceHandle handle, std::uint8_t alternateIndex, std::uint8_t pipeIndex,
                            UsbPipeInformation* pipe) {
  std::lock_guard lock(mutex_);
  if (!Enter(UsbCall::QueryPipe)) return false;
  Interface* i = FindInterface(handle);
  if (!i) {
    Misuse("QueryPipe on an interface that is not open");
    return Fail(WIN_ERROR_INVALID_HANDLE);
  }
  if (!pipe) return Fail(WIN_ERROR_INVALID_PARAMETER);
  if (!Alive(*i->unit, i->epoch)) return Fail(WIN_ERROR_DEVICE_NOT_CONNECTED);
  const auto& endpoints = i->unit->config_.endpoints;
  if (alternateIndex != 0 || pipeIndex >= endpoints.size()) return Fail(WIN_ERROR_NO_MORE_ITEMS);
  *pipe = endpoints[pipeIndex];
  return true;
}

bool EmulatedUsb::SetPipePolicy(UsbInterfaceHandle handle, std::uint8_t pipeId, std::uint32_t policyType,
                                std::uint32_t valueLength, const void* value) {
  std::lock_guard lock(mutex_);
  if (!Enter(UsbCall::SetPipePolicy)) return false;
  Interface* i = FindInterface(handle);
  if (!i) {
    Misuse("SetPipePolicy on an interface that is not open");
    return Fail(WIN_ERROR_INVALID_HANDLE);
  }
  if (!Alive(*i->unit, i->epoch)) return Fail(WIN_ERROR_DEVICE_NOT_CONNECTED);
  const int index = i->unit->EndpointIndex(pipeId);
  if (index < 0) {
    Misuse("SetPipePolicy on pipe " + Hex2(pipeId) + ", which the unit does not have");
    return Fail(WIN_ERROR_INVALID_PARAMETER);
  }
  if (!value) return Fail(WIN_ERROR_INVALID_PARAMETER);
  PipePolicyState& policy = i->unit->pipePolicies_[static_cast<std::size_t>(index)];
  if (policyType == USB_POLICY_PIPE_TRANSFER_TIMEOUT && valueLength == sizeof(std::uint32_t)) {
    std::memcpy(&policy.transferTimeoutMs, value, sizeof(std::uint32_t));
    policy.timeoutSetSinceTransfer = true;
    return true;
  }
  if (policyType == USB_POLICY_AUTO_CLEAR_STALL && (valueLength == 1 || valueLength == sizeof(std::uint32_t))) {
    policy.autoClearStall = *static_cast<const std::uint8_t*>(value) != 0;
    return true;
  }
  return Fail(WIN_ERROR_INVALID_PARAMETER);
}

// ---- Transfers ----

bool EmulatedUsb::WritePipe(UsbInterfaceHandle handle, std::uint8_t pipeId, const std::uint8_t* buffer,
                            std::uint32_t length, std::uint32_t* transferred) {
  std::unique_lock lock(mutex_);
  if (transferred) *transferred = 0;
  if (!Enter(UsbCall::WritePipe)) return false;
  Interface* i = FindInterface(handle);
  if (!i) {
    Misuse("WritePipe on an interface that is not open");
    return Fail(WIN_ERROR_INVALID_HANDLE);
  }
  EmulatedUnit& unit = *i->unit;
  if (!Alive(unit, i->epoch)) return Fail(WIN_ERROR_DEVICE_NOT_CONNECTED);
  const int index = unit.EndpointIndex(pipeId);
  if (index < 0 || (pipeId & 0x80) != 0) {
    Misuse("WritePipe on pipe " + Hex2(pipeId) + ", which is no OUT endpoint of the unit");
    return Fail(WIN_ERROR_INVALID_PARAMETER);
  }
  if (!buffer) return Fail(WIN_ERROR_INVALID_PARAMETER);
  PipePolicyState& policy = unit.pipePolicies_[static_cast<std::size_t>(index)];
  if (!policy.timeoutSetSinceTransfer || policy.transferTimeoutMs != 1000) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "exchange %" PRIu64
                  ": the OUT pipe's transfer timeout was not set to 1000 ms before the write"
                  " (%s %" PRIu32 " ms)",
                  unit.exchangeCount_, policy.timeoutSetSinceTransfer ? "set to" : "left at", policy.transferTimeoutMs);
    unit.Violation(text);
  }
  policy.timeoutSetSinceTransfer = false;
  if (unit.ReceiveRequest(buffer, length, lock) == EmulatedUnit::WriteOutcome::Unplugged) {
    return Fail(WIN_ERROR_DEVICE_NOT_CONNECTED);
  }
  if (transferred) *transferred = length;
  return true;
}

bool EmulatedUsb::ReadPipe(UsbInterfaceHandle handle, std::uint8_t pipeId, std::uint8_t* buffer, std::uint32_t length,
                           std::uint32_t* transferred) {
  std::unique_lock lock(mutex_);
  if (transferred) *transferred = 0;
  if (!Enter(UsbCall::ReadPipe)) return false;
  Interface* i = FindInterface(handle);
  if (!i) {
    Misuse("ReadPipe on an interface that is not open");
    return Fail(WIN_ERROR_INVALID_HANDLE);
  }
  EmulatedUnit& unit = *i->unit;
  if (!Alive(unit, i->epoch)) return Fail(WIN_ERROR_DEVICE_NOT_CONNECTED);
  const int index = unit.EndpointIndex(pipeId);
  if (index < 0 || (pipeId & 0x80) == 0) {
    Misuse("ReadPipe on pipe " + Hex2(pipeId) + ", which is no IN endpoint of the unit");
    return Fail(WIN_ERROR_INVALID_PARAMETER);
  }
  if (!buffer) return Fail(WIN_ERROR_INVALID_PARAMETER);
  PipePolicyState& policy = unit.pipePolicies_[static_cast<std::size_t>(index)];
  if (!policy.timeoutSetSinceTransfer) {
    unit.Violation("the IN pipe's transfer timeout was not set before the read");
  }
  policy.timeoutSetSinceTransfer = false;
  if (length != USB_BLOCK_SIZE) {
    unit.Violation("a read of " + std::to_string(length) + " bytes; an answer is 272 bytes");
  }
  const std::uint32_t timeoutMs = policy.transferTimeoutMs;
  unit.RecordReadTimeout(timeoutMs);

  const std::uint64_t now = clock_.NowMs();
  std::uint32_t sleepMs = 0;
  const bool ok = unit.ReadAnswer(now, timeoutMs, buffer, length, transferred, &sleepMs);
  // After a reset the unit leaves once its answer is out (or the host has given up on it).
  if (unit.resetPending_) unit.LeaveBus(now + sleepMs + unit.config_.resetOffBusMs);
  if (sleepMs == 0) {
    if (!ok) return Fail(WIN_ERROR_SEM_TIMEOUT);
    return true;
  }

  // While it waits the read is in flight: AbortPipe on its pipe, from another thread, ends it at once.
  Wakeup aborted;
  i->readInFlight = &aborted;
  i->readPipe = pipeId;
  lock.unlock();
  const bool waited = clock_.SleepMsUnlessWoken(sleepMs, aborted);
  lock.lock();
  if (Interface* still = FindInterface(handle); still != nullptr && still->readInFlight == &aborted) {
    still->readInFlight = nullptr;
  }
  if (!waited) {
    // The host gave up on the answer: the unit drops it, as when a read times out.
    unit.AbortIn();
    unit.busyUntilUs_ = std::min(unit.busyUntilUs_, clock_.NowMs() * 1000);
    if (transferred) *transferred = 0;
    return Fail(WIN_ERROR_OPERATION_ABORTED);
  }
  if (!ok) return Fail(WIN_ERROR_SEM_TIMEOUT);
  return true;
}

bool EmulatedUsb::AbortPipe(UsbInterfaceHandle handle, std::uint8_t pipeId) {
  std::lock_guard lock(mutex_);
  if (!Enter(UsbCall::AbortPipe)) return false;
  Interface* i = FindInterface(handle);
  if (!i) {
    Misuse("AbortPipe on an interface that is not open");
    return Fail(WIN_ERROR_INVALID_HANDLE);
  }
  if (!Alive(*i->unit, i->epoch)) return Fail(WIN_ERROR_DEVICE_NOT_CONNECTED);
  if (i->unit->EndpointIndex(pipeId) < 0) return Fail(WIN_ERROR_INVALID_PARAMETER);
  // A read in flight on the pipe ends at once, and the unit drops the request with it (the read does that when
  // it wakes). With no read in flight nothing is dropped: an answer already waiting in the unit's endpoint is
  // read by the next read, as from a real unit (the host may abort between its write and its read).
  // (A write is never in flight: the unit takes it at once.)
  if (i->readInFlight != nullptr && i->readPipe == pipeId) i->readInFlight->Signal();
  return true;
}

bool EmulatedUsb::FreeInterface(UsbInterfaceHandle handle) {
  std::lock_guard lock(mutex_);
  if (!Enter(UsbCall::FreeInterface)) return false;
  const auto it =
      std::find_if(interfaces_.begin(), interfaces_.end(), [&](const auto& i) { return i.get() == handle; });
  if (it == interfaces_.end()) {
    Misuse("FreeInterface on an interface that is not open");
    return Fail(WIN_ERROR_INVALID_HANDLE);
  }
  interfaces_.erase(it);
  return true;
}

std::uint32_t EmulatedUsb::LastError() {
  std::lock_guard lock(mutex_);
  ++calls_[static_cast<std::size_t>(UsbCall::LastError)];
  return t_lastError;
}
