#include "platform/libusb/libusb_platform.h"

#include <libusb.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "platform/libusb/libusb_device_naming.h"
#include "platform/libusb/libusb_errors.h"
#include "platform/libusb/pipe_transfer.h"
#include "usb/seam_records.h"

namespace {
thread_local std::uint32_t t_lastError = 0;

constexpr std::uint64_t kInterfaceRefMagic = 0x4C49425553494631;  // "LIBUSIF1"
constexpr std::uint64_t kDeviceRefMagic = 0x4C49425553444631;     // "LIBUSDF1"

// What the enumeration records carry: the list and the entry's index in it.
struct EntryRef {
  std::uint64_t magic;
  const void* list;
  std::uint64_t index;
};
static_assert(sizeof(EntryRef) <= sizeof(UsbInterfaceRef) && sizeof(EntryRef) <= sizeof(UsbDeviceRef));

template <typename Record>
void StoreRef(Record* record, std::uint64_t magic, const void* list, std::size_t index) {
  const EntryRef ref{magic, list, index};
  std::memset(record, 0, sizeof *record);
  std::memcpy(record, &ref, sizeof ref);
}

template <typename Record>
EntryRef LoadRef(const Record& record) {
  EntryRef ref;
  std::memcpy(&ref, &record, sizeof ref);
  return ref;
}

bool Fail(std::uint32_t error) {
  t_lastError = error;
  return false;
}

bool FailLibusb(int libusbError) { return Fail(UsbErrorFromLibusb(libusbError)); }

// The bus and port chain of a device; a chain libusb cannot give is empty (the bus alone).
UsbPortChain PortChain(libusb_device* device) {
  UsbPortChain chain;
  chain.bus = libusb_get_bus_number(device);
  const int count = libusb_get_port_numbers(device, chain.ports, sizeof chain.ports);
  chain.portCount = count > 0 ? count : 0;
  return chain;
}

bool ChainBefore(const UsbPortChain& a, const UsbPortChain& b) {
  if (a.bus != b.bus) return a.bus < b.bus;
  return std::lexicographical_compare(a.ports, a.ports + a.portCount, b.ports, b.ports + b.portCount);
}

// The interface with this number in a configuration, or null.
const libusb_interface* FindInterfaceNumber(const libusb_config_descriptor& config, std::uint8_t number) {
  for (int i = 0; i < config.bNumInterfaces; ++i) {
    const libusb_interface& iface = config.interface[i];
    if (iface.num_altsetting > 0 && iface.altsetting[0].bInterfaceNumber == number) return &iface;
  }
  return nullptr;
}

// The active configuration of a device, freed on leaving the scope.
struct ActiveConfig {
  libusb_config_descriptor* config = nullptr;
  int result;
  explicit ActiveConfig(libusb_device* device) : result(libusb_get_active_config_descriptor(device, &config)) {}
  ~ActiveConfig() {
    if (config != nullptr) libusb_free_config_descriptor(config);
  }
  ActiveConfig(const ActiveConfig&) = delete;
  ActiveConfig& operator=(const ActiveConfig&) = delete;
};

// libusb's device list, freed (and its devices unreferenced) on leaving the scope.
struct DeviceListScope {
  libusb_device** devices = nullptr;
  ssize_t count;
  explicit DeviceListScope(libusb_context* context) : count(libusb_get_device_list(context, &devices)) {}
  ~DeviceListScope() {
    if (devices != nullptr) libusb_free_device_list(devices, 1);
  }
  DeviceListScope(const DeviceListScope&) = delete;
  DeviceListScope& operator=(const DeviceListScope&) = delete;
};
}  // namespace

struct LibusbPlatform::DeviceList {
  struct Entry {
    UsbPortChain chain;
    std::string path;
    std::string location;
    UsbDeviceIds ids;
  };
  Guid interfaceClass;
  std::vector<Entry> entries;
};

