#include "usb/usb_port.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "app/clock.h"
#include "app/trace.h"
#include "usb/raw_data.h"
#include "usb/seam_records.h"
#include "usb/usb_capture.h"

namespace {
// The longest device path that is kept; longer ones are cut.
constexpr std::size_t kMaxDevicePathLength = USB_PATH_SIZE - 2;

// Copies the zero-terminated path, cut to kMaxDevicePathLength characters. A path that lies inside the
// record is never read past the record's end, terminated or not.
void CopyDevicePath(const char* devicePath, const std::uint8_t* record, std::uint32_t recordSize,
                    char (&path)[USB_PATH_SIZE]) {
  std::size_t limit = kMaxDevicePathLength;
  const auto at = reinterpret_cast<std::uintptr_t>(devicePath);
  const auto begin = reinterpret_cast<std::uintptr_t>(record);
  if (at >= begin && at <= begin + recordSize) limit = std::min<std::size_t>(limit, begin + recordSize - at);
  std::size_t length = 0;
  if (devicePath != nullptr) {
    const void* end = std::memchr(devicePath, 0, limit);
    length = end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - devicePath) : limit;
    std::memcpy(path, devicePath, length);
  }
  path[length] = '\0';
}

// The UTF-16 location text (size bytes long, maybe unterminated) against the 8-bit expected text, over at
// most USB_PATH_SIZE characters; the end of the block ends the text.
bool SameLocation(const std::uint8_t* location, std::uint32_t size, const char (&expected)[USB_PATH_SIZE]) {
  const std::uint32_t units = size / 2;
  for (std::size_t i = 0; i < USB_PATH_SIZE; ++i) {
    std::uint16_t unit = 0;
    if (i < units) std::memcpy(&unit, location + 2 * i, 2);
    if (unit != static_cast<unsigned char>(expected[i])) return false;
    if (unit == 0) return true;
  }
  return true;
}
}  // namespace

UsbPort::UsbPort(const DeviceLinkContext& context)
    : deviceHandle(UsbInvalidHandle()), winUsbHandle(UsbInvalidHandle()), context_(context) {}

UsbPort::~UsbPort() {
  // The loader has stopped its worker by then; a thread still recorded is waited for, never terminated.
  if (threadHandle.joinable()) {
    stopRequested = 1;
    if (threadHandle.get_id() == std::this_thread::get_id()) {
      threadHandle.detach();
    } else {
      threadHandle.join();
    }
  }
  CloseUsbConnection();
}

int UsbPort::SetNotifyWindow(WindowRef window, std::uint32_t dataMsg, std::uint32_t resultMsg) {
  notifyWindow = window;
  dataMessage = dataMsg;
  resultMessage = resultMsg;
  return 1;
}

void UsbPort::ReceiveData(const std::uint8_t* bytes, std::uint32_t count) {
  if (notifyWindow == nullptr || dataMessage == 0) return;
  RawData* data = new (std::nothrow) RawData(count);
  if (data == nullptr) {
    Trace("UsbPort::ReceiveData: Allocte RawData failed\n");
    return;
  }
  if (!data->AddData(bytes, count)) {
    Trace("UsbPort::ReceiveData: AddData failed\n");
    delete data;
    return;
  }
  // The window owns the data once the message is posted; a message that could not be posted owns nothing.
  if (!context_.poster->Post(notifyWindow, dataMessage, reinterpret_cast<std::uintptr_t>(this),
                             reinterpret_cast<std::intptr_t>(data))) {
    delete data;
  }
}

void UsbPort::PinUnit(const std::string& location) {
  const std::size_t length = std::min(location.size(), USB_PATH_SIZE - 1);
  std::memcpy(locationId, location.data(), length);
  std::memset(locationId + length, 0, USB_PATH_SIZE - length);
  checkLocation = 1;
}

void UsbPort::UnpinUnit() {
  checkLocation = 0;
  std::memset(locationId, 0, sizeof locationId);
}

int UsbPort::CheckLocationID(UsbDeviceList list, const UsbDeviceRef& device) {
  UsbPlatform& usb = *context_.usb;
  std::uint32_t size = 0;
  if (!usb.GetDeviceLocation(list, device, nullptr, 0, &size) && usb.LastError() != WIN_ERROR_INSUFFICIENT_BUFFER) {
    Trace("CheckLocationID->SetupDiGetDeviceRegistryProperty failed!\n");
    return 0;
  }
  std::unique_ptr<std::uint8_t[]> location = AllocateRecord(size);
  if (!location) {
    Trace("CheckLocationID Out of memory!\n");
    return 0;
  }
  std::uint32_t written = 0;
  if (!usb.GetDeviceLocation(list, device, location.get(), size, &written)) {
    Trace("CheckLocationID->SetupDiGetDeviceRegistryProperty failed!\n");
    return 0;
  }
  return SameLocation(location.get(), size, locationId) ? 1 : 0;
}

