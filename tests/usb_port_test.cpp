#include "usb/usb_port.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/clock.h"
#include "app/message_poster.h"
#include "emu/emulated_usb.h"
#include "support/emu_violations.h"
#include "support/trace_capture.h"
#include "usb/raw_data.h"

namespace {
WindowRef const kWindow = reinterpret_cast<WindowRef>(0x1234);
constexpr std::uint32_t kDataMessage = 0x8001;

class RefusingPoster final : public MessagePoster {
 public:
  bool Post(WindowRef, std::uint32_t, std::uintptr_t, std::intptr_t) override {
    ++posts;
    return false;
  }
  int posts = 0;
};

const std::uint8_t kBytes[] = {'d', 'a', 't', 'a'};
}  // namespace

TEST(UsbPortReceiveData, PostsTheBytesAsRawDataThatTheWindowOwns) {
  TraceCapture trace;
  PostedMessageQueue queue;
  UsbPort port(DeviceLinkContext{nullptr, nullptr, &queue, nullptr});
  EXPECT_EQ(port.SetNotifyWindow(kWindow, kDataMessage, 0x8000), 1);

  port.ReceiveData(kBytes, sizeof kBytes);
  const auto posted = queue.TryTake();
  ASSERT_TRUE(posted.has_value());
  EXPECT_EQ(posted->window, kWindow);
  EXPECT_EQ(posted->message, kDataMessage);
  EXPECT_EQ(posted->wParam, reinterpret_cast<std::uintptr_t>(&port));
  std::unique_ptr<RawData> data(reinterpret_cast<RawData*>(posted->lParam));
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->dataLength, 4u);
  EXPECT_EQ(data->bufferSize, 5u);  // made for the count, grown by the terminator
  EXPECT_STREQ(reinterpret_cast<const char*>(data->dataBuffer), "data");
  EXPECT_TRUE(trace.Lines().empty());
}

TEST(UsbPortReceiveData, WithoutWindowOrDataMessageNothingIsPosted) {
  struct Case {
    WindowRef window;
    std::uint32_t message;
  };
  const Case cases[] = {{nullptr, kDataMessage}, {kWindow, 0}, {nullptr, 0}};
  for (const Case& c : cases) {
    TraceCapture trace;
    PostedMessageQueue queue;
    UsbPort port(DeviceLinkContext{nullptr, nullptr, &queue, nullptr});
    port.SetNotifyWindow(c.window, c.message, 0x8000);
    port.ReceiveData(kBytes, sizeof kBytes);
    EXPECT_EQ(queue.Size(), 0u);
    EXPECT_TRUE(trace.Lines().empty());
  }
}

TEST(UsbPortReceiveData, NoBytesFailTheAddAndPostNothing) {
  TraceCapture trace;
  PostedMessageQueue queue;
  UsbPort port(DeviceLinkContext{nullptr, nullptr, &queue, nullptr});
  port.SetNotifyWindow(kWindow, kDataMessage, 0x8000);
  port.ReceiveData(kBytes, 0);
  EXPECT_EQ(queue.Size(), 0u);
  EXPECT_EQ(trace.Lines(), std::vector<std::string>{"[Tavik_FW_Update] UsbPort::ReceiveData: AddData failed\r\n"});
}

// The data of a message that could not be posted is released here (the leak checker would see it otherwise).
TEST(UsbPortReceiveData, DataOfAMessageThatCouldNotBePostedIsReleased) {
  TraceCapture trace;
  RefusingPoster poster;
  UsbPort port(DeviceLinkContext{nullptr, nullptr, &poster, nullptr});
  port.SetNotifyWindow(kWindow, kDataMessage, 0x8000);
  port.ReceiveData(kBytes, sizeof kBytes);
  EXPECT_EQ(poster.posts, 1);
  EXPECT_TRUE(trace.Lines().empty());
}

// The connection against the emulated bus: which unit is taken, which pipes, and that every failed open and
// every close leaves nothing open.
namespace {
class UsbPortOnBus : public ::testing::Test {
 protected:
  void TearDown() override {
    port_.CloseUsbConnection();
    EXPECT_EQ(usb_.OpenHandleCount(), 0u);
    EXPECT_NO_USB_VIOLATIONS(usb_);
  }

  int Open() {
    port_.checkLocation = 0;
    port_.interfaceGuid = TAVIK_INTERFACE_GUID;
    return port_.OpenUsbConnection();
  }

  void ExpectClosed() {
    EXPECT_EQ(port_.connected, 0);
    EXPECT_EQ(port_.deviceHandle, UsbInvalidHandle());
    EXPECT_EQ(port_.winUsbHandle, UsbInvalidHandle());
    EXPECT_EQ(port_.pipeIn, 0);
    EXPECT_EQ(port_.pipeOut, 0);
    EXPECT_EQ(usb_.OpenHandleCount(), 0u);
  }

