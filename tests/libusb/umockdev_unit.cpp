#include "libusb/umockdev_unit.h"

#include <dlfcn.h>
#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "usb/usb_block.h"

namespace {
constexpr std::uint8_t kInterfaceCount = 3;  // the unit's three vendor interfaces
// The time the unit side allows itself for an answer on the bus's clock: the longest any host waits (an erase).
// A dropped answer costs this much virtual time and no real time.
constexpr std::uint32_t kUnitReadWindowMs = 20000;
constexpr std::uint32_t kWriteTimeoutMs = 1000;

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char digits[3];
  for (std::uint8_t b : bytes) {
    std::snprintf(digits, sizeof digits, "%02x", b);
    text += digits;
  }
  return text;
}

void Put16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

// The device descriptor and the one configuration, as the "descriptors" attribute of sysfs holds them.
std::vector<std::uint8_t> Descriptors(std::uint16_t vendorId, std::uint16_t productId, std::uint8_t deviceClass,
                                      std::uint8_t interfaceCount, std::uint8_t dataInterface,
                                      const std::vector<UsbPipeInformation>& endpoints) {
  std::vector<std::uint8_t> d = {18, 1, 0x00, 0x02, deviceClass, 0, 0, 64};
  Put16(d, vendorId);
  Put16(d, productId);
  d.insert(d.end(), {0x00, 0x01, 0, 0, 0, 1});

  std::vector<std::uint8_t> config = {9, 2, 0, 0, interfaceCount, 1, 0, 0x80, 50};
  for (std::uint8_t number = 0; number < interfaceCount; ++number) {
    const bool data = number == dataInterface;
    const auto count = static_cast<std::uint8_t>(data ? endpoints.size() : 0);
    config.insert(config.end(),
                  {9, 4, number, 0, count, deviceClass == 9 ? std::uint8_t{9} : std::uint8_t{0xFF}, 0, 0, 0});
    if (!data) continue;
    for (const UsbPipeInformation& ep : endpoints) {
      config.insert(config.end(), {7, 5, ep.pipeId, static_cast<std::uint8_t>(ep.pipeType & 3)});
      Put16(config, ep.maximumPacketSize);
      config.push_back(ep.interval);
    }
  }
  const auto total = static_cast<std::uint16_t>(config.size());
  config[2] = static_cast<std::uint8_t>(total & 0xFF);
  config[3] = static_cast<std::uint8_t>(total >> 8);
  d.insert(d.end(), config.begin(), config.end());
  return d;
}

std::string Record(const std::string& sysPath, std::uint8_t devnum, const char* devtype,
                   const std::vector<std::uint8_t>& descriptors) {
  char node[32];
  std::snprintf(node, sizeof node, "bus/usb/001/%03u", devnum);
  std::string r;
  r += "P: " + sysPath + "\n";
  r += std::string("N: ") + node + "\n";
  r += "E: SUBSYSTEM=usb\nE: DRIVER=usb\n";
  r += std::string("E: DEVNAME=/dev/") + node + "\n";
  r += std::string("E: DEVTYPE=") + devtype + "\n";
  r += "E: BUSNUM=001\n";
  r += "E: DEVNUM=" + std::string(node + 12) + "\n";
  r += "A: busnum=1\\n\n";
  r += "A: devnum=" + std::to_string(devnum) + "\\n\n";
  r += "A: bConfigurationValue=1\\n\n";
  r += "A: speed=12\\n\n";
  r += "H: descriptors=" + Hex(descriptors) + "\n";
  return r;
}
}  // namespace

struct UmockdevUnits::Testbed {
  UMockdevTestbed* testbed = umockdev_testbed_new();
  ~Testbed() { g_object_unref(testbed); }
};

struct UmockdevUnits::Device {
  EmulatedUsb& bus;
  EmulatedUnit& unit;
  std::string sysPath;
  std::string node;
  std::uint8_t port = 0;
  bool listed = true;  // in the testbed (UmockdevUnits' devicesMutex_)
  std::uint8_t dataInterface = 0;
  std::uint8_t outPipe = 0;
  std::uint8_t inPipe = 0;
  UMockdevIoctlBase* handler = nullptr;
  gulong signal = 0;

  std::mutex mutex;
  std::condition_variable changed;
  bool gone = false;
  UsbFileHandle file = UsbInvalidHandle();  // the unit's side of a claim
  UsbInterfaceHandle iface = UsbInvalidHandle();
  // URBs to reap, status set, oldest first; one reference each. A vector keeps its room: no allocation per URB.
  std::vector<UMockdevIoctlData*> done;
  std::vector<UMockdevIoctlData*> reads;  // IN URBs waiting for an answer that does not come; one reference each
  std::uint64_t submitted = 0;
  std::uint64_t discarded = 0;

