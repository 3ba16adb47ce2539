// The contract on the WinUSB backend: WinUsbPlatform with fake SetupAPI, file and WinUSB entry points behind its
// table, which keep the system's records (the cbSize fields, the detail record, the registry properties) and
// forward to an emulated bus. So the backend's own part, the records and the properties it reads, runs against
// units that list, answer, time out on the virtual clock, leave and come back.

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "contract/emulated_bench.h"
#include "platform/win32/winusb_platform.h"

namespace {
// The bus behind the fake entry points: one bench at a time.
EmulatedUsb* g_bus = nullptr;
// The bus's own records of what the fakes handed out; the records' Reserved fields index them.
std::vector<UsbInterfaceRef> g_interfaces;
std::vector<UsbDeviceRef> g_devices;

BOOL Refuse(DWORD error) {
  SetLastError(error);
  return FALSE;
}
BOOL BusFailed() { return Refuse(g_bus->LastError()); }

Guid ToGuid(const GUID* guid) {
  Guid result;
  std::memcpy(&result, guid, sizeof result);
  return result;
}

HDEVINFO WINAPI BusGetClassDevs(const GUID* guid, PCSTR enumerator, HWND window, DWORD flags) {
  if (guid == nullptr || enumerator != nullptr || window != nullptr ||
      flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {
    SetLastError(ERROR_INVALID_FLAGS);
    return INVALID_HANDLE_VALUE;
  }
  UsbDeviceList list = g_bus->GetClassDevs(ToGuid(guid));
  if (list == nullptr) {
    BusFailed();
    return INVALID_HANDLE_VALUE;
  }
  return list;
}

BOOL WINAPI BusEnumInterfaces(HDEVINFO list, PSP_DEVINFO_DATA device, const GUID* guid, DWORD index,
                              PSP_DEVICE_INTERFACE_DATA data) {
  if (device != nullptr || guid == nullptr) return Refuse(ERROR_INVALID_PARAMETER);
  if (data == nullptr || data->cbSize != sizeof *data) return Refuse(ERROR_INVALID_USER_BUFFER);
  UsbInterfaceRef ref{};
  if (!g_bus->EnumDeviceInterfaces(list, ToGuid(guid), index, &ref)) return BusFailed();
  data->InterfaceClassGuid = *guid;
  data->Flags = SPINT_ACTIVE;
  data->Reserved = g_interfaces.size();
  g_interfaces.push_back(ref);
  return TRUE;
}

BOOL WINAPI BusGetDetail(HDEVINFO list, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                         DWORD size, PDWORD required, PSP_DEVINFO_DATA device) {
  if (data == nullptr || data->cbSize != sizeof *data || data->Reserved >= g_interfaces.size()) {
    return Refuse(ERROR_INVALID_PARAMETER);
  }
  if ((detail == nullptr && size != 0) || (detail != nullptr && detail->cbSize != sizeof *detail) ||
      (device != nullptr && device->cbSize != sizeof *device)) {
    return Refuse(ERROR_INVALID_USER_BUFFER);
  }
  // The bus's whole record, for the path and the device element.
  const UsbInterfaceRef& ref = g_interfaces[data->Reserved];
  std::uint32_t busSize = 0;
  if (!g_bus->GetDeviceInterfaceDetail(list, ref, nullptr, 0, &busSize, nullptr) &&
      g_bus->LastError() != WIN_ERROR_INSUFFICIENT_BUFFER) {
    return BusFailed();
  }
  std::vector<std::uint64_t> record(busSize / 8 + 1);
  UsbDeviceRef element{};
  if (!g_bus->GetDeviceInterfaceDetail(list, ref, record.data(), busSize, &busSize, &element)) return BusFailed();
  const std::string path = g_bus->DetailDevicePath(record.data());

  const auto needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
  if (required != nullptr) *required = needed;
  if (detail == nullptr || size < needed) return Refuse(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
  if (device != nullptr) {
    device->ClassGuid = GUID{};
    device->DevInst = static_cast<DWORD>(g_devices.size() + 1);
    device->Reserved = g_devices.size();
    g_devices.push_back(element);
  }
  return TRUE;
}

// SPDRP_HARDWAREID of a USB device: the ids with the revision, then without it, then the list's end.
std::wstring HardwareIds(const UsbDeviceIds& ids) {
  char id[32];
  std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", ids.vendorId, ids.productId);
  const std::string list = std::string(id) + "&REV_0100" + '\0' + id + '\0' + '\0';
  return std::wstring(list.begin(), list.end());
}

BOOL WINAPI BusGetProperty(HDEVINFO list, PSP_DEVINFO_DATA device, DWORD property, PDWORD type, PBYTE buffer,
                           DWORD size, PDWORD required) {
  if (device == nullptr || device->cbSize != sizeof *device || device->Reserved >= g_devices.size()) {
    return Refuse(ERROR_INVALID_PARAMETER);
  }
  if (buffer == nullptr && size != 0) return Refuse(ERROR_INVALID_USER_BUFFER);
  const UsbDeviceRef& element = g_devices[device->Reserved];
  if (property == SPDRP_LOCATION_INFORMATION) {
    // The bus gives it as the system does: UTF-16, terminated, with the size query.
    std::uint32_t needed = 0;
    const bool ok = g_bus->GetDeviceLocation(list, element, buffer, size, &needed);
    if (required != nullptr) *required = needed;
    if (!ok) return BusFailed();
    if (type != nullptr) *type = REG_SZ;
    return TRUE;
  }
  if (property == SPDRP_HARDWAREID) {
    UsbDeviceIds ids{};
    if (!g_bus->GetDeviceIds(list, element, &ids)) return BusFailed();
    const std::wstring value = HardwareIds(ids);
    const auto needed = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (required != nullptr) *required = needed;
    if (buffer == nullptr || size < needed) return Refuse(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, value.data(), needed);
    if (type != nullptr) *type = REG_MULTI_SZ;
    return TRUE;
  }
  return Refuse(ERROR_INVALID_DATA);
}

BOOL WINAPI BusDestroyList(HDEVINFO list) {
  g_bus->DestroyDeviceInfoList(list);
  return TRUE;
}

HANDLE WINAPI BusCreateFile(LPCSTR path, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD creation, DWORD flags,
                            HANDLE) {
  if (access != (GENERIC_READ | GENERIC_WRITE) || creation != OPEN_EXISTING || (flags & FILE_FLAG_OVERLAPPED) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  UsbFileHandle file = g_bus->OpenDeviceFile(path);
  if (file == UsbInvalidHandle()) {
    BusFailed();
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

BOOL WINAPI BusCloseHandle(HANDLE file) { return g_bus->CloseDeviceFile(file) ? TRUE : BusFailed(); }

BOOL WINAPI BusInitialize(HANDLE file, PWINUSB_INTERFACE_HANDLE handle) {
  UsbInterfaceHandle iface = UsbInvalidHandle();
  if (!g_bus->InitializeInterface(file, &iface)) return BusFailed();
  *handle = iface;
  return TRUE;
}

BOOL WINAPI BusQuerySettings(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate, PUSB_INTERFACE_DESCRIPTOR out) {
  UsbInterfaceDescriptor d{};
  if (!g_bus->QueryInterfaceSettings(handle, alternate, &d)) return BusFailed();
  out->bLength = d.bLength;
  out->bDescriptorType = d.bDescriptorType;
  out->bInterfaceNumber = d.bInterfaceNumber;
  out->bAlternateSetting = d.bAlternateSetting;
  out->bNumEndpoints = d.bNumEndpoints;
  out->bInterfaceClass = d.bInterfaceClass;
  out->bInterfaceSubClass = d.bInterfaceSubClass;
  out->bInterfaceProtocol = d.bInterfaceProtocol;
  out->iInterface = d.iInterface;
  return TRUE;
}

BOOL WINAPI BusQueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate, UCHAR index, PWINUSB_PIPE_INFORMATION out) {
  UsbPipeInformation pipe{};
  if (!g_bus->QueryPipe(handle, alternate, index, &pipe)) return BusFailed();
  out->PipeType = static_cast<USBD_PIPE_TYPE>(pipe.pipeType);
  out->PipeId = pipe.pipeId;
  out->MaximumPacketSize = pipe.maximumPacketSize;
  out->Interval = pipe.interval;
  return TRUE;
}

BOOL WINAPI BusSetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, ULONG policy, ULONG length, PVOID value) {
  return g_bus->SetPipePolicy(handle, pipe, policy, length, value) ? TRUE : BusFailed();
}

BOOL WINAPI BusWritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer, ULONG length, PULONG done,
                         LPOVERLAPPED overlapped) {
  if (overlapped != nullptr) return Refuse(ERROR_INVALID_PARAMETER);  // the backend's transfers are synchronous
  std::uint32_t moved = 0;
  const bool ok = g_bus->WritePipe(handle, pipe, buffer, length, &moved);
  *done = moved;
  return ok ? TRUE : BusFailed();
}

BOOL WINAPI BusReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer, ULONG length, PULONG done,
                        LPOVERLAPPED overlapped) {
  if (overlapped != nullptr) return Refuse(ERROR_INVALID_PARAMETER);
  std::uint32_t moved = 0;
  const bool ok = g_bus->ReadPipe(handle, pipe, buffer, length, &moved);
  *done = moved;
  return ok ? TRUE : BusFailed();
}

BOOL WINAPI BusAbortPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe) {
  return g_bus->AbortPipe(handle, pipe) ? TRUE : BusFailed();
}

BOOL WINAPI BusFree(WINUSB_INTERFACE_HANDLE handle) { return g_bus->FreeInterface(handle) ? TRUE : BusFailed(); }

WinUsbApi BusApi() {
  WinUsbApi api{};
  api.SetupDiGetClassDevsA = BusGetClassDevs;
  api.SetupDiEnumDeviceInterfaces = BusEnumInterfaces;
  api.SetupDiGetDeviceInterfaceDetailA = BusGetDetail;
  api.SetupDiGetDeviceRegistryPropertyW = BusGetProperty;
  api.SetupDiDestroyDeviceInfoList = BusDestroyList;
  api.CreateFileA = BusCreateFile;
  api.CloseHandle = BusCloseHandle;
  api.WinUsb_Initialize = BusInitialize;
  api.WinUsb_QueryInterfaceSettings = BusQuerySettings;
  api.WinUsb_QueryPipe = BusQueryPipe;
  api.WinUsb_SetPipePolicy = BusSetPipePolicy;
  api.WinUsb_WritePipe = BusWritePipe;
  api.WinUsb_ReadPipe = BusReadPipe;
  api.WinUsb_AbortPipe = BusAbortPipe;
  api.WinUsb_Free = BusFree;
  return api;
}

class WinUsbBench final : public EmulatedBench {
 public:
  WinUsbBench() {
    g_bus = &Bus();
    g_interfaces.clear();
    g_devices.clear();
  }
  ~WinUsbBench() override { g_bus = nullptr; }

  UsbPlatform& Usb() override { return platform_; }

 private:
  WinUsbPlatform platform_{BusApi()};
};
}  // namespace

INSTANTIATE_TEST_SUITE_P(WinUsb, UsbContract,
                         ::testing::Values(BenchMaker{"winusb", [] { return std::make_unique<WinUsbBench>(); }}),
                         BenchName);
