// The libusb backend against emulated units through the real libusb: enumeration, the interface and its
// pipes, transfers, their timeout and abort, an unplug, and the failures a front end must tell apart.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "app/message_poster.h"
#include "image/crc32.h"
#include "libusb/libusb_rig.h"
#include "platform/libusb/libusb_errors.h"
#include "support/trace_capture.h"
#include "usb/usb_block.h"
#include "usb/usb_port.h"

namespace {
using ::testing::ElementsAre;

// The unit's second interface class on both products (interface 1 of a 0xACDC, interface 2 of a 0xACDD).
constexpr Guid kSecondClass = {0xAA7192B3, 0x37B8, 0x40E2, {0x9E, 0x87, 0x22, 0xA6, 0x60, 0x9B, 0xEF, 0xC6}};
constexpr Guid kForeignClass = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};

UnitConfig Product(std::uint16_t productId, std::uint16_t vendorId = UNIT_VENDOR_ID) {
  UnitConfig config;
  config.vendorId = vendorId;
  config.productId = productId;
  return config;
}

struct Listed {
  std::string path;
  std::string location;
  friend bool operator==(const Listed&, const Listed&) = default;
  friend std::ostream& operator<<(std::ostream& out, const Listed& l) { return out << l.path << " @ " << l.location; }
};

// The entries of a class list, read through the seam as the connection reads them, size queries included.
std::vector<Listed> List(LibusbPlatform& usb, const Guid& interfaceClass) {
  std::vector<Listed> listed;
  UsbDeviceList list = usb.GetClassDevs(interfaceClass);
  EXPECT_NE(list, nullptr);
  if (list == nullptr) return listed;
  for (std::uint32_t index = 0;; ++index) {
    UsbInterfaceRef iface{};
    if (!usb.EnumDeviceInterfaces(list, interfaceClass, index, &iface)) {
      EXPECT_EQ(usb.LastError(), WIN_ERROR_NO_MORE_ITEMS);
      break;
    }
    std::uint32_t size = 0;
    EXPECT_FALSE(usb.GetDeviceInterfaceDetail(list, iface, nullptr, 0, &size, nullptr));
    EXPECT_EQ(usb.LastError(), WIN_ERROR_INSUFFICIENT_BUFFER);
    std::vector<char> detail(size);
    UsbDeviceRef device{};
    EXPECT_TRUE(usb.GetDeviceInterfaceDetail(list, iface, detail.data(), size, &size, &device));
    const std::string path = usb.DetailDevicePath(detail.data());
    EXPECT_EQ(path.size() + 1, size);

    EXPECT_FALSE(usb.GetDeviceLocation(list, device, nullptr, 0, &size));
    EXPECT_EQ(usb.LastError(), WIN_ERROR_INSUFFICIENT_BUFFER);
    std::vector<std::uint16_t> units(size / 2);
    EXPECT_TRUE(usb.GetDeviceLocation(list, device, units.data(), size, &size));
    EXPECT_EQ(units.back(), 0u);
    listed.push_back({path, std::string(units.begin(), units.end() - 1)});
  }
  usb.DestroyDeviceInfoList(list);
  return listed;
}

// An open interface, freed at the end in the connection's close order.
struct Opened {
  LibusbPlatform& usb;
  UsbFileHandle file = UsbInvalidHandle();
  UsbInterfaceHandle iface = UsbInvalidHandle();