  Device(EmulatedUsb& b, EmulatedUnit& u) : bus(b), unit(u) {}

  static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    return static_cast<Device*>(self)->Handle(client);
  }

  gboolean Handle(UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const bool reap = request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY;
    {
      std::lock_guard lock(mutex);
      if (gone && !(reap && !done.empty())) return Complete(client, ENODEV);
    }
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(std::uint32_t), nullptr);
        const std::uint32_t value =
            USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        std::memcpy(caps->data, &value, sizeof value);
        g_object_unref(caps);
        return Complete(client, 0);
      }
      case USBDEVFS_CLAIMINTERFACE:
      case USBDEVFS_RELEASEINTERFACE: {
        unsigned number = 0;
        Read(arg, &number);
        return Complete(client, request == USBDEVFS_CLAIMINTERFACE ? Claim(number) : ReleaseClaim(number));
      }
      case USBDEVFS_DISCONNECT_CLAIM: {
        usbdevfs_disconnect_claim claim;
        Read(arg, &claim);
        return Complete(client, Claim(claim.interface));
      }
      case USBDEVFS_GETDRIVER:
      case USBDEVFS_IOCTL:  // no kernel driver to tell, detach or attach
        return Complete(client, ENODATA);
      case USBDEVFS_CLEAR_HALT:
      case USBDEVFS_RESETEP:
        return Complete(client, 0);
      case USBDEVFS_SUBMITURB:
        return Complete(client, Submit(arg));
      case USBDEVFS_REAPURB:
      case USBDEVFS_REAPURBNDELAY:
        return Complete(client, Reap(arg));
      case USBDEVFS_DISCARDURB:
        return Complete(client, Discard(arg));
      default:
        return Complete(client, ENOTTY);
    }
  }

  // The record that an ioctl's argument points to.
  template <typename T>
  static void Read(UMockdevIoctlData* arg, T* value) {
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(T), nullptr);
    std::memcpy(value, data->data, sizeof(T));
    g_object_unref(data);
  }

  static gboolean Complete(UMockdevIoctlClient* client, int error) {
    umockdev_ioctl_client_complete(client, error == 0 ? 0 : -1, error);
    return TRUE;
  }

  int Claim(unsigned number) {
    if (number >= kInterfaceCount) return ENOENT;
    if (number != dataInterface) return 0;
    std::lock_guard lock(mutex);
    if (iface != UsbInvalidHandle()) return EBUSY;
    UsbFileHandle f = bus.OpenDeviceFile(unit.DevicePath().c_str());
    if (f == UsbInvalidHandle()) return ENODEV;
    UsbInterfaceHandle i = UsbInvalidHandle();
    if (!bus.InitializeInterface(f, &i)) {
      bus.CloseDeviceFile(f);
      return ENODEV;
    }
    file = f;
    iface = i;
    return 0;
  }

  int ReleaseClaim(unsigned number) {
    if (number >= kInterfaceCount) return EINVAL;
    if (number != dataInterface) return 0;
    std::lock_guard lock(mutex);
    CloseUnitSide();
    return 0;
  }

  // Lock held.
  void CloseUnitSide() {
    if (iface != UsbInvalidHandle()) bus.FreeInterface(iface);
    if (file != UsbInvalidHandle()) bus.CloseDeviceFile(file);
    iface = file = UsbInvalidHandle();
  }

  // Lock held. The device is gone: every URB in flight ends with ESHUTDOWN, as the kernel gives them back.
  void GoLocked() {
    gone = true;
    for (UMockdevIoctlData* data : reads) {
      auto* urb = reinterpret_cast<usbdevfs_urb*>(data->data);
      urb->status = -ESHUTDOWN;
      urb->actual_length = 0;
      done.push_back(data);
    }
    reads.clear();
    CloseUnitSide();
    changed.notify_all();
  }

  int Submit(UMockdevIoctlData* arg) {
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    auto* urb = reinterpret_cast<usbdevfs_urb*>(data->data);
    if ((urb->type != USBDEVFS_URB_TYPE_BULK && urb->type != USBDEVFS_URB_TYPE_INTERRUPT) || urb->buffer_length < 0) {
      g_object_unref(data);
      return EINVAL;
    }
    UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer),
                                                            static_cast<gsize>(urb->buffer_length), nullptr);
    g_object_unref(buffer);  // the URB holds it
    auto* bytes = static_cast<std::uint8_t*>(urb->buffer);
    const auto length = static_cast<std::uint32_t>(urb->buffer_length);

    std::unique_lock lock(mutex);
    ++submitted;
    if (iface == UsbInvalidHandle()) {
      g_object_unref(data);
      return ENOENT;
    }
    UsbInterfaceHandle unitSide = iface;
    const bool in = (urb->endpoint & 0x80) != 0;
    if (urb->endpoint != (in ? inPipe : outPipe)) {
      g_object_unref(data);
      return ENOENT;
    }
    // The unit runs without the lock: its exchange hook may unplug it or wait for the test.
    lock.unlock();
    std::uint32_t moved = 0;
    bool ok;
    if (in) {
      bus.SetPipePolicy(unitSide, inPipe, USB_POLICY_PIPE_TRANSFER_TIMEOUT, 4, &kUnitReadWindowMs);
      ok = bus.ReadPipe(unitSide, inPipe, bytes, length, &moved);
    } else {
      bus.SetPipePolicy(unitSide, outPipe, USB_POLICY_PIPE_TRANSFER_TIMEOUT, 4, &kWriteTimeoutMs);
      ok = bus.WritePipe(unitSide, outPipe, bytes, length, &moved);
    }
    const std::uint32_t error = ok ? 0 : bus.LastError();
    lock.lock();
    if (!ok && error == WIN_ERROR_DEVICE_NOT_CONNECTED) {
      urb->status = -ESHUTDOWN;
      urb->actual_length = 0;
      done.push_back(data);
      GoLocked();
    } else if (!ok && in) {
      reads.push_back(data);  // no answer: in flight until discarded or unplugged
      changed.notify_all();
    } else {
      urb->status = ok ? 0 : -EPROTO;
      urb->actual_length = static_cast<int>(moved);
      done.push_back(data);
    }
    return 0;
  }

  int Reap(UMockdevIoctlData* arg) {
    UMockdevIoctlData* data = nullptr;
    {
      std::lock_guard lock(mutex);
      if (done.empty()) return gone ? ENODEV : EAGAIN;
      data = done.front();
      done.erase(done.begin());
    }
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
    umockdev_ioctl_data_set_ptr(slot, 0, data);
    g_object_unref(slot);
    g_object_unref(data);
    return 0;
  }

  int Discard(UMockdevIoctlData* arg) {
    gulong address = 0;
    std::memcpy(&address, arg->data, sizeof address);
    std::lock_guard lock(mutex);
    for (auto it = reads.begin(); it != reads.end(); ++it) {
      if ((*it)->client_addr != address) continue;
      auto* urb = reinterpret_cast<usbdevfs_urb*>((*it)->data);
      urb->status = -ENOENT;
      urb->actual_length = 0;
      done.push_back(*it);
      reads.erase(it);
      ++discarded;
      return 0;
    }
    return EINVAL;
  }

  void Drop() {
    std::lock_guard lock(mutex);
    for (UMockdevIoctlData* data : done) g_object_unref(data);
    for (UMockdevIoctlData* data : reads) g_object_unref(data);
    done.clear();
    reads.clear();
    CloseUnitSide();
  }
};

