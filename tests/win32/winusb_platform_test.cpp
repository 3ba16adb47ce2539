// The WinUSB backend with fakes behind its table of entry points: the open and close sequences of the
// connection, the flags, sizes and policies of each call, the error paths and their trace lines.

#include "platform/win32/winusb_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "app/clock.h"
#include "app/message_poster.h"
#include "image/crc32.h"
#include "platform/program_context.h"
#include "support/trace_capture.h"
#include "usb/usb_fw_loader.h"

namespace {
const HDEVINFO kList = reinterpret_cast<HDEVINFO>(0x1000);
const HANDLE kFile = reinterpret_cast<HANDLE>(0x2000);
const WINUSB_INTERFACE_HANDLE kInterface = reinterpret_cast<WINUSB_INTERFACE_HANDLE>(0x3000);

// A list of texts as SPDRP_HARDWAREID holds it, each ended by a zero (the list's own end is added when it is read).
std::wstring HardwareIds(std::initializer_list<const wchar_t*> ids) {
  std::wstring list;
  for (const wchar_t* id : ids) list += std::wstring(id) + L'\0';
  return list;
}

struct FakeInterface {
  std::string path;
  std::wstring location;
  std::wstring hardwareIds = HardwareIds({L"USB\\VID_7A31&PID_ACDC&REV_0100", L"USB\\VID_7A31&PID_ACDC"});
};

// What the fake system holds and how it fails; reset before each test.
struct FakeSystem {
  std::vector<FakeInterface> interfaces;
  bool classDevsFails = false;
  DWORD detailSizeError = ERROR_INSUFFICIENT_BUFFER;  // the error of the size query
  bool detailFails = false;
  bool locationFails = false;
  DWORD hardwareIdError = 0;  // nonzero: the hardware id property cannot be read, with this error
  bool createFails = false;
  bool initializeFails = false;
  bool settingsFail = false;
  int queryPipeFailsAt = -1;
  std::vector<UCHAR> endpoints = {0x81, 0x02};
  DWORD writeError = 0;  // nonzero: the write fails with it
  DWORD readError = 0;   // nonzero: the read fails with it
  UsbBlock answer{};
  std::vector<std::string> calls;
};
FakeSystem g_fake;

void Log(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  g_fake.calls.emplace_back(line);
}

const char* Null(const void* p) { return p == nullptr ? "null" : "set"; }

HDEVINFO WINAPI FakeGetClassDevs(const GUID* guid, PCSTR enumerator, HWND window, DWORD flags) {
  const bool tavik = std::memcmp(guid, &TAVIK_INTERFACE_GUID, sizeof(GUID)) == 0;
  Log("SetupDiGetClassDevsA %s enumerator=%s window=%s flags=0x%lx", tavik ? "tavik" : "other", Null(enumerator),
      Null(window), flags);
  return g_fake.classDevsFails ? INVALID_HANDLE_VALUE : kList;
}

BOOL WINAPI FakeEnumInterfaces(HDEVINFO list, PSP_DEVINFO_DATA device, const GUID*, DWORD index,
                               PSP_DEVICE_INTERFACE_DATA data) {
  Log("SetupDiEnumDeviceInterfaces list=%s device=%s index=%lu cbSize=%lu", list == kList ? "ok" : "bad", Null(device),
      index, data->cbSize);
  if (index >= g_fake.interfaces.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  data->Reserved = index;  // which interface, for the detail call
  return TRUE;
}

BOOL WINAPI FakeGetDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                          DWORD size, PDWORD required, PSP_DEVINFO_DATA device) {
  const FakeInterface& iface = g_fake.interfaces.at(data->Reserved);
  const DWORD needed =
      static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + iface.path.size() + 1);
  if (detail == nullptr) {
    Log("SetupDiGetDeviceInterfaceDetailA size=%lu buffer=null device=%s", size, Null(device));
    if (required != nullptr) *required = needed;
    SetLastError(g_fake.detailSizeError);
    return FALSE;
  }
  Log("SetupDiGetDeviceInterfaceDetailA size=%lu cbSize=%lu device.cbSize=%lu", size, detail->cbSize,
      device != nullptr ? device->cbSize : 0);
  if (g_fake.detailFails) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  std::memcpy(detail->DevicePath, iface.path.c_str(), iface.path.size() + 1);
  if (device != nullptr) device->Reserved = data->Reserved;
  return TRUE;
}