int UsbPort::FindUsbDevicePath(char (&path)[USB_PATH_SIZE]) {
  UsbPlatform& usb = *context_.usb;
  UsbDeviceList list = usb.GetClassDevs(interfaceGuid);
  if (list == nullptr) return 0;

  int found = 0;
  for (std::uint32_t index = 0;; ++index) {
    UsbInterfaceRef iface{};
    if (!usb.EnumDeviceInterfaces(list, interfaceGuid, index, &iface)) break;

    std::uint32_t size = 0;
    if (!usb.GetDeviceInterfaceDetail(list, iface, nullptr, 0, &size, nullptr) &&
        usb.LastError() != WIN_ERROR_INSUFFICIENT_BUFFER) {
      Trace("OpenUsbConnection-SetupDiGetDeviceInterfaceDetail failed!\n");
      break;
    }
    std::unique_ptr<std::uint8_t[]> detail = AllocateRecord(size);
    if (!detail) {
      Trace("OpenUsbConnection Out of memory!\n");
      break;
    }
    UsbDeviceRef device{};
    std::uint32_t written = 0;
    if (!usb.GetDeviceInterfaceDetail(list, iface, detail.get(), size, &written, &device)) {
      Trace("OpenUsbConnection-SetupDiGetDeviceInterfaceDetail failed!\n");
      break;
    }
    CopyDevicePath(usb.DetailDevicePath(detail.get()), detail.get(), size, path);
    detail.reset();

    if (checkLocation == 0 || CheckLocationID(list, device) == 1) {
      found = 1;
      // The capture's descriptor records name the unit; nothing more is asked without a capture.
      if (context_.capture != nullptr && !usb.GetDeviceIds(list, device, &unitIds_)) {
        unitIds_ = UsbDeviceIds{CAPTURE_DEFAULT_VENDOR_ID, CAPTURE_DEFAULT_PRODUCT_ID};
      }
      break;
    }
  }
  usb.DestroyDeviceInfoList(list);
  return found;
}

int UsbPort::OpenUsbConnection() {
  UsbPlatform& usb = *context_.usb;
  char path[USB_PATH_SIZE] = {};
  if (!FindUsbDevicePath(path)) return 0;

  deviceHandle = usb.OpenDeviceFile(path);
  if (deviceHandle == UsbInvalidHandle()) {
    Trace("OpenUsbConnection-CreateFile failed!\n");
    return 0;
  }
  // Kept only on success, so that a failed start never leaves a handle to free behind.
  UsbInterfaceHandle handle = UsbInvalidHandle();
  if (!usb.InitializeInterface(deviceHandle, &handle)) {
    Trace("OpenUsbConnection-CreateFile failed!\n");
    CloseUsbConnection();
    return 0;
  }
  winUsbHandle = handle;

  UsbInterfaceDescriptor descriptor{};
  if (!usb.QueryInterfaceSettings(winUsbHandle, 0, &descriptor)) {
    Trace("OpenUsbConnection-WinUsb_QueryInterfaceSettings failed!\n");
    CloseUsbConnection();
    return 0;
  }
  for (std::uint8_t index = 0; index < descriptor.bNumEndpoints; ++index) {
    UsbPipeInformation pipe{};
    if (!usb.QueryPipe(winUsbHandle, 0, index, &pipe)) {
      Trace("OpenUsbConnection-WinUsb_QueryPipe failed!\n");
      CloseUsbConnection();
      return 0;
    }
    if (pipe.pipeId & 0x80) {
      pipeIn = pipe.pipeId;
    } else {
      pipeOut = pipe.pipeId;
    }
    const std::uint32_t autoClearStall = 1;
    usb.SetPipePolicy(winUsbHandle, pipe.pipeId, USB_POLICY_AUTO_CLEAR_STALL, sizeof autoClearStall, &autoClearStall);
  }
  if (pipeIn == 0 || pipeOut == 0) {
    Trace("OpenUsbConnection-WinUsb_QueryPipe failed!\n");
    CloseUsbConnection();
    return 0;
  }
  connected = 1;
  if (context_.capture != nullptr) context_.capture->UnitOpened(context_.clock->NowMs(), unitIds_);
  return 1;
}

void UsbPort::CloseUsbConnection() {
  UsbPlatform* usb = context_.usb;  // a closed port needs none
  connected = 0;
  if (winUsbHandle != UsbInvalidHandle()) {
    usb->AbortPipe(winUsbHandle, pipeOut);
    pipeOut = 0;
    usb->AbortPipe(winUsbHandle, pipeIn);
    pipeIn = 0;
  }
  // The device file goes before the interface handle.
  if (deviceHandle != UsbInvalidHandle()) {
    usb->CloseDeviceFile(deviceHandle);
    deviceHandle = UsbInvalidHandle();
  }
  if (winUsbHandle != UsbInvalidHandle()) {
    usb->FreeInterface(winUsbHandle);
    winUsbHandle = UsbInvalidHandle();
  }
}