UmockdevUnits::UmockdevUnits(EmulatedUsb& units) : units_(units), testbed_(std::make_unique<Testbed>()) {
  // Bus 1's root hub: listed by libusb like any device, never opened.
  const std::string hub =
      Record("/devices/usb1", 1, "usb_device", Descriptors(0x1D6B, 0x0002, 9, 1, 0, {{3, 0x81, 4, 12}}));
  if (!umockdev_testbed_add_from_string(testbed_->testbed, hub.c_str(), nullptr)) {
    throw std::runtime_error("the testbed does not take the root hub");
  }
}

UmockdevUnits::~UmockdevUnits() {
  for (const auto& device : devices_) {
    umockdev_testbed_detach_ioctl(testbed_->testbed, device->node.c_str(), nullptr);
    g_signal_handler_disconnect(device->handler, device->signal);
    g_object_unref(device->handler);
    device->Drop();
  }
}

// umockdev_in_mock_environment() answers false under the wrapper of Debian 12's umockdev 0.17, so the test
// asks whether the wrapper's preload library is in the process.
bool UmockdevUnits::InMockEnvironment() {
  void* preload = dlopen("libumockdev-preload.so.0", RTLD_NOW | RTLD_NOLOAD);
  if (preload == nullptr) return false;
  dlclose(preload);
  return true;
}

void UmockdevUnits::Plug(EmulatedUnit& unit, std::uint8_t port, int dataInterface) {
  std::lock_guard lock(devicesMutex_);
  PlugLocked(unit, port, dataInterface, static_cast<std::uint8_t>(port + 1));
}