BOOL WINAPI FakeGetProperty(HDEVINFO, PSP_DEVINFO_DATA device, DWORD property, PDWORD, PBYTE buffer, DWORD size,
                            PDWORD required) {
  Log("SetupDiGetDeviceRegistryPropertyW property=%lu size=%lu", property, size);
  const FakeInterface& iface = g_fake.interfaces.at(device->Reserved);
  if (property == SPDRP_HARDWAREID && g_fake.hardwareIdError != 0) {
    SetLastError(g_fake.hardwareIdError);
    return FALSE;
  }
  // The location with its terminator; the hardware ids as they are, with the list's end.
  const std::wstring value = property == SPDRP_HARDWAREID ? iface.hardwareIds + L'\0' : iface.location + L'\0';
  const DWORD needed = static_cast<DWORD>(value.size() * sizeof(wchar_t));
  if (required != nullptr) *required = needed;
  if (property == SPDRP_LOCATION_INFORMATION && g_fake.locationFails) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  if (buffer == nullptr || size < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(buffer, value.data(), needed);
  return TRUE;
}

BOOL WINAPI FakeDestroyList(HDEVINFO list) {
  Log("SetupDiDestroyDeviceInfoList list=%s", list == kList ? "ok" : "bad");
  return TRUE;
}

HANDLE WINAPI FakeCreateFile(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD creation,
                             DWORD flags, HANDLE templateFile) {
  Log("CreateFileA %s access=0x%lx share=0x%lx security=%s creation=%lu flags=0x%lx template=%s", path, access, share,
      Null(security), creation, flags, Null(templateFile));
  if (g_fake.createFails) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return kFile;
}

BOOL WINAPI FakeCloseHandle(HANDLE file) {
  Log("CloseHandle %s", file == kFile ? "file" : "other");
  return TRUE;
}

BOOL WINAPI FakeInitialize(HANDLE file, PWINUSB_INTERFACE_HANDLE handle) {
  Log("WinUsb_Initialize %s", file == kFile ? "file" : "other");
  if (g_fake.initializeFails) {
    *handle = reinterpret_cast<WINUSB_INTERFACE_HANDLE>(0xBAD);  // what a failed start may leave behind
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  *handle = kInterface;
  return TRUE;
}

BOOL WINAPI FakeQuerySettings(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate, PUSB_INTERFACE_DESCRIPTOR descriptor) {
  Log("WinUsb_QueryInterfaceSettings %s alternate=%u", handle == kInterface ? "interface" : "other", alternate);
  if (g_fake.settingsFail) return FALSE;
  *descriptor = {};
  descriptor->bNumEndpoints = static_cast<UCHAR>(g_fake.endpoints.size());
  return TRUE;
}

BOOL WINAPI FakeQueryPipe(WINUSB_INTERFACE_HANDLE, UCHAR alternate, UCHAR index, PWINUSB_PIPE_INFORMATION pipe) {
  Log("WinUsb_QueryPipe alternate=%u index=%u", alternate, index);
  if (index == g_fake.queryPipeFailsAt) return FALSE;
  *pipe = {};
  pipe->PipeType = UsbdPipeTypeBulk;
  pipe->PipeId = g_fake.endpoints.at(index);
  pipe->MaximumPacketSize = 64;
  return TRUE;
}

BOOL WINAPI FakeSetPipePolicy(WINUSB_INTERFACE_HANDLE, UCHAR pipe, ULONG policy, ULONG length, PVOID value) {
  ULONG word = 0;
  if (length == sizeof word) std::memcpy(&word, value, sizeof word);
  Log("WinUsb_SetPipePolicy pipe=0x%02x policy=%lu length=%lu value=%lu", pipe, policy, length, word);
  return TRUE;
}

BOOL WINAPI FakeWritePipe(WINUSB_INTERFACE_HANDLE, UCHAR pipe, PUCHAR, ULONG length, PULONG done,
                          LPOVERLAPPED overlapped) {
  Log("WinUsb_WritePipe pipe=0x%02x length=%lu overlapped=%s", pipe, length, Null(overlapped));
  if (g_fake.writeError != 0) {
    *done = 0;
    SetLastError(g_fake.writeError);
    return FALSE;
  }
  *done = length;
  return TRUE;
}

BOOL WINAPI FakeReadPipe(WINUSB_INTERFACE_HANDLE, UCHAR pipe, PUCHAR buffer, ULONG length, PULONG done,
                         LPOVERLAPPED overlapped) {
  Log("WinUsb_ReadPipe pipe=0x%02x length=%lu overlapped=%s", pipe, length, Null(overlapped));
  if (g_fake.readError != 0) {
    *done = 0;
    SetLastError(g_fake.readError);
    return FALSE;
  }
  std::memcpy(buffer, &g_fake.answer, sizeof g_fake.answer);
  *done = sizeof g_fake.answer;
  return TRUE;
}

BOOL WINAPI FakeAbortPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe) {
  Log("WinUsb_AbortPipe %s pipe=0x%02x", handle == kInterface ? "interface" : "other", pipe);
  return TRUE;
}

BOOL WINAPI FakeFree(WINUSB_INTERFACE_HANDLE handle) {
  Log("WinUsb_Free %s", handle == kInterface ? "interface" : "other");
  return TRUE;
}

WinUsbApi FakeApi() {
  WinUsbApi api{};
  api.SetupDiGetClassDevsA = FakeGetClassDevs;
  api.SetupDiEnumDeviceInterfaces = FakeEnumInterfaces;
  api.SetupDiGetDeviceInterfaceDetailA = FakeGetDetail;
  api.SetupDiGetDeviceRegistryPropertyW = FakeGetProperty;
  api.SetupDiDestroyDeviceInfoList = FakeDestroyList;
  api.CreateFileA = FakeCreateFile;
  api.CloseHandle = FakeCloseHandle;
  api.WinUsb_Initialize = FakeInitialize;
  api.WinUsb_QueryInterfaceSettings = FakeQuerySettings;
  api.WinUsb_QueryPipe = FakeQueryPipe;
  api.WinUsb_SetPipePolicy = FakeSetPipePolicy;
  api.WinUsb_WritePipe = FakeWritePipe;
  api.WinUsb_ReadPipe = FakeReadPipe;
  api.WinUsb_AbortPipe = FakeAbortPipe;
  api.WinUsb_Free = FakeFree;
  return api;
}

const std::string kPath = "\\\\?\\usb#vid_7a31&pid_acdc#0001#{c0850fa1-2b83-47db-bcb7-738ab1a8b498}";
const std::string kOtherPath = "\\\\?\\usb#vid_7a31&pid_acdc#0002#{c0850fa1-2b83-47db-bcb7-738ab1a8b498}";

std::string DetailSize(const std::string& path) {
  return std::to_string(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
}

// The calls that find and open the one interface at kPath, up to the start of WinUSB.
std::vector<std::string> FindAndOpenCalls() {
  return {
      "SetupDiGetClassDevsA tavik enumerator=null window=null flags=0x12",
      "SetupDiEnumDeviceInterfaces list=ok device=null index=0 cbSize=32",
      "SetupDiGetDeviceInterfaceDetailA size=0 buffer=null device=null",
      "SetupDiGetDeviceInterfaceDetailA size=" + DetailSize(kPath) + " cbSize=8 device.cbSize=32",
      "SetupDiDestroyDeviceInfoList list=ok",
      "CreateFileA " + kPath + " access=0xc0000000 share=0x3 security=null creation=3 flags=0x40000080 template=null",
      "WinUsb_Initialize file",
  };
}

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::vector<std::string> kCloseCalls = {
    "WinUsb_AbortPipe interface pipe=0x02",
    "WinUsb_AbortPipe interface pipe=0x81",
    "CloseHandle file",
    "WinUsb_Free interface",
};

class WinUsbPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_fake = FakeSystem{};
    g_fake.interfaces = {{kPath, L"Port_#0001.Hub_#0001"}};
  }

  int Open() {
    loader_.checkLocation = 0;
    loader_.interfaceGuid = TAVIK_INTERFACE_GUID;
    return loader_.OpenUsbConnection();
  }

  void ExpectClosed() {
    EXPECT_EQ(loader_.connected, 0);
    EXPECT_EQ(loader_.deviceHandle, UsbInvalidHandle());
    EXPECT_EQ(loader_.winUsbHandle, UsbInvalidHandle());
    EXPECT_EQ(loader_.pipeIn, 0);
    EXPECT_EQ(loader_.pipeOut, 0);
  }

  TraceCapture trace_;
  WinUsbPlatform platform_{FakeApi()};
  VirtualClock clock_;
  PostedMessageQueue poster_;
  UsbFwLoader loader_{DeviceLinkContext{&platform_, &clock_, &poster_, nullptr}};
};

