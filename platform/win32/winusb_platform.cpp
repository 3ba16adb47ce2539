#include "platform/win32/winusb_platform.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

// The records are sized by this platform (on x86-64: 32, 8 and 32 bytes), never by the 32-bit layout.
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) <= sizeof(UsbInterfaceRef));
static_assert(sizeof(SP_DEVINFO_DATA) <= sizeof(UsbDeviceRef));
static_assert(sizeof(GUID) == sizeof(Guid));
#if defined(_WIN64)
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32 && sizeof(SP_DEVINFO_DATA) == 32);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8);
#endif

namespace {
// An entry point that the system does not provide.
bool Missing() {
  SetLastError(ERROR_PROC_NOT_FOUND);
  return false;
}

GUID ToGuid(const Guid& guid) {
  GUID result;
  std::memcpy(&result, &guid, sizeof result);
  return result;
}

SP_DEVICE_INTERFACE_DATA InterfaceData(const UsbInterfaceRef& iface) {
  SP_DEVICE_INTERFACE_DATA data;
  std::memcpy(&data, iface.opaque, sizeof data);
  return data;
}

SP_DEVINFO_DATA DeviceData(const UsbDeviceRef& device) {
  SP_DEVINFO_DATA data;
  std::memcpy(&data, device.opaque, sizeof data);
  return data;
}

// The four hex digits that follow `key` ("VID_", "PID_", any case) in one hardware id; none when the key is
// missing or not followed by four hex digits.
std::optional<std::uint16_t> IdAfter(std::wstring_view id, std::wstring_view key) {
  const auto upper = [](wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; };
  for (std::size_t at = 0; at + key.size() + 4 <= id.size(); ++at) {
    bool match = true;
    for (std::size_t k = 0; k < key.size() && match; ++k) match = upper(id[at + k]) == key[k];
    if (!match) continue;
    std::uint16_t value = 0;
    for (std::size_t d = 0; d < 4; ++d) {
      const wchar_t c = upper(id[at + key.size() + d]);
      int digit;
      if (c >= L'0' && c <= L'9') {
        digit = c - L'0';
      } else if (c >= L'A' && c <= L'F') {
        digit = c - L'A' + 10;
      } else {
        return std::nullopt;
      }
      value = static_cast<std::uint16_t>(value << 4 | digit);
    }
    return value;
  }
  return std::nullopt;
}
}  // namespace

UsbDeviceList WinUsbPlatform::GetClassDevs(const Guid& interfaceClass) {
  if (api_.SetupDiGetClassDevsA == nullptr) {
    Missing();
    return nullptr;
  }
  const GUID guid = ToGuid(interfaceClass);
  HDEVINFO list = api_.SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  return list == INVALID_HANDLE_VALUE ? nullptr : list;
}

bool WinUsbPlatform::EnumDeviceInterfaces(UsbDeviceList list, const Guid& interfaceClass, std::uint32_t memberIndex,
                                          UsbInterfaceRef* iface) {
  if (api_.SetupDiEnumDeviceInterfaces == nullptr) return Missing();
  const GUID guid = ToGuid(interfaceClass);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  if (!api_.SetupDiEnumDeviceInterfaces(list, nullptr, &guid, memberIndex, &data)) return false;
  std::memcpy(iface->opaque, &data, sizeof data);
  return true;
}

bool WinUsbPlatform::GetDeviceInterfaceDetail(UsbDeviceList list, const UsbInterfaceRef& iface, void* detail,
                                              std::uint32_t detailSize, std::uint32_t* requiredSize,
                                              UsbDeviceRef* device) {
  if (api_.SetupDiGetDeviceInterfaceDetailA == nullptr) return Missing();
  SP_DEVICE_INTERFACE_DATA data = InterfaceData(iface);
  DWORD required = 0;
  auto* record = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(detail);
  if (record != nullptr) {
    // The record's size field is written only where the record has room for it.
    if (detailSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
      SetLastError(ERROR_INVALID_USER_BUFFER);
      return false;
    }
    record->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  }
  SP_DEVINFO_DATA deviceData{};
  deviceData.cbSize = sizeof deviceData;
  const BOOL ok = api_.SetupDiGetDeviceInterfaceDetailA(list, &data, record, record != nullptr ? detailSize : 0,
                                                        &required, device != nullptr ? &deviceData : nullptr);
  if (requiredSize != nullptr) *requiredSize = required;
  if (ok && device != nullptr) std::memcpy(device->opaque, &deviceData, sizeof deviceData);
  return ok != FALSE;
}

const char* WinUsbPlatform::DetailDevicePath(const void* detail) {
  return static_cast<const SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detail)->DevicePath;
}

bool WinUsbPlatform::GetDeviceLocation(UsbDeviceList list, const UsbDeviceRef& device, void* buffer,
                                       std::uint32_t bufferSize, std::uint32_t* requiredSize) {
  if (api_.SetupDiGetDeviceRegistryPropertyW == nullptr) return Missing();
  SP_DEVINFO_DATA data = DeviceData(device);
  DWORD required = 0;
  const BOOL ok = api_.SetupDiGetDeviceRegistryPropertyW(list, &data, SPDRP_LOCATION_INFORMATION, nullptr,
                                                         static_cast<PBYTE>(buffer), bufferSize, &required);
  if (requiredSize != nullptr) *requiredSize = required;
  return ok != FALSE;
}