  TraceCapture trace_;
  VirtualClock clock_;
  EmulatedUsb usb_{clock_};
  PostedMessageQueue queue_;
  UsbPort port_{DeviceLinkContext{&usb_, &clock_, &queue_, nullptr}};
};

const std::string kQueryPipeFailed = "[Tavik_FW_Update] OpenUsbConnection-WinUsb_QueryPipe failed!\r\n";
const std::string kCreateFileFailed = "[Tavik_FW_Update] OpenUsbConnection-CreateFile failed!\r\n";
const std::string kDetailFailed = "[Tavik_FW_Update] OpenUsbConnection-SetupDiGetDeviceInterfaceDetail failed!\r\n";
const std::string kLocationFailed = "[Tavik_FW_Update] CheckLocationID->SetupDiGetDeviceRegistryProperty failed!\r\n";
}  // namespace

TEST_F(UsbPortOnBus, WithNoUnitNothingOpensAndNothingIsTraced) {
  EXPECT_EQ(Open(), 0);
  EXPECT_TRUE(trace_.Lines().empty());
  ExpectClosed();
  EXPECT_EQ(usb_.CallCount(UsbCall::OpenDeviceFile), 0u);
}

TEST_F(UsbPortOnBus, OpensTheFirstListedUnitWithItsBulkPipesAndClosesIt) {
  usb_.AddUnit();
  usb_.AddUnit();
  ASSERT_EQ(Open(), 1);
  EXPECT_EQ(usb_.LastOpenedPath(), usb_.Unit(0).DevicePath());
  EXPECT_EQ(port_.connected, 1);
  EXPECT_EQ(port_.pipeIn, 0x81);
  EXPECT_EQ(port_.pipeOut, 0x01);
  EXPECT_TRUE(usb_.Unit(0).PipePolicy(0x81)->autoClearStall);
  EXPECT_TRUE(usb_.Unit(0).PipePolicy(0x01)->autoClearStall);
  EXPECT_TRUE(trace_.Lines().empty());

  port_.CloseUsbConnection();
  ExpectClosed();
}

TEST_F(UsbPortOnBus, WithLocationCheckOnlyTheUnitAtThatLocationIsTaken) {
  usb_.AddUnit();
  usb_.AddUnit();
  port_.interfaceGuid = TAVIK_INTERFACE_GUID;
  port_.checkLocation = 1;
  std::strcpy(port_.locationId, usb_.Unit(1).Location().c_str());
  ASSERT_EQ(port_.OpenUsbConnection(), 1);
  EXPECT_EQ(usb_.LastOpenedPath(), usb_.Unit(1).DevicePath());
  port_.CloseUsbConnection();

  // A location that is a prefix of a unit's, or that no unit has, matches nothing.
  for (const char* location : {"Port_#0002", "Port_#0003.Hub_#0001"}) {
    std::strcpy(port_.locationId, location);
    EXPECT_EQ(port_.OpenUsbConnection(), 0) << location;
  }
  EXPECT_TRUE(trace_.Lines().empty());
  ExpectClosed();
}

TEST_F(UsbPortOnBus, TheLastEndpointOfEachDirectionIsTakenAndOneOfEachIsNeeded) {
  struct Case {
    const char* name;
    std::vector<UsbPipeInformation> endpoints;
    int opened;
    std::uint8_t pipeIn;
    std::uint8_t pipeOut;
  };
  const Case cases[] = {
      {"none", {}, 0, 0, 0},
      {"all IN", {{USB_PIPE_BULK, 0x81, 64, 0}, {USB_PIPE_BULK, 0x82, 64, 0}}, 0, 0, 0},
      {"all OUT", {{USB_PIPE_BULK, 0x01, 64, 0}, {USB_PIPE_BULK, 0x02, 64, 0}}, 0, 0, 0},
      {"several",
       {{USB_PIPE_BULK, 0x81, 64, 0},
        {USB_PIPE_BULK, 0x01, 64, 0},
        {USB_PIPE_INTERRUPT, 0x83, 8, 1},
        {USB_PIPE_BULK, 0x02, 64, 0}},
       1,
       0x83,
       0x02},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualClock clock;
    EmulatedUsb usb(clock);
    UnitConfig config;
    config.endpoints = c.endpoints;
    usb.AddUnit(config);
    TraceCapture trace;
    UsbPort port(DeviceLinkContext{&usb, &clock, &queue_, nullptr});
    port.interfaceGuid = TAVIK_INTERFACE_GUID;
    EXPECT_EQ(port.OpenUsbConnection(), c.opened);
    EXPECT_EQ(port.pipeIn, c.pipeIn);
    EXPECT_EQ(port.pipeOut, c.pipeOut);
    EXPECT_EQ(trace.Lines(), c.opened ? std::vector<std::string>{} : std::vector<std::string>{kQueryPipeFailed});
    port.CloseUsbConnection();
    EXPECT_EQ(usb.OpenHandleCount(), 0u);
    EXPECT_NO_USB_VIOLATIONS(usb);
  }
}