TEST_F(WinUsbPlatformTest, OpensWithThePlatformsFlagsSizesAndPoliciesAndClosesInOrder) {
  ASSERT_EQ(Open(), 1);
  EXPECT_EQ(g_fake.calls, Join(FindAndOpenCalls(), {
                                                       "WinUsb_QueryInterfaceSettings interface alternate=0",
                                                       "WinUsb_QueryPipe alternate=0 index=0",
                                                       "WinUsb_SetPipePolicy pipe=0x81 policy=2 length=4 value=1",
                                                       "WinUsb_QueryPipe alternate=0 index=1",
                                                       "WinUsb_SetPipePolicy pipe=0x02 policy=2 length=4 value=1",
                                                   }));
  EXPECT_EQ(loader_.connected, 1);
  EXPECT_EQ(loader_.pipeIn, 0x81);
  EXPECT_EQ(loader_.pipeOut, 0x02);
  EXPECT_EQ(loader_.deviceHandle, kFile);
  EXPECT_EQ(loader_.winUsbHandle, kInterface);
  EXPECT_TRUE(trace_.Lines().empty());

  g_fake.calls.clear();
  loader_.CloseUsbConnection();
  EXPECT_EQ(g_fake.calls, kCloseCalls);
  ExpectClosed();

  g_fake.calls.clear();
  loader_.CloseUsbConnection();
  EXPECT_TRUE(g_fake.calls.empty());
}

