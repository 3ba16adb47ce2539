#pragma once
// UsbPort: finds the unit by its device interface class, opens it with one bulk IN and one bulk OUT pipe,
// closes it again, and holds the notification target of the loader.

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "app/message_poster.h"
#include "usb/device_link_context.h"
#include "usb/usb_platform.h"

inline constexpr std::size_t USB_PATH_SIZE = 260;

class UsbPort {
 public:
  explicit UsbPort(const DeviceLinkContext& context);
  virtual ~UsbPort();
  UsbPort(const UsbPort&) = delete;
  UsbPort& operator=(const UsbPort&) = delete;

  virtual int SetNotifyWindow(WindowRef window, std::uint32_t dataMessage, std::uint32_t resultMessage);
  virtual void ReceiveData(const std::uint8_t* bytes, std::uint32_t count);

  // The unit of one update. Pinned, every opening takes only the unit at `location` (checkLocation set), so a
  // unit that comes back elsewhere, or another unit, is never opened; unpinned, the first unit present.
  void PinUnit(const std::string& location);
  void UnpinUnit();
  bool IsPinned() const { return checkLocation != 0; }
  // The worker's trace lines begin with this tag (app/trace.h); the caller tags its own thread.
  void SetTraceTag(const std::string& tag) { traceTag_ = tag; }
  const std::string& GetTraceTag() const { return traceTag_; }
  // The platform services this port runs on.
  const DeviceLinkContext& Link() const { return context_; }

  int OpenUsbConnection();
  void CloseUsbConnection();
  int FindUsbDevicePath(char (&path)[USB_PATH_SIZE]);
  int CheckLocationID(UsbDeviceList list, const UsbDeviceRef& device);

  // Fields, in the order of the connection's data model.
  std::thread threadHandle;  // the worker of the loader; joined, never terminated
  UsbFileHandle deviceHandle;
  UsbInterfaceHandle winUsbHandle;
  std::uint8_t pipeIn = 0;
  std::uint8_t pipeOut = 0;
  std::int32_t connected = 0;
  std::atomic<std::uint32_t> stopRequested{0};
  std::int32_t checkLocation = 0;
  Guid interfaceGuid{};
  char locationId[USB_PATH_SIZE] = {};
  WindowRef notifyWindow = nullptr;
  std::uint32_t dataMessage = 0;
  std::uint32_t resultMessage = 0;

 protected:
  DeviceLinkContext context_;
  std::string traceTag_;
  UsbDeviceIds unitIds_{};  // of the unit found last, read for the capture only
};