TEST_F(UsbPortOnBus, ClosingAClosedPortMakesNoPlatformCall) {
  usb_.AddUnit();
  port_.CloseUsbConnection();
  EXPECT_EQ(usb_.TotalCallCount(), 0u);

  ASSERT_EQ(Open(), 1);
  port_.CloseUsbConnection();
  usb_.ResetCallCounts();
  port_.CloseUsbConnection();
  EXPECT_EQ(usb_.TotalCallCount(), 0u);
  ExpectClosed();
}

TEST_F(UsbPortOnBus, ADevicePathLongerThan258CharactersIsCut) {
  UnitConfig config;
  config.devicePath = "\\\\?\\usb#vid_7a31&pid_acdc#" + std::string(280, '7');
  usb_.AddUnit(config);
  EXPECT_EQ(Open(), 0);  // the cut path names no device
  EXPECT_EQ(usb_.LastOpenedPath(), config.devicePath.substr(0, 258));
  EXPECT_EQ(trace_.Lines(), std::vector<std::string>{kCreateFileFailed});
  ExpectClosed();
}

TEST_F(UsbPortOnBus, EachFailingPlatformCallIsTracedAndLeavesNothingOpen) {
  struct Case {
    const char* name;
    UsbCall call;
    std::uint32_t skip;
    int checkLocation;
    std::vector<std::string> traces;
  };
  const Case cases[] = {
      {"class list", UsbCall::GetClassDevs, 0, 0, {}},
      {"interface", UsbCall::EnumDeviceInterfaces, 0, 0, {}},
      {"detail size", UsbCall::GetDeviceInterfaceDetail, 0, 0, {kDetailFailed}},
      {"detail", UsbCall::GetDeviceInterfaceDetail, 1, 0, {kDetailFailed}},
      {"location size", UsbCall::GetDeviceLocation, 0, 1, {kLocationFailed}},
      {"location", UsbCall::GetDeviceLocation, 1, 1, {kLocationFailed}},
      {"device file", UsbCall::OpenDeviceFile, 0, 0, {kCreateFileFailed}},
      {"initialize", UsbCall::InitializeInterface, 0, 0, {kCreateFileFailed}},
      {"settings",
       UsbCall::QueryInterfaceSettings,
       0,
       0,
       {"[Tavik_FW_Update] OpenUsbConnection-WinUsb_QueryInterfaceSettings failed!\r\n"}},
      {"first pipe", UsbCall::QueryPipe, 0, 0, {kQueryPipeFailed}},
      {"second pipe", UsbCall::QueryPipe, 1, 0, {kQueryPipeFailed}},
  };
  usb_.AddUnit();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    trace_.Clear();
    usb_.ResetCallCounts();
    usb_.FailCall(c.call, WIN_ERROR_GEN_FAILURE, c.skip);
    port_.interfaceGuid = TAVIK_INTERFACE_GUID;
    port_.checkLocation = c.checkLocation;
    std::strcpy(port_.locationId, usb_.Unit(0).Location().c_str());
    EXPECT_EQ(port_.OpenUsbConnection(), 0);
    EXPECT_EQ(trace_.Lines(), c.traces);
    ExpectClosed();
    // A file whose interface never started is closed without freeing an interface.
    if (c.call == UsbCall::InitializeInterface) {
      EXPECT_EQ(usb_.CallCount(UsbCall::CloseDeviceFile), 1u);
      EXPECT_EQ(usb_.CallCount(UsbCall::FreeInterface), 0u);
      EXPECT_EQ(usb_.CallCount(UsbCall::AbortPipe), 0u);
    }
  }
}

TEST_F(UsbPortOnBus, DestructionClosesTheConnectionAndWaitsForARecordedThread) {
  usb_.AddUnit();
  std::atomic<bool> ended{false};
  {
    UsbPort port(DeviceLinkContext{&usb_, &clock_, &queue_, nullptr});
    port.interfaceGuid = TAVIK_INTERFACE_GUID;
    ASSERT_EQ(port.OpenUsbConnection(), 1);
    // A thread that ends only when asked: destruction asks and waits, it never terminates the thread.
    port.threadHandle = std::thread([&port, &ended] {
      while (port.stopRequested.load() == 0) std::this_thread::yield();
      ended = true;
    });
  }
  EXPECT_TRUE(ended.load());
  EXPECT_EQ(usb_.OpenHandleCount(), 0u);
}