TEST_F(WinUsbPlatformTest, FailedOpensTraceTheirCauseAndCloseWhatWasOpened) {
  struct Case {
    const char* name;
    void (*arrange)();
    std::vector<std::string> traces;
    std::vector<std::string> lastCalls;  // the calls that end the sequence
  };
  const std::vector<Case> cases = {
      {"no list",
       [] { g_fake.classDevsFails = true; },
       {},
       {"SetupDiGetClassDevsA tavik enumerator=null window=null flags=0x12"}},
      {"no interface",
       [] { g_fake.interfaces.clear(); },
       {},
       {"SetupDiEnumDeviceInterfaces list=ok device=null index=0 cbSize=32", "SetupDiDestroyDeviceInfoList list=ok"}},
      {"detail size",
       [] { g_fake.detailSizeError = ERROR_ACCESS_DENIED; },
       {"[Tavik_FW_Update] OpenUsbConnection-SetupDiGetDeviceInterfaceDetail failed!\r\n"},
       {"SetupDiGetDeviceInterfaceDetailA size=0 buffer=null device=null", "SetupDiDestroyDeviceInfoList list=ok"}},
      {"detail",
       [] { g_fake.detailFails = true; },
       {"[Tavik_FW_Update] OpenUsbConnection-SetupDiGetDeviceInterfaceDetail failed!\r\n"},
       {"SetupDiGetDeviceInterfaceDetailA size=" + DetailSize(kPath) + " cbSize=8 device.cbSize=32",
        "SetupDiDestroyDeviceInfoList list=ok"}},
      {"create file",
       [] { g_fake.createFails = true; },
       {"[Tavik_FW_Update] OpenUsbConnection-CreateFile failed!\r\n"},
       {"SetupDiDestroyDeviceInfoList list=ok", FindAndOpenCalls()[5]}},
      {"initialize",
       [] { g_fake.initializeFails = true; },
       {"[Tavik_FW_Update] OpenUsbConnection-CreateFile failed!\r\n"},
       {"WinUsb_Initialize file", "CloseHandle file"}},
      {"settings",
       [] { g_fake.settingsFail = true; },
       {"[Tavik_FW_Update] OpenUsbConnection-WinUsb_QueryInterfaceSettings failed!\r\n"},
       {"WinUsb_QueryInterfaceSettings interface alternate=0", "WinUsb_AbortPipe interface pipe=0x00",
        "WinUsb_AbortPipe interface pipe=0x00", "CloseHandle file", "WinUsb_Free interface"}},
      {"query pipe",
       [] { g_fake.queryPipeFailsAt = 1; },
       {"[Tavik_FW_Update] OpenUsbConnection-WinUsb_QueryPipe failed!\r\n"},
       {"WinUsb_QueryPipe alternate=0 index=1", "WinUsb_AbortPipe interface pipe=0x00",
        "WinUsb_AbortPipe interface pipe=0x81", "CloseHandle file", "WinUsb_Free interface"}},
      {"all IN",
       [] {
         g_fake.endpoints = {0x81, 0x82};
       },
       {"[Tavik_FW_Update] OpenUsbConnection-WinUsb_QueryPipe failed!\r\n"},
       {"WinUsb_SetPipePolicy pipe=0x82 policy=2 length=4 value=1", "WinUsb_AbortPipe interface pipe=0x00",
        "WinUsb_AbortPipe interface pipe=0x82", "CloseHandle file", "WinUsb_Free interface"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    trace_.Clear();
    c.arrange();
    EXPECT_EQ(Open(), 0);
    EXPECT_EQ(trace_.Lines(), c.traces);
    ASSERT_GE(g_fake.calls.size(), c.lastCalls.size());
    EXPECT_EQ(std::vector<std::string>(g_fake.calls.end() - c.lastCalls.size(), g_fake.calls.end()), c.lastCalls);
    ExpectClosed();
  }
}

TEST_F(WinUsbPlatformTest, LocationCheckTakesTheMatchingUnitAndGoesOnPastAnUnreadableLocation) {
  g_fake.interfaces = {{kPath, L"Port_#0001.Hub_#0001"}, {kOtherPath, L"Port_#0002.Hub_#0001"}};
  loader_.checkLocation = 1;
  loader_.interfaceGuid = TAVIK_INTERFACE_GUID;
  std::strcpy(loader_.locationId, "Port_#0002.Hub_#0001");
  ASSERT_EQ(loader_.OpenUsbConnection(), 1);
  EXPECT_TRUE(trace_.Lines().empty());
  EXPECT_EQ(
      std::count(g_fake.calls.begin(), g_fake.calls.end(), "SetupDiGetDeviceRegistryPropertyW property=13 size=0"), 2);
  EXPECT_NE(std::find(g_fake.calls.begin(), g_fake.calls.end(),
                      "CreateFileA " + kOtherPath +
                          " access=0xc0000000 share=0x3 security=null creation=3 flags=0x40000080 template=null"),
            g_fake.calls.end());
  loader_.CloseUsbConnection();

  g_fake.locationFails = true;
  g_fake.calls.clear();
  EXPECT_EQ(loader_.OpenUsbConnection(), 0);
  EXPECT_EQ(trace_.Lines(), std::vector<std::string>(
                                2, "[Tavik_FW_Update] CheckLocationID->SetupDiGetDeviceRegistryProperty failed!\r\n"));
  EXPECT_EQ(g_fake.calls.back(), "SetupDiDestroyDeviceInfoList list=ok");
}

TEST_F(WinUsbPlatformTest, DeviceIdsComeFromTheFirstHardwareIdThatNamesBothWithoutOpeningTheDevice) {
  struct Case {
    const char* name;
    std::wstring hardwareIds;
    DWORD propertyError;
    bool ok;
    UsbDeviceIds ids;
    DWORD error;
  };
  const std::vector<Case> cases = {
      {"the unit", FakeInterface{}.hardwareIds, 0, true, {0x7A31, 0xACDC}, 0},
      {"an interface of a composite device, lower case",
       HardwareIds({L"USB\\vid_7a31&pid_acdd&rev_0100&mi_01"}),
       0,
       true,
       {0x7A31, 0xACDD},
       0},
      {"the first id names neither",
       HardwareIds({L"USB\\COMPOSITE", L"USB\\VID_1234&PID_00fF"}),
       0,
       true,
       {0x1234, 0x00FF},
       0},
      {"three hex digits", HardwareIds({L"USB\\VID_7A3&PID_ACDC"}), 0, false, {}, ERROR_INVALID_DATA},
      {"no product id", HardwareIds({L"USB\\VID_7A31"}), 0, false, {}, ERROR_INVALID_DATA},
      {"an empty list", L"", 0, false, {}, ERROR_INVALID_DATA},
      {"the ids after the list's end",
       std::wstring(L"\0USB\\VID_7A31&PID_ACDC\0", 23),
       0,
       false,
       {},
       ERROR_INVALID_DATA},
      {"the property cannot be read",
       FakeInterface{}.hardwareIds,
       ERROR_NO_SUCH_DEVINST,
       false,
       {},
       ERROR_NO_SUCH_DEVINST},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    g_fake.interfaces[0].hardwareIds = c.hardwareIds;
    g_fake.hardwareIdError = c.propertyError;
    UsbDeviceList list = platform_.GetClassDevs(TAVIK_INTERFACE_GUID);
    ASSERT_NE(list, nullptr);
    UsbInterfaceRef iface{};
    ASSERT_TRUE(platform_.EnumDeviceInterfaces(list, TAVIK_INTERFACE_GUID, 0, &iface));
    std::vector<std::uint8_t> detail(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + kPath.size() + 1);
    UsbDeviceRef device{};
    std::uint32_t size = 0;
    ASSERT_TRUE(platform_.GetDeviceInterfaceDetail(list, iface, detail.data(),
                                                   static_cast<std::uint32_t>(detail.size()), &size, &device));
    g_fake.calls.clear();

    UsbDeviceIds ids{0xEEEE, 0xEEEE};
    EXPECT_EQ(platform_.GetDeviceIds(list, device, &ids), c.ok);
    if (c.ok) {
      EXPECT_EQ(ids.vendorId, c.ids.vendorId);
      EXPECT_EQ(ids.productId, c.ids.productId);
    } else {
      EXPECT_EQ(platform_.LastError(), c.error);
      EXPECT_EQ(ids.vendorId, 0xEEEE);
    }
    // Only the property is read: nothing is opened.
    ASSERT_FALSE(g_fake.calls.empty());
    for (const std::string& call : g_fake.calls) {
      EXPECT_EQ(call.rfind("SetupDiGetDeviceRegistryPropertyW property=1 ", 0), 0u) << call;
    }
    platform_.DestroyDeviceInfoList(list);
  }
}

TEST_F(WinUsbPlatformTest, ALongDevicePathIsCutTo258Characters) {
  const std::string longPath = "\\\\?\\usb#" + std::string(300, 'p');
  g_fake.interfaces = {{longPath, L""}};
  ASSERT_EQ(Open(), 1);
  EXPECT_EQ(g_fake.calls[5],
            "CreateFileA " + longPath.substr(0, 258) +
                " access=0xc0000000 share=0x3 security=null creation=3 flags=0x40000080 template=null");
}

TEST_F(WinUsbPlatformTest, ExchangeSetsBothTimeoutsAndTransfersSynchronously) {
  ASSERT_EQ(Open(), 1);
  g_fake.answer.BlockID = BLK_ACK;
  g_fake.answer.BlockCRC = Crc32(&g_fake.answer, BLOCK_CRC_OFFSET);
  g_fake.calls.clear();

  UsbBlock erase{};
  erase.BlockID = BLK_ERASE;
  erase.BlockAddress = 0x20000;
  erase.BlockLength = 0x10000;
  EXPECT_EQ(loader_.WriteUsbPipeData(erase, 20000, 0), FWL_OK);
  EXPECT_EQ(g_fake.calls, (std::vector<std::string>{
                              "WinUsb_SetPipePolicy pipe=0x02 policy=3 length=4 value=1000",
                              "WinUsb_WritePipe pipe=0x02 length=272 overlapped=null",
                              "WinUsb_SetPipePolicy pipe=0x81 policy=3 length=4 value=20000",
                              "WinUsb_ReadPipe pipe=0x81 length=272 overlapped=null",
                          }));
  EXPECT_TRUE(trace_.Lines().empty());
}

TEST_F(WinUsbPlatformTest, TransferFailuresTraceTheSystemsErrorCode) {
  ASSERT_EQ(Open(), 1);
  g_fake.writeError = ERROR_GEN_FAILURE;
  EXPECT_EQ(loader_.SendUsbCommand(BLK_PING, 0, 0, 1000), FWL_ERR_FAILED);
  g_fake.writeError = 0;
  g_fake.readError = ERROR_SEM_TIMEOUT;
  EXPECT_EQ(loader_.SendUsbCommand(BLK_PING, 0, 0, 1000), FWL_ERR_FAILED);
  EXPECT_EQ(trace_.Lines(),
            (std::vector<std::string>{
                "[Tavik_FW_Update] WriteUsbPipeData: WinUsb_WritePipe() failed! error = 31, bytesWritten = 0\r\n",
                "[Tavik_FW_Update] WriteUsbPipeData: USBDev_PipeRd() failed! error = 121, bytesWritten = 0\r\n",
            }));
}

TEST_F(WinUsbPlatformTest, MissingWinUsbEntryPointsFailTheOpenAndCloseTheFile) {
  WinUsbApi api = FakeApi();
  api.WinUsb_Initialize = nullptr;
  api.WinUsb_QueryInterfaceSettings = nullptr;
  api.WinUsb_QueryPipe = nullptr;
  api.WinUsb_SetPipePolicy = nullptr;
  api.WinUsb_WritePipe = nullptr;
  api.WinUsb_ReadPipe = nullptr;
  api.WinUsb_AbortPipe = nullptr;
  api.WinUsb_Free = nullptr;
  WinUsbPlatform platform(api);
  UsbInterfaceHandle handle = UsbInvalidHandle();
  EXPECT_FALSE(platform.InitializeInterface(kFile, &handle));
  EXPECT_EQ(platform.LastError(), static_cast<std::uint32_t>(ERROR_PROC_NOT_FOUND));
  EXPECT_EQ(handle, UsbInvalidHandle());

  UsbFwLoader loader(DeviceLinkContext{&platform, &clock_, &poster_, nullptr});
  loader.interfaceGuid = TAVIK_INTERFACE_GUID;
  EXPECT_EQ(loader.OpenUsbConnection(), 0);
  EXPECT_EQ(trace_.Lines(), std::vector<std::string>{"[Tavik_FW_Update] OpenUsbConnection-CreateFile failed!\r\n"});
  EXPECT_EQ(g_fake.calls.back(), "CloseHandle file");
}

// The system's own entry points: every WinUSB export resolves (none is called: Wine's abort), and SetupAPI
// lists no unit, so the real program's device link opens nothing and traces nothing.
TEST(WinUsbSystem, ResolvesEveryEntryPointAndFindsNoUnitHere) {
  WinUsbLibrary library;
  ASSERT_NE(library.Module(), nullptr);
  const WinUsbApi api = SystemWinUsbApi(library.Module());
  EXPECT_NE(api.WinUsb_Initialize, nullptr);
  EXPECT_NE(api.WinUsb_QueryInterfaceSettings, nullptr);
  EXPECT_NE(api.WinUsb_QueryPipe, nullptr);
  EXPECT_NE(api.WinUsb_SetPipePolicy, nullptr);
  EXPECT_NE(api.WinUsb_WritePipe, nullptr);
  EXPECT_NE(api.WinUsb_ReadPipe, nullptr);
  EXPECT_NE(api.WinUsb_AbortPipe, nullptr);
  EXPECT_NE(api.WinUsb_Free, nullptr);

  TraceCapture trace;
  const DeviceLinkContext context = ProgramContext().DeviceLink();
  EXPECT_EQ(context.usb, &PlatformUsb());
  UsbPort port(context);
  port.interfaceGuid = TAVIK_INTERFACE_GUID;
  EXPECT_EQ(port.OpenUsbConnection(), 0);
  EXPECT_TRUE(trace.Lines().empty());
  EXPECT_EQ(port.deviceHandle, UsbInvalidHandle());
}
}  // namespace