  Opened(LibusbPlatform& platform, const char* path) : usb(platform) {
    file = usb.OpenDeviceFile(path);
    EXPECT_NE(file, UsbInvalidHandle()) << "open failed with " << usb.LastError();
    if (file != UsbInvalidHandle()) {
      EXPECT_TRUE(usb.InitializeInterface(file, &iface)) << usb.LastError();
    }
  }
  ~Opened() {
    if (file != UsbInvalidHandle()) usb.CloseDeviceFile(file);
    if (iface != UsbInvalidHandle()) usb.FreeInterface(iface);
  }
  bool SetTimeout(std::uint8_t pipe, std::uint32_t ms) {
    return usb.SetPipePolicy(iface, pipe, USB_POLICY_PIPE_TRANSFER_TIMEOUT, sizeof ms, &ms);
  }
  bool Write(std::uint32_t blockId) {
    UsbBlock block{};
    block.BlockID = blockId;
    block.BlockCRC = Crc32(&block, BLOCK_CRC_OFFSET);
    std::uint32_t moved = 0;
    const bool ok = usb.WritePipe(iface, 0x01, reinterpret_cast<const std::uint8_t*>(&block), sizeof block, &moved);
    EXPECT_EQ(moved, ok ? sizeof block : 0u);
    return ok;
  }
  // The answer's BlockID, or 0 with the thread's error when the read failed.
  struct Read {
    std::uint32_t blockId;
    std::uint32_t moved;
    std::uint32_t error;
  };
  Read ReadAnswer() {
    UsbBlock answer{};
    std::uint32_t moved = 0;
    if (!usb.ReadPipe(iface, 0x81, reinterpret_cast<std::uint8_t*>(&answer), sizeof answer, &moved)) {
      return {0, moved, usb.LastError()};
    }
    return {answer.BlockID, moved, 0};
  }
  std::uint32_t Exchange(std::uint32_t blockId) { return Write(blockId) ? ReadAnswer().blockId : 0; }
};

// Runs a read on another thread; its answer or error comes through the future.
std::future<Opened::Read> ReadElsewhere(Opened& opened) {
  return std::async(std::launch::async, [&opened] { return opened.ReadAnswer(); });
}

// The end of a read on another thread. The bound only ends a broken test early.
Opened::Read Await(std::future<Opened::Read>& read) {
  if (read.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "the read has not ended";
    std::abort();  // the thread cannot be stopped, and the test would wait for it forever
  }
  return read.get();
}

// The calling thread may not open what its permission bits refuse, even as root (which needs the capability
// to override them): the effective capabilities are per thread, and come back at the end of the scope.
class WithoutPermissionOverride {
 public:
  WithoutPermissionOverride() {
    syscall(SYS_capget, &header_, saved_);
    __user_cap_data_struct reduced[2];
    std::memcpy(reduced, saved_, sizeof reduced);
    reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER));
    syscall(SYS_capset, &header_, reduced);
  }
  ~WithoutPermissionOverride() { syscall(SYS_capset, &header_, saved_); }

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2]{};
};

// The testbed's device node of a unit in a port.
std::string DeviceNode(std::uint8_t port) {
  char node[64];
  std::snprintf(node, sizeof node, "%s/dev/bus/usb/001/%03u", std::getenv("UMOCKDEV_DIR"), port + 1);
  return node;
}

class LibusbPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(UmockdevUnits::InMockEnvironment()) << "run this test program under umockdev-wrapper";
  }
};
}  // namespace

TEST_F(LibusbPlatformTest, ListsEachUnitByPortWithTheInterfaceThatCarriesTheClassOnItsProduct) {
  LibusbRig rig({{Product(UNIT_PRODUCT_ID), 3}, {Product(UNIT_PRODUCT_ID_ALT), 2}, {Product(0xACDC, 0x1234), 1}});
  LibusbPlatform& usb = rig.Usb();
  EXPECT_THAT(List(usb, TAVIK_INTERFACE_GUID), ElementsAre(Listed{"usb:1-2/1", "1-2"}, Listed{"usb:1-3/0", "1-3"}));
  EXPECT_THAT(List(usb, kSecondClass), ElementsAre(Listed{"usb:1-2/2", "1-2"}, Listed{"usb:1-3/1", "1-3"}));
  EXPECT_THAT(List(usb, kForeignClass), ElementsAre());
}

