#pragma once
// What the USB connection and the block exchange need of the platform: the enumeration of the present
// interfaces of a device interface class (shaped after SetupAPI), the device file, and the interface and
// pipe calls (shaped after WinUSB). Implementations: SetupAPI + WinUSB (Windows), the emulated unit.
// The open and close sequences and their trace lines run identically against any of them.

#include <cstdint>
#include <cstring>

#include "app/windows_numbers.h"

struct Guid {
  std::uint32_t data1;
  std::uint16_t data2;
  std::uint16_t data3;
  std::uint8_t data4[8];
  friend bool operator==(const Guid& a, const Guid& b) { return std::memcmp(&a, &b, sizeof(Guid)) == 0; }
};
static_assert(sizeof(Guid) == 16);

// The unit's device interface class {C0850FA1-2B83-47DB-BCB7-738AB1A8B498}.
inline constexpr Guid TAVIK_INTERFACE_GUID = {
    0xC0850FA1, 0x2B83, 0x47DB, {0xBC, 0xB7, 0x73, 0x8A, 0xB1, 0xA8, 0xB4, 0x98}};

// Opaque platform handles. A device list is null on failure; a file or interface handle that is absent
// holds UsbInvalidHandle() (all bits set), as on Windows.
using UsbDeviceList = void*;
using UsbFileHandle = void*;
using UsbInterfaceHandle = void*;
inline void* UsbInvalidHandle() { return reinterpret_cast<void*>(~std::uintptr_t{0}); }

// Enumeration records whose content belongs to the implementation (room for SP_DEVICE_INTERFACE_DATA
// and SP_DEVINFO_DATA on 64-bit Windows).
struct alignas(8) UsbInterfaceRef {
  std::uint8_t opaque[32];
};
struct alignas(8) UsbDeviceRef {
  std::uint8_t opaque[32];
};

// The fields of the standard USB interface descriptor that the connection reads.
struct UsbInterfaceDescriptor {
  std::uint8_t bLength;
  std::uint8_t bDescriptorType;
  std::uint8_t bInterfaceNumber;
  std::uint8_t bAlternateSetting;
  std::uint8_t bNumEndpoints;
  std::uint8_t bInterfaceClass;
  std::uint8_t bInterfaceSubClass;
  std::uint8_t bInterfaceProtocol;
  std::uint8_t iInterface;
};

inline constexpr std::uint32_t USB_PIPE_CONTROL = 0;
inline constexpr std::uint32_t USB_PIPE_ISOCHRONOUS = 1;
inline constexpr std::uint32_t USB_PIPE_BULK = 2;
inline constexpr std::uint32_t USB_PIPE_INTERRUPT = 3;

struct UsbPipeInformation {
  std::uint32_t pipeType;
  std::uint8_t pipeId;  // endpoint address; bit 7 set for IN
  std::uint16_t maximumPacketSize;
  std::uint8_t interval;
};

// The vendor and product ids of a device, from its device descriptor.
struct UsbDeviceIds {
  std::uint16_t vendorId;
  std::uint16_t productId;
};

// Pipe policy types (WinUSB numbering).
inline constexpr std::uint32_t USB_POLICY_AUTO_CLEAR_STALL = 2;
inline constexpr std::uint32_t USB_POLICY_PIPE_TRANSFER_TIMEOUT = 3;

// The platforms report Windows system error numbers (WIN_ERROR_*, app/windows_numbers.h) through LastError().

class UsbPlatform {
 public:
  virtual ~UsbPlatform() = default;

  // The list of present interfaces of a class (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE); null on failure.
  virtual UsbDeviceList GetClassDevs(const Guid& interfaceClass) = 0;
  // The interface with this member index; false (WIN_ERROR_NO_MORE_ITEMS) past the end.
  virtual bool EnumDeviceInterfaces(UsbDeviceList list, const Guid& interfaceClass, std::uint32_t memberIndex,
                                    UsbInterfaceRef* iface) = 0;
  // Fills an interface detail record of detailSize bytes and, if asked, the device element. Called first
  // with no record (null, 0): fails with WIN_ERROR_INSUFFICIENT_BUFFER and stores the size to allocate.
  virtual bool GetDeviceInterfaceDetail(UsbDeviceList list, const UsbInterfaceRef& iface, void* detail,
                                        std::uint32_t detailSize, std::uint32_t* requiredSize,
                                        UsbDeviceRef* device) = 0;
  // The zero-terminated 8-bit device path inside a detail record filled above.
  virtual const char* DetailDevicePath(const void* detail) = 0;
  // The location information property as zero-terminated UTF-16 text; size query as for the detail.
  virtual bool GetDeviceLocation(UsbDeviceList list, const UsbDeviceRef& device, void* buffer, std::uint32_t bufferSize,
                                 std::uint32_t* requiredSize) = 0;
  // The vendor and product ids of an enumerated device element; false (the platform's last error set) when they
  // cannot be read. Nothing is opened or sent to the device.
  virtual bool GetDeviceIds(UsbDeviceList list, const UsbDeviceRef& device, UsbDeviceIds* ids) = 0;
  virtual void DestroyDeviceInfoList(UsbDeviceList list) = 0;

  // Opens a device path for reading and writing, shared, existing only, overlapped I/O allowed.
  // UsbInvalidHandle() on failure.
  virtual UsbFileHandle OpenDeviceFile(const char* path) = 0;
  virtual bool CloseDeviceFile(UsbFileHandle file) = 0;

  virtual bool InitializeInterface(UsbFileHandle file, UsbInterfaceHandle* handle) = 0;
  virtual bool QueryInterfaceSettings(UsbInterfaceHandle handle, std::uint8_t alternateIndex,
                                      UsbInterfaceDescriptor* descriptor) = 0;
  virtual bool QueryPipe(UsbInterfaceHandle handle, std::uint8_t alternateIndex, std::uint8_t pipeIndex,
                         UsbPipeInformation* pipe) = 0;
  virtual bool SetPipePolicy(UsbInterfaceHandle handle, std::uint8_t pipeId, std::uint32_t policyType,
                             std::uint32_t valueLength, const void* value) = 0;
  // Synchronous transfers, bounded by the pipe's PIPE_TRANSFER_TIMEOUT (a timeout fails with
  // WIN_ERROR_SEM_TIMEOUT).
  virtual bool WritePipe(UsbInterfaceHandle handle, std::uint8_t pipeId, const std::uint8_t* buffer,
                         std::uint32_t length, std::uint32_t* transferred) = 0;
  virtual bool ReadPipe(UsbInterfaceHandle handle, std::uint8_t pipeId, std::uint8_t* buffer, std::uint32_t length,
                        std::uint32_t* transferred) = 0;
  virtual bool AbortPipe(UsbInterfaceHandle handle, std::uint8_t pipeId) = 0;
  virtual bool FreeInterface(UsbInterfaceHandle handle) = 0;

  // The calling thread's last error code after a failed call.
  virtual std::uint32_t LastError() = 0;
};
