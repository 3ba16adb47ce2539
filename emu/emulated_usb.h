#pragma once
// The emulated USB bus: the UsbPlatform that the device link runs on in the tests and the demo, with the
// emulated units attached to it. It keeps the device lists, device files and interfaces that the host opens
// (so tests can assert that nothing leaks), counts every platform call, can make a chosen call fail, and
// reports misuse (a handle closed twice, a transfer on a pipe the unit lacks) as a violation.
//
//   VirtualClock clock;
//   EmulatedUsb usb(clock);
//   EmulatedUnit& unit = usb.AddUnit();              // a unit in its bootloader, all three slots valid
//   unit.AddFault({.kind = FaultKind::BadCrc, .blockId = BLK_GET_HWID});
//   ... run the device link on &usb and &clock ...
//   EXPECT_NO_USB_VIOLATIONS(usb);                   // tests/support/emu_violations.h

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emu/emulated_unit.h"
#include "usb/usb_platform.h"

class Clock;

// The platform calls, for counting and for failing on demand.
enum class UsbCall {
  GetClassDevs,
  EnumDeviceInterfaces,
  GetDeviceInterfaceDetail,
  DetailDevicePath,
  GetDeviceLocation,
  GetDeviceIds,
  DestroyDeviceInfoList,
  OpenDeviceFile,
  CloseDeviceFile,
  InitializeInterface,
  QueryInterfaceSettings,
  QueryPipe,
  SetPipePolicy,
  WritePipe,
  ReadPipe,
  AbortPipe,
  FreeInterface,
  LastError,
  Count
};

// Reports every violation of every unit and bus (unless the unit expects violations); the test support sets
// one that fails the running test. Null: none.
using UsbViolationSink = void (*)(const std::string& text);
void SetUsbViolationSink(UsbViolationSink sink);
// Hands a violation to the sink, if one is set.
void ReportUsbViolation(const std::string& text);

class EmulatedUsb final : public UsbPlatform {
 public:
  explicit EmulatedUsb(Clock& clock);
  ~EmulatedUsb() override;
  EmulatedUsb(const EmulatedUsb&) = delete;
  EmulatedUsb& operator=(const EmulatedUsb&) = delete;

  // Attaches a unit; units are listed in the order they were added.
  EmulatedUnit& AddUnit(const UnitConfig& config = {});
  EmulatedUnit& Unit(std::size_t index);
  std::size_t UnitCount() const;
  Clock& GetClock() { return clock_; }

  // Open handles: device lists, device files, interfaces.
  std::size_t OpenDeviceLists() const;
  std::size_t OpenDeviceFiles() const;
  std::size_t OpenInterfaces() const;
  std::size_t OpenHandleCount() const;

  // Platform calls made so far.
  std::uint64_t CallCount(UsbCall call) const;
  std::uint64_t TotalCallCount() const;  // LastError not included
  void ResetCallCounts();
  // Makes the call of this kind fail with `error`, after `skip` calls of that kind have passed.
  void FailCall(UsbCall call, std::uint32_t error, std::uint32_t skip = 0);
  std::string LastOpenedPath() const;
  // Lists the units by port number, as a host that enumerates by port path does: a unit that comes back on a
  // higher port is listed after the others. Off: in the order they were added.
  void SetListedByPort(bool byPort);

  // Misuse of the bus (bad handles) plus the violations of every unit.
  std::vector<std::string> Violations() const;
  void ClearViolations();
  // For tests of the checks themselves: this bus's and its units' violations are recorded but not reported.
  void SetViolationsExpected(bool expected);

  // UsbPlatform.
  UsbDeviceList GetClassDevs(const Guid& interfaceClass) override;
  bool EnumDeviceInterfaces(UsbDeviceList list, const Guid& interfaceClass, std::uint32_t memberIndex,
                            UsbInterfaceRef* iface) override;
  bool GetDeviceInterfaceDetail(UsbDeviceList list, const UsbInterfaceRef& iface, void* detail,
                                std::uint32_t detailSize, std::uint32_t* requiredSize, UsbDeviceRef* device) override;
  const char* DetailDevicePath(const void* detail) override;
  bool GetDeviceLocation(UsbDeviceList list, const UsbDeviceRef& device, void* buffer, std::uint32_t bufferSize,
                         std::uint32_t* requiredSize) override;
  bool GetDeviceIds(UsbDeviceList list, const UsbDeviceRef& device, UsbDeviceIds* ids) override;
  void DestroyDeviceInfoList(UsbDeviceList list) override;
  UsbFileHandle OpenDeviceFile(const char* path) override;
  bool CloseDeviceFile(UsbFileHandle file) override;
  bool InitializeInterface(UsbFileHandle file, UsbInterfaceHandle* handle) override;
  bool QueryInterfaceSettings(UsbInterfaceHandle handle, std::uint8_t alternateIndex,
                              UsbInterfaceDescriptor* descriptor) override;
  bool QueryPipe(UsbInterfaceHandle handle, std::uint8_t alternateIndex, std::uint8_t pipeIndex,
                 UsbPipeInformation* pipe) override;
  bool SetPipePolicy(UsbInterfaceHandle handle, std::uint8_t pipeId, std::uint32_t policyType,
                     std::uint32_t valueLength, const void* value) override;
  bool WritePipe(UsbInterfaceHandle handle, std::uint8_t pipeId, const std::uint8_t* buffer, std::uint32_t length,
                 std::uint32_t* transferred) override;
  bool ReadPipe(UsbInterfaceHandle handle, std::uint8_t pipeId, std::uint8_t* buffer, std::uint32_t length,
                std::uint32_t* transferred) override;
  bool AbortPipe(UsbInterfaceHandle handle, std::uint8_t pipeId) override;
  bool FreeInterface(UsbInterfaceHandle handle) override;
  std::uint32_t LastError() override;

 private:
  friend class EmulatedUnit;
  struct DeviceList;
  struct DeviceFile;
  struct Interface;
  struct FailRule {
    UsbCall call;
    std::uint32_t error;
    std::uint32_t skip;
  };

  // Each runs with the lock held.
  bool Enter(UsbCall call);  // counts the call, refreshes presence; false when the call is to fail
  bool Fail(std::uint32_t error);
  void Misuse(std::string text);
  DeviceList* FindList(UsbDeviceList list);
  DeviceFile* FindFile(UsbFileHandle file);
  Interface* FindInterface(UsbInterfaceHandle handle);
  bool Alive(const EmulatedUnit& unit, std::uint64_t epoch) const;

  Clock& clock_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<EmulatedUnit>> units_;
  std::vector<std::unique_ptr<DeviceList>> lists_;
  std::vector<std::unique_ptr<DeviceFile>> files_;
  std::vector<std::unique_ptr<Interface>> interfaces_;
  std::array<std::uint64_t, static_cast<std::size_t>(UsbCall::Count)> calls_{};
  std::vector<FailRule> failRules_;
  std::string lastOpenedPath_;
  std::vector<std::string> violations_;
  bool violationsExpected_ = false;
  bool listedByPort_ = false;
};