// One libusb_open, shared by the device file and the interfaces started on it; closed with the last of them.
struct LibusbPlatform::OpenDevice {
  libusb_device_handle* handle;
  explicit OpenDevice(libusb_device_handle* h) : handle(h) {}
  ~OpenDevice() { libusb_close(handle); }
  OpenDevice(const OpenDevice&) = delete;
  OpenDevice& operator=(const OpenDevice&) = delete;
};

struct LibusbPlatform::DeviceFile {
  std::shared_ptr<OpenDevice> device;
  std::uint8_t interfaceNumber;
};

struct LibusbPlatform::Pipe {
  std::uint8_t id;
  std::unique_ptr<PipeTransfer> transfer;  // null for a pipe type the transfers do not serve
  std::atomic<std::uint32_t> timeoutMs{0};
  std::atomic<bool> autoClearStall{false};
};

struct LibusbPlatform::Interface {
  struct Setting {
    UsbInterfaceDescriptor descriptor;
    std::vector<UsbPipeInformation> pipes;
  };
  std::shared_ptr<OpenDevice> device;
  std::uint8_t number = 0;
  std::vector<Setting> settings;
  std::vector<std::unique_ptr<Pipe>> pipes;  // the endpoints of alternate setting 0
  int users = 0;                             // calls running on it; guarded by the platform's mutex
  bool freeing = false;

  Pipe* FindPipe(std::uint8_t id) const {
    for (const auto& pipe : pipes) {
      if (pipe->id == id) return pipe.get();
    }
    return nullptr;
  }
};

// A call's hold on an interface: while held, FreeInterface waits rather than free it under the call.
class LibusbPlatform::InterfaceUse {
 public:
  InterfaceUse(LibusbPlatform& platform, UsbInterfaceHandle handle) : platform_(platform) {
    std::lock_guard lock(platform_.mutex_);
    iface_ = platform_.FindInterface(handle);
    if (iface_ != nullptr) ++iface_->users;
  }
  ~InterfaceUse() {
    if (iface_ == nullptr) return;
    std::lock_guard lock(platform_.mutex_);
    if (--iface_->users == 0) platform_.idle_.notify_all();
  }
  InterfaceUse(const InterfaceUse&) = delete;
  InterfaceUse& operator=(const InterfaceUse&) = delete;

  Interface* get() const { return iface_; }

 private:
  LibusbPlatform& platform_;
  Interface* iface_ = nullptr;
};

LibusbPlatform::LibusbPlatform() {
  const int started = libusb_init(&context_);
  if (started < 0) {
    context_ = nullptr;
    startError_ = UsbErrorFromLibusb(started);
  }
}

LibusbPlatform::~LibusbPlatform() {
  // Handles a caller left open, interfaces first so that no transfer outlives its device.
  std::vector<Interface*> open;
  {
    std::lock_guard lock(mutex_);
    for (const auto& iface : interfaces_) open.push_back(iface.get());
  }
  for (Interface* iface : open) FreeInterface(iface);
  std::lock_guard lock(mutex_);
  files_.clear();
  lists_.clear();
  if (context_ != nullptr) libusb_exit(context_);
}

std::size_t LibusbPlatform::OpenHandleCount() const {
  std::lock_guard lock(mutex_);
  return lists_.size() + files_.size() + interfaces_.size();
}

LibusbPlatform::DeviceList* LibusbPlatform::FindList(UsbDeviceList list) const {
  for (const auto& l : lists_) {
    if (l.get() == list) return l.get();
  }
  return nullptr;
}

LibusbPlatform::DeviceFile* LibusbPlatform::FindFile(UsbFileHandle file) const {
  for (const auto& f : files_) {
    if (f.get() == file) return f.get();
  }
  return nullptr;
}

LibusbPlatform::Interface* LibusbPlatform::FindInterface(UsbInterfaceHandle handle) const {
  for (const auto& i : interfaces_) {
    if (i.get() == handle && !i->freeing) return i.get();
  }
  return nullptr;
}

// ---- Enumeration ----

