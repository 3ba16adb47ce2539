#include "usb/usb_port.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/clock.h"
#include "app/message_poster.h"
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
