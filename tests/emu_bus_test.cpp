// The emulated bus as a UsbPlatform: enumeration, device files, interfaces, pipes, handles and call counts.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/clock.h"
#include "emu/emulated_usb.h"
#include "support/emu_host.h"
#include "support/emu_violations.h"

namespace {
constexpr Guid OTHER_GUID = {0x12345678, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};

struct EmuBus : ::testing::Test {
  VirtualClock clock;
  EmulatedUsb usb{clock};

  void TearDown() override { EXPECT_NO_USB_VIOLATIONS(usb); }

  // The paths of the interfaces of a class, in enumeration order.
  std::vector<std::string> ListPaths(const Guid& guid = TAVIK_INTERFACE_GUID) {
    std::vector<std::string> paths;
    UsbDeviceList list = usb.GetClassDevs(guid);
    EXPECT_NE(list, nullptr);
    UsbInterfaceRef iface{};
    for (std::uint32_t i = 0; usb.EnumDeviceInterfaces(list, guid, i, &iface); ++i) {
      std::uint32_t size = 0;
      EXPECT_FALSE(usb.GetDeviceInterfaceDetail(list, iface, nullptr, 0, &size, nullptr));
      EXPECT_EQ(usb.LastError(), WIN_ERROR_INSUFFICIENT_BUFFER);
      std::vector<std::uint8_t> detail(size);
      EXPECT_TRUE(usb.GetDeviceInterfaceDetail(list, iface, detail.data(), size, nullptr, nullptr));
      paths.emplace_back(usb.DetailDevicePath(detail.data()));
    }
    EXPECT_EQ(usb.LastError(), WIN_ERROR_NO_MORE_ITEMS);
    usb.DestroyDeviceInfoList(list);
    return paths;
  }
};

TEST_F(EmuBus, ListsPresentUnitsOfTheClassInTheOrderAdded) {
  UnitConfig other;
  other.interfaceGuid = OTHER_GUID;
  other.devicePath = "other";
  UnitConfig first;
  first.devicePath = "first";
  UnitConfig second;
  second.devicePath = "second";
  second.productId = UNIT_PRODUCT_ID_ALT;
  usb.AddUnit(other);
  usb.AddUnit(first);
  EmulatedUnit& absent = usb.AddUnit(UnitConfig{});
  usb.AddUnit(second);
  absent.Unplug();

  EXPECT_EQ(ListPaths(), (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(ListPaths(OTHER_GUID), (std::vector<std::string>{"other"}));
  EXPECT_EQ(usb.OpenHandleCount(), 0u);
}

TEST_F(EmuBus, NoUnitGivesAnEmptyList) { EXPECT_TRUE(ListPaths().empty()); }

TEST_F(EmuBus, DefaultPathAndLocationCarryTheIdsAndTheUnitsNumber) {
  usb.AddUnit();
  UnitConfig alt;
  alt.productId = UNIT_PRODUCT_ID_ALT;
  EmulatedUnit& second = usb.AddUnit(alt);
  EXPECT_EQ(ListPaths(), (std::vector<std::string>{
                             "\\\\?\\usb#vid_7a31&pid_acdc#6&2f1e3a7b&0&1#{c0850fa1-2b83-47db-bcb7-738ab1a8b498}",
                             "\\\\?\\usb#vid_7a31&pid_acdd#6&2f1e3a7b&0&2#{c0850fa1-2b83-47db-bcb7-738ab1a8b498}"}));
  EXPECT_EQ(second.Location(), "Port_#0002.Hub_#0001");
}

TEST_F(EmuBus, DetailTooSmallFailsWithTheRequiredSize) {
  UnitConfig config;
  config.devicePath = std::string(300, 'p');  // longer than the host's 258 characters
  usb.AddUnit(config);
  UsbDeviceList list = usb.GetClassDevs(TAVIK_INTERFACE_GUID);
  UsbInterfaceRef iface{};
  ASSERT_TRUE(usb.EnumDeviceInterfaces(list, TAVIK_INTERFACE_GUID, 0, &iface));
  std::uint32_t size = 0;
  ASSERT_FALSE(usb.GetDeviceInterfaceDetail(list, iface, nullptr, 0, &size, nullptr));
  EXPECT_EQ(size, 4u + 300u + 1u);
  std::vector<std::uint8_t> detail(size);
  EXPECT_FALSE(usb.GetDeviceInterfaceDetail(list, iface, detail.data(), size - 1, &size, nullptr));
  EXPECT_EQ(usb.LastError(), WIN_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_TRUE(usb.GetDeviceInterfaceDetail(list, iface, detail.data(), size, nullptr, nullptr));
  EXPECT_EQ(std::string(usb.DetailDevicePath(detail.data())), config.devicePath);
  usb.DestroyDeviceInfoList(list);

  // The path cut to 258 characters names no device.
  EXPECT_EQ(usb.OpenDeviceFile(config.devicePath.substr(0, 258).c_str()), UsbInvalidHandle());
  EXPECT_EQ(usb.LastError(), WIN_ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(usb.LastOpenedPath(), config.devicePath.substr(0, 258));
}

TEST_F(EmuBus, LocationIsUtf16WithASizeQuery) {
  UnitConfig config;
  config.location = "Port_#0003.Hub_#0002";
  usb.AddUnit(config);
  UsbDeviceList list = usb.GetClassDevs(TAVIK_INTERFACE_GUID);
  UsbInterfaceRef iface{};
  ASSERT_TRUE(usb.EnumDeviceInterfaces(list, TAVIK_INTERFACE_GUID, 0, &iface));
  std::uint32_t size = 0;
  usb.GetDeviceInterfaceDetail(list, iface, nullptr, 0, &size, nullptr);
  std::vector<std::uint8_t> detail(size);
  UsbDeviceRef device{};
  ASSERT_TRUE(usb.GetDeviceInterfaceDetail(list, iface, detail.data(), size, nullptr, &device));

  std::uint32_t required = 0;
  ASSERT_FALSE(usb.GetDeviceLocation(list, device, nullptr, 0, &required));
  EXPECT_EQ(usb.LastError(), WIN_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(required, (config.location.size() + 1) * 2);
  std::vector<std::uint16_t> text(required / 2, 0xAAAA);
  ASSERT_TRUE(usb.GetDeviceLocation(list, device, text.data(), required, &required));
  EXPECT_EQ(std::u16string(text.begin(), text.end() - 1), u"Port_#0003.Hub_#0002");
  EXPECT_EQ(text.back(), 0);
  usb.DestroyDeviceInfoList(list);
}

// The endpoint sets a unit can expose, as QueryInterfaceSettings and QueryPipe report them.
TEST_F(EmuBus, EndpointSetsAreReportedAsConfigured) {
  const std::vector<std::vector<UsbPipeInformation>> sets = {
      {},
      {{USB_PIPE_BULK, 0x81, 64, 0}, {USB_PIPE_BULK, 0x82, 64, 0}},
      {{USB_PIPE_BULK, 0x01, 64, 0}, {USB_PIPE_BULK, 0x02, 64, 0}},
      {{USB_PIPE_INTERRUPT, 0x83, 8, 10}, {USB_PIPE_BULK, 0x81, 64, 0}, {USB_PIPE_BULK, 0x01, 64, 0}},
  };
  for (const auto& endpoints : sets) {
    VirtualClock c;
    EmulatedUsb bus(c);
    UnitConfig config;
    config.endpoints = endpoints;
    EmulatedUnit& unit = bus.AddUnit(config);
    UsbFileHandle file = bus.OpenDeviceFile(unit.DevicePath().c_str());
    ASSERT_NE(file, UsbInvalidHandle());
    UsbInterfaceHandle handle = UsbInvalidHandle();
    ASSERT_TRUE(bus.InitializeInterface(file, &handle));
    UsbInterfaceDescriptor descriptor{};
    ASSERT_TRUE(bus.QueryInterfaceSettings(handle, 0, &descriptor));
    EXPECT_EQ(descriptor.bNumEndpoints, endpoints.size());
    for (std::uint8_t i = 0; i < endpoints.size(); ++i) {
      UsbPipeInformation pipe{};
      ASSERT_TRUE(bus.QueryPipe(handle, 0, i, &pipe));
      EXPECT_EQ(pipe.pipeId, endpoints[i].pipeId);
      EXPECT_EQ(pipe.pipeType, endpoints[i].pipeType);
    }
    UsbPipeInformation pipe{};
    EXPECT_FALSE(bus.QueryPipe(handle, 0, static_cast<std::uint8_t>(endpoints.size()), &pipe));
    EXPECT_EQ(bus.LastError(), WIN_ERROR_NO_MORE_ITEMS);
    EXPECT_FALSE(bus.QueryInterfaceSettings(handle, 1, &descriptor));
    EXPECT_TRUE(bus.FreeInterface(handle));
    EXPECT_TRUE(bus.CloseDeviceFile(file));
    EXPECT_EQ(bus.OpenHandleCount(), 0u);
    EXPECT_NO_USB_VIOLATIONS(bus);
  }
}

TEST_F(EmuBus, HandlesAreCountedUntilReleased) {
  EmulatedUnit& unit = usb.AddUnit();
  UsbDeviceList list = usb.GetClassDevs(TAVIK_INTERFACE_GUID);
  UsbFileHandle file = usb.OpenDeviceFile(unit.DevicePath().c_str());
  UsbInterfaceHandle handle = UsbInvalidHandle();
  ASSERT_TRUE(usb.InitializeInterface(file, &handle));
  EXPECT_EQ(usb.OpenDeviceLists(), 1u);
  EXPECT_EQ(usb.OpenDeviceFiles(), 1u);
  EXPECT_EQ(usb.OpenInterfaces(), 1u);
  EXPECT_EQ(usb.OpenHandleCount(), 3u);
  usb.DestroyDeviceInfoList(list);
  EXPECT_TRUE(usb.CloseDeviceFile(file));  // the file may close before the interface is freed
  EXPECT_TRUE(usb.FreeInterface(handle));
  EXPECT_EQ(usb.OpenHandleCount(), 0u);
}

TEST_F(EmuBus, ReleasingTwiceIsReportedAsMisuse) {
  usb.SetViolationsExpected(true);
  EmulatedUnit& unit = usb.AddUnit();
  UsbDeviceList list = usb.GetClassDevs(TAVIK_INTERFACE_GUID);
  UsbFileHandle file = usb.OpenDeviceFile(unit.DevicePath().c_str());
  UsbInterfaceHandle handle = UsbInvalidHandle();
  ASSERT_TRUE(usb.InitializeInterface(file, &handle));
  usb.DestroyDeviceInfoList(list);
  usb.FreeInterface(handle);
  usb.CloseDeviceFile(file);
  usb.DestroyDeviceInfoList(list);
  EXPECT_FALSE(usb.FreeInterface(handle));
  EXPECT_EQ(usb.LastError(), WIN_ERROR_INVALID_HANDLE);
  EXPECT_FALSE(usb.CloseDeviceFile(file));
  EXPECT_EQ(usb.LastError(), WIN_ERROR_INVALID_HANDLE);
  EXPECT_FALSE(usb.CloseDeviceFile(UsbInvalidHandle()));
  EXPECT_EQ(usb.Violations(), (std::vector<std::string>{
                                  "bus: DestroyDeviceInfoList on a device list that is not open",
                                  "bus: FreeInterface on an interface that is not open",
                                  "bus: CloseDeviceFile on a handle that is not open",
                                  "bus: CloseDeviceFile on a handle that is not open",
                              }));
  usb.ClearViolations();
}

TEST_F(EmuBus, CountsEveryCall) {
  usb.AddUnit();
  EmuHost host(usb);
  usb.ResetCallCounts();
  ASSERT_TRUE(host.Open());
  EXPECT_EQ(usb.CallCount(UsbCall::GetClassDevs), 1u);
  EXPECT_EQ(usb.CallCount(UsbCall::GetDeviceInterfaceDetail), 2u);
  EXPECT_EQ(usb.CallCount(UsbCall::QueryPipe), 2u);
  EXPECT_EQ(usb.CallCount(UsbCall::SetPipePolicy), 2u);
  host.Close();
  const std::uint64_t total = usb.TotalCallCount();
  EXPECT_EQ(usb.CallCount(UsbCall::AbortPipe), 2u);
  EXPECT_EQ(usb.CallCount(UsbCall::FreeInterface), 1u);
  host.Close();  // closed already: no call at all
  EXPECT_EQ(usb.TotalCallCount(), total);
}

TEST_F(EmuBus, FailCallFailsTheChosenCallOnce) {
  EmulatedUnit& unit = usb.AddUnit();
  usb.FailCall(UsbCall::OpenDeviceFile, WIN_ERROR_GEN_FAILURE, 1);
  UsbFileHandle first = usb.OpenDeviceFile(unit.DevicePath().c_str());
  EXPECT_NE(first, UsbInvalidHandle());
  EXPECT_EQ(usb.OpenDeviceFile(unit.DevicePath().c_str()), UsbInvalidHandle());
  EXPECT_EQ(usb.LastError(), WIN_ERROR_GEN_FAILURE);
  UsbFileHandle third = usb.OpenDeviceFile(unit.DevicePath().c_str());
  EXPECT_NE(third, UsbInvalidHandle());
  usb.CloseDeviceFile(first);
  usb.CloseDeviceFile(third);

  usb.FailCall(UsbCall::GetClassDevs, WIN_ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(usb.GetClassDevs(TAVIK_INTERFACE_GUID), nullptr);
  EXPECT_EQ(usb.LastError(), WIN_ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(usb.OpenHandleCount(), 0u);
}

TEST_F(EmuBus, PipePoliciesAreRecordedPerPipe) {
  EmulatedUnit& unit = usb.AddUnit();
  EmuHost host(usb);
  ASSERT_TRUE(host.Open());
  EXPECT_TRUE(unit.PipePolicy(0x81)->autoClearStall);
  EXPECT_TRUE(unit.PipePolicy(0x01)->autoClearStall);
  const std::uint32_t timeout = 20000;
  EXPECT_TRUE(usb.SetPipePolicy(host.Interface(), 0x81, USB_POLICY_PIPE_TRANSFER_TIMEOUT, 4, &timeout));
  EXPECT_EQ(unit.PipePolicy(0x81)->transferTimeoutMs, 20000u);
  EXPECT_EQ(unit.PipePolicy(0x01)->transferTimeoutMs, 0u);
  EXPECT_FALSE(unit.PipePolicy(0x02).has_value());
  const std::uint16_t shortValue = 5;
  EXPECT_FALSE(usb.SetPipePolicy(host.Interface(), 0x81, USB_POLICY_PIPE_TRANSFER_TIMEOUT, 2, &shortValue));
  EXPECT_EQ(usb.LastError(), WIN_ERROR_INVALID_PARAMETER);
}

// Two units swapped between their ports, as a person does: both taken off, each plugged in at the other's port.
// Each takes the other's location and device path, also a unit that otherwise comes back on another port (after
// its enumeration delay); its next return of its own moves on from the port it was given. A unit on the bus
// stays where it is.
TEST_F(EmuBus, PlugInAtPutsTheUnitOnThatPort) {
  struct Case {
    const char* name;
    bool newPortOnReturn;
    std::uint32_t enumerationDelayMs;
    const char* nextReturn;  // where the first unit sits after it is plugged in again on its own
  };
  const Case cases[] = {
      {"plain unit", false, 0, "Port_#0002.Hub_#0001"},
      {"another port on return, late", true, 800, "Port_#0018.Hub_#0001"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualClock caseClock;
    EmulatedUsb bus(caseClock);
    UnitConfig config;
    config.newPortOnReturn = c.newPortOnReturn;
    config.enumerationDelayMs = c.enumerationDelayMs;
    EmulatedUnit& first = bus.AddUnit(config);
    EmulatedUnit& second = bus.AddUnit(config);
    const std::string firstPath = first.DevicePath();
    const std::string secondPath = second.DevicePath();
    ASSERT_EQ(first.Location(), "Port_#0001.Hub_#0001");

    first.PlugInAt(2);
    EXPECT_EQ(first.Location(), "Port_#0001.Hub_#0001") << "on the bus: it stays";
    first.Unplug();
    second.Unplug();
    caseClock.Advance(2000);
    first.PlugInAt(2);
    second.PlugInAt(1);
    caseClock.Advance(c.enumerationDelayMs);
    ASSERT_TRUE(first.IsPresent());
    ASSERT_TRUE(second.IsPresent());
    EXPECT_EQ(first.Location(), "Port_#0002.Hub_#0001");
    EXPECT_EQ(first.DevicePath(), secondPath);
    EXPECT_EQ(second.Location(), "Port_#0001.Hub_#0001");
    EXPECT_EQ(second.DevicePath(), firstPath);
    EXPECT_FALSE(first.IsBricked());

    first.Unplug();
    first.PlugIn();
    caseClock.Advance(c.enumerationDelayMs);
    ASSERT_TRUE(first.IsPresent());
    EXPECT_EQ(first.Location(), c.nextReturn);
    EXPECT_NO_USB_VIOLATIONS(bus);
  }
}

TEST_F(EmuBus, LastErrorBelongsToTheCallingThread) {
  EXPECT_EQ(usb.OpenDeviceFile("nothing"), UsbInvalidHandle());
  std::uint32_t otherThreadError = 0;
  std::thread other([&] {
    UsbDeviceList list = usb.GetClassDevs(OTHER_GUID);
    UsbInterfaceRef iface{};
    usb.EnumDeviceInterfaces(list, OTHER_GUID, 0, &iface);
    otherThreadError = usb.LastError();
    usb.DestroyDeviceInfoList(list);
  });
  other.join();
  EXPECT_EQ(otherThreadError, WIN_ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(usb.LastError(), WIN_ERROR_FILE_NOT_FOUND);
}
}  // namespace
