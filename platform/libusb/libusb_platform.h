#pragma once
// The USB platform of the terminal program on Linux and macOS: libusb-1.0 behind the seam that SetupAPI and
// WinUSB shape. It finds the unit by the vendor and product ids the program accepts, claims the interface that
// carries the requested class, and drives the pipes with libusb transfers.
//
// Every member keeps the contract of its seam counterpart (usb_platform.h) and states below what it adds or
// where libusb makes it differ. Every failure sets the calling thread's last error to a seam code
// (libusb_errors.h); libusb's own codes never leave this backend. Safe to call from several threads: the
// connection's open and close on one, transfers on another, AbortPipe from a third.
//
// A libusb context of its own is made at construction and ended at destruction, so several platforms can live
// side by side. Handles left open at destruction are released (interfaces, then device files, then lists).
//
// No call here is specific to one system: the backend builds wherever libusb-1.0 does.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "usb/usb_platform.h"

struct libusb_context;

class LibusbPlatform final : public UsbPlatform {
 public:
  // Starts libusb (libusb_init). If that fails, the platform stays usable but empty: every call fails with the
  // code of the start's failure, and Started() is false.
  LibusbPlatform();
  ~LibusbPlatform() override;
  LibusbPlatform(const LibusbPlatform&) = delete;
  LibusbPlatform& operator=(const LibusbPlatform&) = delete;

  bool Started() const { return context_ != nullptr; }

  // True when the last OpenDeviceFile, or the InitializeInterface after it, failed because the user may not
  // open the device (WIN_ERROR_ACCESS_DENIED). A front end shows UDEV_PERMISSION_HINT (udev_rule.h) then.
  // Cleared by the next OpenDeviceFile.
  bool LastOpenWasPermissionDenied() const { return permissionDenied_.load(); }

  // Device lists, device files and interfaces still open.
  std::size_t OpenHandleCount() const;

  // A snapshot of the unit interfaces present now: one entry per attached device whose vendor and product ids
  // are the unit's and whose active configuration has the interface that carries `interfaceClass` on that
  // product (libusb_device_naming.h). Sorted by bus and port chain, so the order does not depend on the order
  // the system found the devices in. An empty list is a list: EnumDeviceInterfaces then ends at once. Null
  // only when the bus cannot be listed.
  UsbDeviceList GetClassDevs(const Guid& interfaceClass) override;
  // Entry `memberIndex` of the snapshot; false with WIN_ERROR_NO_MORE_ITEMS past its end or for another
  // class than the list's; WIN_ERROR_INVALID_HANDLE for a list that is not open.
  bool EnumDeviceInterfaces(UsbDeviceList list, const Guid& interfaceClass, std::uint32_t memberIndex,
                            UsbInterfaceRef* iface) override;
  // The detail record is the device path alone, zero-terminated ("usb:1-4.2/0": bus, port chain and interface
  // number; see UsbDevicePath). Size query as in the seam: no record, WIN_ERROR_INSUFFICIENT_BUFFER and the
  // size. The device element names the entry for GetDeviceLocation.
  bool GetDeviceInterfaceDetail(UsbDeviceList list, const UsbInterfaceRef& iface, void* detail,
                                std::uint32_t detailSize, std::uint32_t* requiredSize, UsbDeviceRef* device) override;
  const char* DetailDevicePath(const void* detail) override;
  // The location text is the bus and port chain, "1-4.2", as UTF-16; size query as above.
  bool GetDeviceLocation(UsbDeviceList list, const UsbDeviceRef& device, void* buffer, std::uint32_t bufferSize,
                         std::uint32_t* requiredSize) override;
  // The idVendor and idProduct of the entry's device descriptor, as read when the snapshot was taken: the
  // device is not opened, and an entry whose device has gone since still answers. WIN_ERROR_INVALID_HANDLE
  // for a list that is not open, WIN_ERROR_INVALID_PARAMETER for an element that is not one of the list's.
  bool GetDeviceIds(UsbDeviceList list, const UsbDeviceRef& device, UsbDeviceIds* ids) override;
  // Releases the snapshot; WIN_ERROR_INVALID_HANDLE for a list that is not open.
  void DestroyDeviceInfoList(UsbDeviceList list) override;

  // Opens the device that the path names (libusb_open) and asks libusb to detach a kernel driver from the
  // interface on claim where it can. WIN_ERROR_FILE_NOT_FOUND when no attached device has that path (also for
  // a path that is not one of this backend's), WIN_ERROR_ACCESS_DENIED when the user may not open it (and
  // LastOpenWasPermissionDenied() turns true). Several opens of one path are several handles.
  UsbFileHandle OpenDeviceFile(const char* path) override;
  // Closes the handle. Interfaces started on it stay usable until freed (the device is closed with the last of
  // them), so the seam's close order, the file before the interface, is safe.
  bool CloseDeviceFile(UsbFileHandle file) override;