bool WinUsbPlatform::GetDeviceIds(UsbDeviceList list, const UsbDeviceRef& device, UsbDeviceIds* ids) {
  if (api_.SetupDiGetDeviceRegistryPropertyW == nullptr) return Missing();
  if (ids == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  SP_DEVINFO_DATA data = DeviceData(device);
  DWORD required = 0;
  if (!api_.SetupDiGetDeviceRegistryPropertyW(list, &data, SPDRP_HARDWAREID, nullptr, nullptr, 0, &required) &&
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return false;
  }
  // A list of zero-terminated texts, ended by an empty one; read as far as the property reaches, ended or not.
  std::vector<wchar_t> text(required / sizeof(wchar_t) + 1, L'\0');
  if (!api_.SetupDiGetDeviceRegistryPropertyW(list, &data, SPDRP_HARDWAREID, nullptr,
                                              reinterpret_cast<PBYTE>(text.data()), required, &required)) {
    return false;
  }
  const std::wstring_view all(text.data(), std::min<std::size_t>(required / sizeof(wchar_t), text.size() - 1));
  for (std::size_t start = 0; start < all.size();) {
    const std::size_t end = std::min(all.find(L'\0', start), all.size());
    const std::wstring_view id = all.substr(start, end - start);
    if (id.empty()) break;
    const std::optional<std::uint16_t> vendor = IdAfter(id, L"VID_");
    const std::optional<std::uint16_t> product = IdAfter(id, L"PID_");
    if (vendor && product) {
      *ids = UsbDeviceIds{*vendor, *product};
      return true;
    }
    start = end + 1;
  }
  SetLastError(ERROR_INVALID_DATA);
  return false;
}

void WinUsbPlatform::DestroyDeviceInfoList(UsbDeviceList list) {
  if (api_.SetupDiDestroyDeviceInfoList != nullptr) api_.SetupDiDestroyDeviceInfoList(list);
}

UsbFileHandle WinUsbPlatform::OpenDeviceFile(const char* path) {
  if (api_.CreateFileA == nullptr) {
    Missing();
    return INVALID_HANDLE_VALUE;
  }
  return api_.CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

bool WinUsbPlatform::CloseDeviceFile(UsbFileHandle file) {
  if (api_.CloseHandle == nullptr) return Missing();
  return api_.CloseHandle(file) != FALSE;
}

bool WinUsbPlatform::InitializeInterface(UsbFileHandle file, UsbInterfaceHandle* handle) {
  if (api_.WinUsb_Initialize == nullptr) return Missing();
  WINUSB_INTERFACE_HANDLE interfaceHandle = nullptr;
  if (!api_.WinUsb_Initialize(file, &interfaceHandle)) return false;
  *handle = interfaceHandle;
  return true;
}

bool WinUsbPlatform::QueryInterfaceSettings(UsbInterfaceHandle handle, std::uint8_t alternateIndex,
                                            UsbInterfaceDescriptor* descriptor) {
  if (api_.WinUsb_QueryInterfaceSettings == nullptr) return Missing();
  USB_INTERFACE_DESCRIPTOR d{};
  if (!api_.WinUsb_QueryInterfaceSettings(handle, alternateIndex, &d)) return false;
  *descriptor = {d.bLength,         d.bDescriptorType,    d.bInterfaceNumber,   d.bAlternateSetting, d.bNumEndpoints,
                 d.bInterfaceClass, d.bInterfaceSubClass, d.bInterfaceProtocol, d.iInterface};
  return true;
}

bool WinUsbPlatform::QueryPipe(UsbInterfaceHandle handle, std::uint8_t alternateIndex, std::uint8_t pipeIndex,
                               UsbPipeInformation* pipe) {
  if (api_.WinUsb_QueryPipe == nullptr) return Missing();
  WINUSB_PIPE_INFORMATION info{};
  if (!api_.WinUsb_QueryPipe(handle, alternateIndex, pipeIndex, &info)) return false;
  *pipe = {static_cast<std::uint32_t>(info.PipeType), info.PipeId, info.MaximumPacketSize, info.Interval};
  return true;
}

bool WinUsbPlatform::SetPipePolicy(UsbInterfaceHandle handle, std::uint8_t pipeId, std::uint32_t policyType,
                                   std::uint32_t valueLength, const void* value) {
  if (api_.WinUsb_SetPipePolicy == nullptr) return Missing();
  return api_.WinUsb_SetPipePolicy(handle, pipeId, policyType, valueLength, const_cast<void*>(value)) != FALSE;
}

bool WinUsbPlatform::WritePipe(UsbInterfaceHandle handle, std::uint8_t pipeId, const std::uint8_t* buffer,
                               std::uint32_t length, std::uint32_t* transferred) {
  if (api_.WinUsb_WritePipe == nullptr) return Missing();
  ULONG done = 0;
  // Synchronous: no overlapped structure; the pipe's transfer timeout bounds the call.
  const BOOL ok = api_.WinUsb_WritePipe(handle, pipeId, const_cast<PUCHAR>(buffer), length, &done, nullptr);
  *transferred = done;
  return ok != FALSE;
}

bool WinUsbPlatform::ReadPipe(UsbInterfaceHandle handle, std::uint8_t pipeId, std::uint8_t* buffer,
                              std::uint32_t length, std::uint32_t* transferred) {
  if (api_.WinUsb_ReadPipe == nullptr) return Missing();
  ULONG done = 0;
  const BOOL ok = api_.WinUsb_ReadPipe(handle, pipeId, buffer, length, &done, nullptr);
  *transferred = done;
  return ok != FALSE;
}

bool WinUsbPlatform::AbortPipe(UsbInterfaceHandle handle, std::uint8_t pipeId) {
  if (api_.WinUsb_AbortPipe == nullptr) return Missing();
  return api_.WinUsb_AbortPipe(handle, pipeId) != FALSE;
}

bool WinUsbPlatform::FreeInterface(UsbInterfaceHandle handle) {
  if (api_.WinUsb_Free == nullptr) return Missing();
  return api_.WinUsb_Free(handle) != FALSE;
}

std::uint32_t WinUsbPlatform::LastError() { return GetLastError(); }