TEST_F(LibusbPlatformTest, DeviceIdsAreThoseOfTheListedEntrysDescriptorEvenAfterItHasGone) {
  LibusbRig rig({{Product(UNIT_PRODUCT_ID), 3}, {Product(UNIT_PRODUCT_ID_ALT), 2}});
  LibusbPlatform& usb = rig.Usb();
  UsbDeviceList list = usb.GetClassDevs(TAVIK_INTERFACE_GUID);
  ASSERT_NE(list, nullptr);
  UsbDeviceRef devices[2]{};
  UsbInterfaceRef iface{};
  for (std::uint32_t index = 0; index < 2; ++index) {
    ASSERT_TRUE(usb.EnumDeviceInterfaces(list, TAVIK_INTERFACE_GUID, index, &iface));
    char detail[64];
    std::uint32_t size = 0;
    ASSERT_TRUE(usb.GetDeviceInterfaceDetail(list, iface, detail, sizeof detail, &size, &devices[index]));
  }
  // Sorted by port: the 0xACDD in port 2 first. The one in port 3 leaves; the snapshot still tells its ids.
  rig.Bus().Unplug(rig.Unit(0));
  const std::uint16_t products[2] = {UNIT_PRODUCT_ID_ALT, UNIT_PRODUCT_ID};
  for (int index = 0; index < 2; ++index) {
    UsbDeviceIds ids{};
    ASSERT_TRUE(usb.GetDeviceIds(list, devices[index], &ids)) << usb.LastError();
    EXPECT_EQ(ids.vendorId, UNIT_VENDOR_ID);
    EXPECT_EQ(ids.productId, products[index]);
  }
  EXPECT_EQ(usb.OpenHandleCount(), 1u);  // the list alone: no device was opened
  EXPECT_EQ(rig.Units().OpenHandleCount(), 0u);

  UsbDeviceRef interfaceAsDevice{};
  std::memcpy(&interfaceAsDevice, &iface, sizeof interfaceAsDevice);
  UsbDeviceIds ids{};
  struct Case {
    const char* name;
    UsbDeviceList list;
    const UsbDeviceRef* device;
    UsbDeviceIds* ids;
    std::uint32_t error;
  };
  for (const Case& c : {Case{"no room for the ids", list, &devices[0], nullptr, WIN_ERROR_INVALID_PARAMETER},
                        Case{"an interface record", list, &interfaceAsDevice, &ids, WIN_ERROR_INVALID_PARAMETER},
                        Case{"a list that is not open", &ids, &devices[0], &ids, WIN_ERROR_INVALID_HANDLE}}) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(usb.GetDeviceIds(c.list, *c.device, c.ids));
    EXPECT_EQ(usb.LastError(), c.error);
  }
  usb.DestroyDeviceInfoList(list);
  EXPECT_FALSE(usb.GetDeviceIds(list, devices[0], &ids));
  EXPECT_EQ(usb.LastError(), WIN_ERROR_INVALID_HANDLE);
}

TEST_F(LibusbPlatformTest, TheInterfaceAndItsPipesReadAsWinUsbReportsThem) {
  LibusbRig rig({{Product(UNIT_PRODUCT_ID_ALT), 2}});
  LibusbPlatform& usb = rig.Usb();
  Opened opened(usb, "usb:1-2/1");

  UsbInterfaceDescriptor descriptor{};
  ASSERT_TRUE(usb.QueryInterfaceSettings(opened.iface, 0, &descriptor));
  EXPECT_EQ(descriptor.bLength, 9);
  EXPECT_EQ(descriptor.bDescriptorType, 4);
  EXPECT_EQ(descriptor.bInterfaceNumber, 1);
  EXPECT_EQ(descriptor.bAlternateSetting, 0);
  EXPECT_EQ(descriptor.bNumEndpoints, 2);
  EXPECT_EQ(descriptor.bInterfaceClass, 0xFF);
  EXPECT_FALSE(usb.QueryInterfaceSettings(opened.iface, 1, &descriptor));
  EXPECT_EQ(usb.LastError(), WIN_ERROR_NO_MORE_ITEMS);

  UsbPipeInformation pipes[2]{};
  ASSERT_TRUE(usb.QueryPipe(opened.iface, 0, 0, &pipes[0]));
  ASSERT_TRUE(usb.QueryPipe(opened.iface, 0, 1, &pipes[1]));
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(pipes[i].pipeType, USB_PIPE_BULK);
    EXPECT_EQ(pipes[i].maximumPacketSize, 64);
  }
  EXPECT_EQ(pipes[0].pipeId, 0x81);
  EXPECT_EQ(pipes[1].pipeId, 0x01);
  UsbPipeInformation past{};
  EXPECT_FALSE(usb.QueryPipe(opened.iface, 0, 2, &past));
  EXPECT_EQ(usb.LastError(), WIN_ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(opened.Exchange(BLK_PING), BLK_ACK);
}