  // Claims the path's interface (libusb_claim_interface) and reads its alternate settings and endpoints from
  // the active configuration descriptor. WIN_ERROR_BUSY when another program holds the interface,
  // WIN_ERROR_ACCESS_DENIED as for the open, WIN_ERROR_FILE_NOT_FOUND when the configuration lacks it,
  // WIN_ERROR_DEVICE_NOT_CONNECTED when the device has gone.
  bool InitializeInterface(UsbFileHandle file, UsbInterfaceHandle* handle) override;
  // The interface descriptor of alternate setting `alternateIndex` (an index, not bAlternateSetting);
  // WIN_ERROR_NO_MORE_ITEMS past the last. Read from the descriptor kept at InitializeInterface.
  bool QueryInterfaceSettings(UsbInterfaceHandle handle, std::uint8_t alternateIndex,
                              UsbInterfaceDescriptor* descriptor) override;
  // Endpoint `pipeIndex` of that setting: its type (bmAttributes bits 0-1, the WinUSB numbering), address,
  // wMaxPacketSize and bInterval; WIN_ERROR_NO_MORE_ITEMS past the last.
  bool QueryPipe(UsbInterfaceHandle handle, std::uint8_t alternateIndex, std::uint8_t pipeIndex,
                 UsbPipeInformation* pipe) override;
  // For the endpoints of alternate setting 0: PIPE_TRANSFER_TIMEOUT (4-byte milliseconds, 0 = none, the
  // default) bounds every later transfer on the pipe; AUTO_CLEAR_STALL (1 or 4 bytes, nonzero = on) clears a
  // stall after the transfer that met it has failed. Any other policy, value size or pipe:
  // WIN_ERROR_INVALID_PARAMETER.
  bool SetPipePolicy(UsbInterfaceHandle handle, std::uint8_t pipeId, std::uint32_t policyType,
                     std::uint32_t valueLength, const void* value) override;
  // One bulk (or interrupt) transfer on an OUT or IN pipe of alternate setting 0, bounded by the pipe's
  // transfer timeout. Failures: WIN_ERROR_SEM_TIMEOUT (with the bytes moved before it),
  // WIN_ERROR_OPERATION_ABORTED (AbortPipe on another thread), WIN_ERROR_DEVICE_NOT_CONNECTED (unplugged),
  // WIN_ERROR_GEN_FAILURE (stall, overflow, I/O error), WIN_ERROR_INVALID_PARAMETER (a pipe of the other
  // direction or unknown, a null buffer). A short transfer succeeds with fewer bytes.
  bool WritePipe(UsbInterfaceHandle handle, std::uint8_t pipeId, const std::uint8_t* buffer, std::uint32_t length,
                 std::uint32_t* transferred) override;
  bool ReadPipe(UsbInterfaceHandle handle, std::uint8_t pipeId, std::uint8_t* buffer, std::uint32_t length,
                std::uint32_t* transferred) override;
  // Ends the transfer in flight on the pipe, if any, and returns once it has returned (see PipeTransfer).
  // WIN_ERROR_INVALID_PARAMETER for a pipe the interface does not have (pipe id 0 included).
  bool AbortPipe(UsbInterfaceHandle handle, std::uint8_t pipeId) override;
  // Aborts every transfer still in flight, waits until they have returned, releases the interface and, if
  // the device file is closed too, the device. Calls on the handle that come later fail with
  // WIN_ERROR_INVALID_HANDLE.
  bool FreeInterface(UsbInterfaceHandle handle) override;

  // The calling thread's code of its last failed call (per thread, as GetLastError).
  std::uint32_t LastError() override;

 private:
  struct DeviceList;
  struct OpenDevice;
  struct DeviceFile;
  struct Pipe;
  struct Interface;
  class InterfaceUse;

  // Each runs with mutex_ held.
  DeviceList* FindList(UsbDeviceList list) const;
  DeviceFile* FindFile(UsbFileHandle file) const;
  Interface* FindInterface(UsbInterfaceHandle handle) const;

  bool Transfer(UsbInterfaceHandle handle, std::uint8_t pipeId, bool in, std::uint8_t* buffer, std::uint32_t length,
                std::uint32_t* transferred);

  libusb_context* context_ = nullptr;
  std::uint32_t startError_ = 0;
  std::atomic<bool> permissionDenied_{false};

  mutable std::mutex mutex_;
  std::condition_variable idle_;  // an interface's last user has left
  std::vector<std::unique_ptr<DeviceList>> lists_;
  std::vector<std::unique_ptr<DeviceFile>> files_;
  std::vector<std::unique_ptr<Interface>> interfaces_;
};