UsbDeviceList LibusbPlatform::GetClassDevs(const Guid& interfaceClass) {
  if (context_ == nullptr) {
    Fail(startError_);
    return nullptr;
  }
  auto list = std::make_unique<DeviceList>();
  list->interfaceClass = interfaceClass;
  {
    DeviceListScope devices(context_);
    if (devices.count < 0) {
      FailLibusb(static_cast<int>(devices.count));
      return nullptr;
    }
    for (ssize_t i = 0; i < devices.count; ++i) {
      libusb_device* device = devices.devices[i];
      libusb_device_descriptor descriptor;
      if (libusb_get_device_descriptor(device, &descriptor) < 0) continue;
      const std::optional<std::uint8_t> number =
          UnitInterfaceNumber(interfaceClass, descriptor.idVendor, descriptor.idProduct);
      if (!number) continue;
      // Only a configured device whose configuration has the interface is present, as on Windows.
      ActiveConfig active(device);
      if (active.result < 0 || FindInterfaceNumber(*active.config, *number) == nullptr) continue;
      const UsbPortChain chain = PortChain(device);
      list->entries.push_back({chain, UsbDevicePath(chain, *number), UsbLocationText(chain),
                               UsbDeviceIds{descriptor.idVendor, descriptor.idProduct}});
    }
  }
  std::sort(list->entries.begin(), list->entries.end(),
            [](const DeviceList::Entry& a, const DeviceList::Entry& b) { return ChainBefore(a.chain, b.chain); });
  std::lock_guard lock(mutex_);
  lists_.push_back(std::move(list));
  return lists_.back().get();
}

bool LibusbPlatform::EnumDeviceInterfaces(UsbDeviceList list, const Guid& interfaceClass, std::uint32_t memberIndex,
                                          UsbInterfaceRef* iface) {
  std::lock_guard lock(mutex_);
  const DeviceList* l = FindList(list);
  if (l == nullptr) return Fail(WIN_ERROR_INVALID_HANDLE);
  if (iface == nullptr) return Fail(WIN_ERROR_INVALID_PARAMETER);
  if (!(interfaceClass == l->interfaceClass) || memberIndex >= l->entries.size()) {
    return Fail(WIN_ERROR_NO_MORE_ITEMS);
  }
  StoreRef(iface, kInterfaceRefMagic, l, memberIndex);
  return true;
}