void UmockdevUnits::PlugLocked(EmulatedUnit& unit, std::uint8_t port, int dataInterface, std::uint8_t address) {
  const UnitConfig& config = unit.Config();
  auto device = std::make_unique<Device>(units_, unit);
  if (dataInterface < 0) dataInterface = config.productId == UNIT_PRODUCT_ID_ALT ? 1 : 0;
  device->port = port;
  device->dataInterface = static_cast<std::uint8_t>(dataInterface);
  for (const UsbPipeInformation& ep : config.endpoints) {
    (ep.pipeId & 0x80 ? device->inPipe : device->outPipe) = ep.pipeId;
  }
  device->sysPath = "/devices/usb1/1-" + std::to_string(port);
  char node[32];
  std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03u", address);
  device->node = node;

  // The handler goes first, so that the node is served from the moment it appears.
  device->handler = umockdev_ioctl_base_new();
  device->signal = g_signal_connect(device->handler, "handle-ioctl", G_CALLBACK(Device::OnIoctl), device.get());
  if (!umockdev_testbed_attach_ioctl(testbed_->testbed, node, device->handler, nullptr)) {
    throw std::runtime_error(std::string("the testbed does not serve ") + node);
  }
  const std::string record = Record(
      device->sysPath, address, "usb_device",
      Descriptors(config.vendorId, config.productId, 0, kInterfaceCount, device->dataInterface, config.endpoints));
  if (!umockdev_testbed_add_from_string(testbed_->testbed, record.c_str(), nullptr)) {
    throw std::runtime_error("the testbed does not take " + device->sysPath);
  }
  devices_.push_back(std::move(device));
}

void UmockdevUnits::Unplug(EmulatedUnit& unit) {
  std::lock_guard lock(devicesMutex_);
  Device& device = DeviceOfLocked(unit);
  unit.Unplug();
  TakeOffLocked(device);
}

void UmockdevUnits::TakeOffLocked(Device& device) {
  {
    std::lock_guard lock(device.mutex);
    device.GoLocked();
  }
  if (!device.listed) return;
  device.listed = false;
  const std::string sysPath = "/sys" + device.sysPath;
  umockdev_testbed_uevent(testbed_->testbed, sysPath.c_str(), "remove");
  umockdev_testbed_remove_device(testbed_->testbed, sysPath.c_str());
}

void UmockdevUnits::Follow() {
  std::lock_guard lock(devicesMutex_);
  // A listing of the bus brings each unit up to the clock: a unit whose reset was acknowledged leaves, a unit
  // whose time away is over comes back.
  if (UsbDeviceList list = units_.GetClassDevs(TAVIK_INTERFACE_GUID)) units_.DestroyDeviceInfoList(list);
  const std::size_t plugged = devices_.size();
  for (std::size_t i = 0; i < plugged; ++i) {
    Device& device = *devices_[i];
    if (&DeviceOfLocked(device.unit) != &device) continue;  // the unit was plugged again since
    const bool present = device.unit.IsPresent();
    bool gone = false;
    {
      std::lock_guard deviceLock(device.mutex);
      gone = device.gone;
    }
    // A device that a transfer found gone stays gone even when its unit is back before this look: the unit
    // comes back as a new device.
    if (device.listed && (!present || gone)) TakeOffLocked(device);
    if (!device.listed && present) {
      if (nextAddress_ > 127) throw std::runtime_error("the testbed's bus has run out of device addresses");
      PlugLocked(device.unit, device.port, device.dataInterface, nextAddress_++);
    }
  }
}

bool UmockdevUnits::AwaitPendingRead(EmulatedUnit& unit, int guardMs) {
  Device& device = DeviceOf(unit);
  std::unique_lock lock(device.mutex);
  return device.changed.wait_for(lock, std::chrono::milliseconds(guardMs), [&] { return !device.reads.empty(); });
}

std::uint64_t UmockdevUnits::Submitted(EmulatedUnit& unit) const {
  Device& device = DeviceOf(unit);
  std::lock_guard lock(device.mutex);
  return device.submitted;
}

std::uint64_t UmockdevUnits::Discarded(EmulatedUnit& unit) const {
  Device& device = DeviceOf(unit);
  std::lock_guard lock(device.mutex);
  return device.discarded;
}

UmockdevUnits::Device& UmockdevUnits::DeviceOf(EmulatedUnit& unit) const {
  std::lock_guard lock(devicesMutex_);
  return DeviceOfLocked(unit);
}

UmockdevUnits::Device& UmockdevUnits::DeviceOfLocked(EmulatedUnit& unit) const {
  for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
    if (&(*it)->unit == &unit) return **it;
  }
  throw std::logic_error("the unit is not plugged into the testbed");
}