TEST_F(LibusbPlatformTest, TheConnectionOpensTheFirstListedUnitOrTheOneAtItsLocation) {
  LibusbRig rig({{Product(UNIT_PRODUCT_ID), 3}, {Product(UNIT_PRODUCT_ID), 2}});
  VirtualClock clock;
  PostedMessageQueue queue;
  const DeviceLinkContext context{&rig.Usb(), &clock, &queue, nullptr};
  struct Case {
    std::int32_t checkLocation;
    const char* location;
    std::uint8_t expectedPort;
  };
  for (const Case& c : {Case{0, "", 2}, Case{1, "1-3", 3}, Case{1, "1-2", 2}, Case{1, "1-4", 0}}) {
    SCOPED_TRACE(c.location);
    UsbPort port(context);
    port.interfaceGuid = TAVIK_INTERFACE_GUID;
    port.checkLocation = c.checkLocation;
    std::strcpy(port.locationId, c.location);
    if (c.expectedPort == 0) {
      EXPECT_EQ(port.OpenUsbConnection(), 0);
      continue;
    }
    ASSERT_EQ(port.OpenUsbConnection(), 1);
    EXPECT_EQ(port.pipeIn, 0x81);
    EXPECT_EQ(port.pipeOut, 0x01);
    // The unit side of the claim names the unit that libusb opened.
    EXPECT_EQ(rig.Units().LastOpenedPath(), rig.Unit(c.expectedPort == 3 ? 0 : 1).DevicePath());
    port.CloseUsbConnection();
  }
}

TEST_F(LibusbPlatformTest, AReadWithNoAnswerFailsAfterThePipesTimeoutAndThePipeGoesOn) {
  LibusbRig rig;
  rig.Unit().AddFault({.kind = FaultKind::DropAnswer, .blockId = BLK_PING});
  Opened opened(rig.Usb(), "usb:1-2/0");
  ASSERT_TRUE(opened.SetTimeout(0x01, 1000));
  ASSERT_TRUE(opened.SetTimeout(0x81, 20));  // libusb's own timer: 20 ms of real time, no sleep of ours
  ASSERT_TRUE(opened.Write(BLK_PING));
  const Opened::Read read = opened.ReadAnswer();
  EXPECT_EQ(read.error, WIN_ERROR_SEM_TIMEOUT);
  EXPECT_EQ(read.moved, 0u);
  EXPECT_EQ(rig.Bus().Discarded(rig.Unit()), 1u);  // libusb took the request back when its time was up
  EXPECT_EQ(opened.Exchange(BLK_GET_MODE), BLK_NAK);
}

TEST_F(LibusbPlatformTest, AShortAnswerIsReadWithTheBytesThatCame) {
  LibusbRig rig;
  rig.Unit().AddFault({.kind = FaultKind::ShortRead, .blockId = BLK_PING, .value = 100});
  Opened opened(rig.Usb(), "usb:1-2/0");
  ASSERT_TRUE(opened.Write(BLK_PING));
  const Opened::Read read = opened.ReadAnswer();
  EXPECT_EQ(read.error, 0u);
  EXPECT_EQ(read.moved, 100u);
  EXPECT_EQ(read.blockId, BLK_ACK);
}

TEST_F(LibusbPlatformTest, AbortPipeEndsAReadInFlightOnAnotherThreadAtOnce) {
  LibusbRig rig;
  rig.Unit().AddFault({.kind = FaultKind::DropAnswer, .blockId = BLK_PING});
  Opened opened(rig.Usb(), "usb:1-2/0");
  ASSERT_TRUE(opened.SetTimeout(0x81, 0));  // no timeout: only the abort can end the read
  ASSERT_TRUE(opened.Write(BLK_PING));
  std::future<Opened::Read> read = ReadElsewhere(opened);
  ASSERT_TRUE(rig.Bus().AwaitPendingRead(rig.Unit()));

  EXPECT_TRUE(rig.Usb().AbortPipe(opened.iface, 0x81));
  // The read has no timeout: only the abort can have ended it.
  EXPECT_EQ(Await(read).error, WIN_ERROR_OPERATION_ABORTED);
  EXPECT_EQ(opened.Exchange(BLK_GET_MODE), BLK_NAK);
}