bool LibusbPlatform::GetDeviceInterfaceDetail(UsbDeviceList list, const UsbInterfaceRef& iface, void* detail,
                                              std::uint32_t detailSize, std::uint32_t* requiredSize,
                                              UsbDeviceRef* device) {
  std::lock_guard lock(mutex_);
  const DeviceList* l = FindList(list);
  if (l == nullptr) return Fail(WIN_ERROR_INVALID_HANDLE);
  const EntryRef ref = LoadRef(iface);
  if (ref.magic != kInterfaceRefMagic || ref.list != l || ref.index >= l->entries.size()) {
    return Fail(WIN_ERROR_INVALID_PARAMETER);
  }
  const std::string& path = l->entries[ref.index].path;
  const auto required = static_cast<std::uint32_t>(path.size() + 1);
  if (requiredSize != nullptr) *requiredSize = required;
  if (detail == nullptr || detailSize < required) return Fail(WIN_ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(detail, path.c_str(), required);
  if (device != nullptr) StoreRef(device, kDeviceRefMagic, l, ref.index);
  return true;
}

const char* LibusbPlatform::DetailDevicePath(const void* detail) { return static_cast<const char*>(detail); }

bool LibusbPlatform::GetDeviceLocation(UsbDeviceList list, const UsbDeviceRef& device, void* buffer,
                                       std::uint32_t bufferSize, std::uint32_t* requiredSize) {
  std::lock_guard lock(mutex_);
  const DeviceList* l = FindList(list);
  if (l == nullptr) return Fail(WIN_ERROR_INVALID_HANDLE);
  const EntryRef ref = LoadRef(device);
  if (ref.magic != kDeviceRefMagic || ref.list != l || ref.index >= l->entries.size()) {
    return Fail(WIN_ERROR_INVALID_PARAMETER);
  }
  if (!FillLocationRecord(l->entries[ref.index].location, buffer, bufferSize, requiredSize)) {
    return Fail(WIN_ERROR_INSUFFICIENT_BUFFER);
  }
  return true;
}

bool LibusbPlatform::GetDeviceIds(UsbDeviceList list, const UsbDeviceRef& device, UsbDeviceIds* ids) {
  std::lock_guard lock(mutex_);
  const DeviceList* l = FindList(list);
  if (l == nullptr) return Fail(WIN_ERROR_INVALID_HANDLE);
  const EntryRef ref = LoadRef(device);
  if (ids == nullptr || ref.magic != kDeviceRefMagic || ref.list != l || ref.index >= l->entries.size()) {
    return Fail(WIN_ERROR_INVALID_PARAMETER);
  }
  *ids = l->entries[ref.index].ids;
  return true;
}

void LibusbPlatform::DestroyDeviceInfoList(UsbDeviceList list) {
  std::lock_guard lock(mutex_);
  const auto it = std::find_if(lists_.begin(), lists_.end(), [&](const auto& l) { return l.get() == list; });
  if (it == lists_.end()) {
    Fail(WIN_ERROR_INVALID_HANDLE);
    return;
  }
  lists_.erase(it);
}

// ---- Device file and interface ----

UsbFileHandle LibusbPlatform::OpenDeviceFile(const char* path) {
  permissionDenied_ = false;
  if (context_ == nullptr) {
    Fail(startError_);
    return UsbInvalidHandle();
  }
  if (path == nullptr) {
    Fail(WIN_ERROR_INVALID_PARAMETER);
    return UsbInvalidHandle();
  }
  libusb_device_handle* handle = nullptr;
  std::uint8_t number = 0;
  {
    DeviceListScope devices(context_);
    if (devices.count < 0) {
      FailLibusb(static_cast<int>(devices.count));
      return UsbInvalidHandle();
    }
    libusb_device* found = nullptr;
    for (ssize_t i = 0; i < devices.count && found == nullptr; ++i) {
      if (UsbDevicePathMatches(path, PortChain(devices.devices[i]), &number)) found = devices.devices[i];
    }
    if (found == nullptr) {
      Fail(WIN_ERROR_FILE_NOT_FOUND);
      return UsbInvalidHandle();
    }
    const int opened = libusb_open(found, &handle);
    if (opened < 0) {
      permissionDenied_ = opened == LIBUSB_ERROR_ACCESS;
      FailLibusb(opened);
      return UsbInvalidHandle();
    }
  }
  // Where the system cannot detach a driver (LIBUSB_ERROR_NOT_SUPPORTED), the claim reports a held interface.
  libusb_set_auto_detach_kernel_driver(handle, 1);
  auto file = std::make_unique<DeviceFile>(DeviceFile{std::make_shared<OpenDevice>(handle), number});
  std::lock_guard lock(mutex_);
  files_.push_back(std::move(file));
  return files_.back().get();
}

bool LibusbPlatform::CloseDeviceFile(UsbFileHandle file) {
  std::shared_ptr<OpenDevice> last;  // closed after the lock is let go
  std::lock_guard lock(mutex_);
  const auto it = std::find_if(files_.begin(), files_.end(), [&](const auto& f) { return f.get() == file; });
  if (it == files_.end()) return Fail(WIN_ERROR_INVALID_HANDLE);
  last = std::move((*it)->device);
  files_.erase(it);
  return true;
}

bool LibusbPlatform::InitializeInterface(UsbFileHandle file, UsbInterfaceHandle* handle) {
  if (handle == nullptr) return Fail(WIN_ERROR_INVALID_PARAMETER);
  auto iface = std::make_unique<Interface>();
  {
    std::lock_guard lock(mutex_);
    const DeviceFile* f = FindFile(file);
    if (f == nullptr) return Fail(WIN_ERROR_INVALID_HANDLE);
    iface->device = f->device;
    iface->number = f->interfaceNumber;
  }
  libusb_device_handle* device = iface->device->handle;
  {
    ActiveConfig active(libusb_get_device(device));
    if (active.result < 0) return FailLibusb(active.result);
    const libusb_interface* found = FindInterfaceNumber(*active.config, iface->number);
    if (found == nullptr) return Fail(WIN_ERROR_FILE_NOT_FOUND);
    for (int a = 0; a < found->num_altsetting; ++a) {
      const libusb_interface_descriptor& d = found->altsetting[a];
      Interface::Setting setting{
          {d.bLength, d.bDescriptorType, d.bInterfaceNumber, d.bAlternateSetting, d.bNumEndpoints, d.bInterfaceClass,
           d.bInterfaceSubClass, d.bInterfaceProtocol, d.iInterface},
          {}};
      for (int e = 0; e < d.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& ep = d.endpoint[e];
        setting.pipes.push_back({static_cast<std::uint32_t>(ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK),
                                 ep.bEndpointAddress, ep.wMaxPacketSize, ep.bInterval});
      }
      iface->settings.push_back(std::move(setting));
    }
  }
  const int claimed = libusb_claim_interface(device, iface->number);
  if (claimed < 0) {
    if (claimed == LIBUSB_ERROR_ACCESS) permissionDenied_ = true;
    return FailLibusb(claimed);
  }
  for (const UsbPipeInformation& info : iface->settings.front().pipes) {
    auto pipe = std::make_unique<Pipe>();
    pipe->id = info.pipeId;
    if (info.pipeType == USB_PIPE_BULK || info.pipeType == USB_PIPE_INTERRUPT) {
      pipe->transfer = std::make_unique<PipeTransfer>(
          context_, device, info.pipeId,
          info.pipeType == USB_PIPE_BULK ? LIBUSB_TRANSFER_TYPE_BULK : LIBUSB_TRANSFER_TYPE_INTERRUPT);
      if (!pipe->transfer->Valid()) {
        libusb_release_interface(device, iface->number);
        return Fail(WIN_ERROR_NOT_ENOUGH_MEMORY);
      }
    }
    iface->pipes.push_back(std::move(pipe));
  }
  std::lock_guard lock(mutex_);
  interfaces_.push_back(std::move(iface));
  *handle = interfaces_.back().get();
  return true;
}

bool LibusbPlatform::QueryInterfaceSettings(UsbInterfaceHandle handle, std::uint8_t alternateIndex,
                                            UsbInterfaceDescriptor* descriptor) {
  InterfaceUse use(*this, handle);
  if (use.get() == nullptr) return Fail(WIN_ERROR_INVALID_HANDLE);
  if (descriptor == nullptr) return Fail(WIN_ERROR_INVALID_PARAMETER);
  if (alternateIndex >= use.get()->settings.size()) return Fail(WIN_ERROR_NO_MORE_ITEMS);
  *descriptor = use.get()->settings[alternateIndex].descriptor;
  return true;
}

bool LibusbPlatform::QueryPipe(UsbInterfaceHandle handle, std::uint8_t alternateIndex, std::uint8_t pipeIndex,
                               UsbPipeInformation* pipe) {
  InterfaceUse use(*this, handle);
  if (use.get() == nullptr) return Fail(WIN_ERROR_INVALID_HANDLE);
  if (pipe == nullptr) return Fail(WIN_ERROR_INVALID_PARAMETER);
  const auto& settings = use.get()->settings;
  if (alternateIndex >= settings.size() || pipeIndex >= settings[alternateIndex].pipes.size()) {
    return Fail(WIN_ERROR_NO_MORE_ITEMS);
  }
  *pipe = settings[alternateIndex].pipes[pipeIndex];
  return true;
}

bool LibusbPlatform::SetPipePolicy(UsbInterfaceHandle handle, std::uint8_t pipeId, std::uint32_t policyType,
                                   std::uint32_t valueLength, const void* value) {
  InterfaceUse use(*this, handle);
  if (use.get() == nullptr) return Fail(WIN_ERROR_INVALID_HANDLE);
  Pipe* pipe = use.get()->FindPipe(pipeId);
  if (pipe == nullptr || value == nullptr) return Fail(WIN_ERROR_INVALID_PARAMETER);
  if (policyType == USB_POLICY_PIPE_TRANSFER_TIMEOUT && valueLength == sizeof(std::uint32_t)) {
    std::uint32_t timeoutMs;
    std::memcpy(&timeoutMs, value, sizeof timeoutMs);
    pipe->timeoutMs = timeoutMs;
    return true;
  }
  if (policyType == USB_POLICY_AUTO_CLEAR_STALL && (valueLength == 1 || valueLength == sizeof(std::uint32_t))) {
    std::uint32_t on = 0;
    std::memcpy(&on, value, valueLength);
    pipe->autoClearStall = on != 0;
    return true;
  }
  return Fail(WIN_ERROR_INVALID_PARAMETER);
}

// ---- Transfers ----

bool LibusbPlatform::Transfer(UsbInterfaceHandle handle, std::uint8_t pipeId, bool in, std::uint8_t* buffer,
                              std::uint32_t length, std::uint32_t* transferred) {
  if (transferred != nullptr) *transferred = 0;
  InterfaceUse use(*this, handle);
  if (use.get() == nullptr) return Fail(WIN_ERROR_INVALID_HANDLE);
  Pipe* pipe = use.get()->FindPipe(pipeId);
  const bool pipeIn = (pipeId & LIBUSB_ENDPOINT_IN) != 0;
  if (pipe == nullptr || pipe->transfer == nullptr || pipeIn != in || buffer == nullptr) {
    return Fail(WIN_ERROR_INVALID_PARAMETER);
  }
  const PipeOutcome outcome = pipe->transfer->Run(buffer, length, pipe->timeoutMs.load());
  if (transferred != nullptr) *transferred = outcome.transferred;
  if (outcome.stalled && pipe->autoClearStall.load()) libusb_clear_halt(use.get()->device->handle, pipeId);
  if (outcome.error != 0) return Fail(outcome.error);
  return true;
}

bool LibusbPlatform::WritePipe(UsbInterfaceHandle handle, std::uint8_t pipeId, const std::uint8_t* buffer,
                               std::uint32_t length, std::uint32_t* transferred) {
  // libusb takes one buffer type for both directions; an OUT transfer only reads it.
  return Transfer(handle, pipeId, false, const_cast<std::uint8_t*>(buffer), length, transferred);
}

bool LibusbPlatform::ReadPipe(UsbInterfaceHandle handle, std::uint8_t pipeId, std::uint8_t* buffer,
                              std::uint32_t length, std::uint32_t* transferred) {
  return Transfer(handle, pipeId, true, buffer, length, transferred);
}

bool LibusbPlatform::AbortPipe(UsbInterfaceHandle handle, std::uint8_t pipeId) {
  InterfaceUse use(*this, handle);
  if (use.get() == nullptr) return Fail(WIN_ERROR_INVALID_HANDLE);
  Pipe* pipe = use.get()->FindPipe(pipeId);
  if (pipe == nullptr) return Fail(WIN_ERROR_INVALID_PARAMETER);
  if (pipe->transfer != nullptr) pipe->transfer->Abort();
  return true;
}

bool LibusbPlatform::FreeInterface(UsbInterfaceHandle handle) {
  Interface* iface = nullptr;
  {
    std::lock_guard lock(mutex_);
    iface = FindInterface(handle);
    if (iface == nullptr) return Fail(WIN_ERROR_INVALID_HANDLE);
    iface->freeing = true;  // no new call reaches it from here on
  }
  // Closed rather than aborted: a call that got hold of the interface just before cannot start a transfer
  // that nobody would end.
  for (const auto& pipe : iface->pipes) {
    if (pipe->transfer != nullptr) pipe->transfer->Close();
  }
  std::unique_ptr<Interface> owned;
  {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return iface->users == 0; });
    const auto it =
        std::find_if(interfaces_.begin(), interfaces_.end(), [&](const auto& i) { return i.get() == iface; });
    owned = std::move(*it);
    interfaces_.erase(it);
  }
  // The transfers go before the claim, the claim before the device (closed with its last holder).
  owned->pipes.clear();
  libusb_release_interface(owned->device->handle, owned->number);
  return true;
}

std::uint32_t LibusbPlatform::LastError() { return t_lastError; }