TEST_F(LibusbPlatformTest, FreeInterfaceEndsATransferInFlightAndRefusesTheHandleAfterwards) {
  LibusbRig rig;
  rig.Unit().AddFault({.kind = FaultKind::DropAnswer, .blockId = BLK_PING});
  Opened opened(rig.Usb(), "usb:1-2/0");
  ASSERT_TRUE(opened.SetTimeout(0x81, 0));
  ASSERT_TRUE(opened.Write(BLK_PING));
  std::future<Opened::Read> read = ReadElsewhere(opened);
  ASSERT_TRUE(rig.Bus().AwaitPendingRead(rig.Unit()));

  LibusbPlatform& usb = rig.Usb();
  EXPECT_TRUE(usb.CloseDeviceFile(opened.file));
  EXPECT_TRUE(usb.FreeInterface(opened.iface));
  EXPECT_EQ(Await(read).error, WIN_ERROR_OPERATION_ABORTED);
  std::uint8_t byte = 0;
  std::uint32_t moved = 0;
  EXPECT_FALSE(usb.ReadPipe(opened.iface, 0x81, &byte, 1, &moved));
  EXPECT_EQ(usb.LastError(), WIN_ERROR_INVALID_HANDLE);
  EXPECT_FALSE(usb.FreeInterface(opened.iface));
  EXPECT_EQ(usb.LastError(), WIN_ERROR_INVALID_HANDLE);
  EXPECT_FALSE(usb.CloseDeviceFile(opened.file));
  EXPECT_EQ(usb.LastError(), WIN_ERROR_INVALID_HANDLE);
  opened.file = opened.iface = UsbInvalidHandle();
}

TEST_F(LibusbPlatformTest, AnUnplugEndsTheReadInFlightAndEveryLaterTransfer) {
  LibusbRig rig({{Product(UNIT_PRODUCT_ID), 2}, {Product(UNIT_PRODUCT_ID), 3}});
  rig.Unit(0).AddFault({.kind = FaultKind::DropAnswer, .blockId = BLK_PING});
  Opened opened(rig.Usb(), "usb:1-2/0");
  ASSERT_TRUE(opened.SetTimeout(0x81, 0));
  ASSERT_TRUE(opened.Write(BLK_PING));
  std::future<Opened::Read> read = ReadElsewhere(opened);
  ASSERT_TRUE(rig.Bus().AwaitPendingRead(rig.Unit(0)));

  rig.Bus().Unplug(rig.Unit(0));
  EXPECT_EQ(Await(read).error, WIN_ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(opened.Write(BLK_PING));
  EXPECT_EQ(rig.Usb().LastError(), WIN_ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_THAT(List(rig.Usb(), TAVIK_INTERFACE_GUID), ElementsAre(Listed{"usb:1-3/0", "1-3"}));
  Opened other(rig.Usb(), "usb:1-3/0");
  EXPECT_EQ(other.Exchange(BLK_PING), BLK_ACK);
}

TEST_F(LibusbPlatformTest, AnInterfaceThatAnotherProgramHoldsIsBusy) {
  LibusbRig rig;
  Opened first(rig.Usb(), "usb:1-2/0");
  LibusbPlatform other;  // another program: a libusb context of its own
  UsbFileHandle file = other.OpenDeviceFile("usb:1-2/0");
  ASSERT_NE(file, UsbInvalidHandle());
  UsbInterfaceHandle iface = UsbInvalidHandle();
  EXPECT_FALSE(other.InitializeInterface(file, &iface));
  EXPECT_EQ(other.LastError(), WIN_ERROR_BUSY);
  EXPECT_FALSE(other.LastOpenWasPermissionDenied());
  EXPECT_TRUE(other.CloseDeviceFile(file));
  EXPECT_EQ(first.Exchange(BLK_PING), BLK_ACK);
}

TEST_F(LibusbPlatformTest, AnOpenThatTheUserMayNotMakeIsReportedForThePermissionHint) {
  LibusbRig rig;
  VirtualClock clock;
  PostedMessageQueue queue;
  UsbPort port(DeviceLinkContext{&rig.Usb(), &clock, &queue, nullptr});
  port.interfaceGuid = TAVIK_INTERFACE_GUID;
  const std::string node = DeviceNode(2);
  ASSERT_EQ(chmod(node.c_str(), 0), 0);
  {
    WithoutPermissionOverride user;
    TraceCapture capture;
    EXPECT_EQ(port.OpenUsbConnection(), 0);
    EXPECT_THAT(capture.Texts(), ElementsAre("OpenUsbConnection-CreateFile failed!"));
    EXPECT_EQ(rig.Usb().LastError(), WIN_ERROR_ACCESS_DENIED);
    EXPECT_TRUE(rig.Usb().LastOpenWasPermissionDenied());
  }
  ASSERT_EQ(chmod(node.c_str(), 0666), 0);
  ASSERT_EQ(port.OpenUsbConnection(), 1);
  EXPECT_FALSE(rig.Usb().LastOpenWasPermissionDenied());
  port.CloseUsbConnection();
}

TEST_F(LibusbPlatformTest, APathThatNamesNoInterfaceOfAnAttachedUnitIsNotFound) {
  LibusbRig rig;
  LibusbPlatform& usb = rig.Usb();
  for (const char* path : {"usb:1-9/0", "usb:2-2/0", "usb:1-2", "usb:1-2/", "usb:1-2/256", "usb:1-2/0/0",
                           "\\\\?\\usb#vid_7a31&pid_acdc#5&1a2b3c4d&0&2#{c0850fa1-2b83-47db-bcb7-738ab1a8b498}"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(usb.OpenDeviceFile(path), UsbInvalidHandle());
    EXPECT_EQ(usb.LastError(), WIN_ERROR_FILE_NOT_FOUND);
  }
  // The device is there, but its configuration has no interface 7.
  UsbFileHandle file = usb.OpenDeviceFile("usb:1-2/7");
  ASSERT_NE(file, UsbInvalidHandle());
  UsbInterfaceHandle iface = UsbInvalidHandle();
  EXPECT_FALSE(usb.InitializeInterface(file, &iface));
  EXPECT_EQ(usb.LastError(), WIN_ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(usb.CloseDeviceFile(file));
}

TEST_F(LibusbPlatformTest, PipeCallsThatTheInterfaceCannotServeAreInvalidParameters) {
  LibusbRig rig;
  LibusbPlatform& usb = rig.Usb();
  Opened opened(usb, "usb:1-2/0");
  std::uint8_t buffer[USB_BLOCK_SIZE] = {};
  std::uint32_t moved = 0;
  const std::uint32_t value = 1;
  const std::uint8_t shortValue = 1;
  UsbInterfaceHandle h = opened.iface;
  struct Case {
    const char* name;
    std::function<bool()> call;
  };
  const Case cases[] = {
      {"write on the IN pipe", [&] { return usb.WritePipe(h, 0x81, buffer, sizeof buffer, &moved); }},
      {"read on the OUT pipe", [&] { return usb.ReadPipe(h, 0x01, buffer, sizeof buffer, &moved); }},
      {"write on a pipe it lacks", [&] { return usb.WritePipe(h, 0x02, buffer, sizeof buffer, &moved); }},
      {"write without a buffer", [&] { return usb.WritePipe(h, 0x01, nullptr, sizeof buffer, &moved); }},
      {"abort of pipe 0", [&] { return usb.AbortPipe(h, 0); }},
      {"policy of a pipe it lacks", [&] { return usb.SetPipePolicy(h, 0x82, USB_POLICY_AUTO_CLEAR_STALL, 4, &value); }},
      {"timeout of one byte",
       [&] { return usb.SetPipePolicy(h, 0x81, USB_POLICY_PIPE_TRANSFER_TIMEOUT, 1, &shortValue); }},
      {"a policy it does not keep", [&] { return usb.SetPipePolicy(h, 0x81, 7, 1, &shortValue); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(c.call());
    EXPECT_EQ(usb.LastError(), WIN_ERROR_INVALID_PARAMETER);
  }
  EXPECT_TRUE(usb.SetPipePolicy(opened.iface, 0x81, USB_POLICY_AUTO_CLEAR_STALL, 1, &shortValue));
  EXPECT_EQ(opened.Exchange(BLK_PING), BLK_ACK);
}
