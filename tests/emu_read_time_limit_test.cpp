// The time the host gives each answer, as the emulated unit sees it: the IN pipe's transfer timeout when the host
// reads. The real loader runs the device query (with one failed attempt, so that its reset goes out), a whole
// step, and a step whose start is refused (so that the worker's reset goes out).

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>
#include <vector>

#include "app/clock.h"
#include "app/message_poster.h"
#include "emu/emulated_usb.h"
#include "emu/request_check.h"
#include "support/emu_violations.h"
#include "support/fake_resources.h"
#include "support/trace_capture.h"
#include "usb/usb_fw_loader.h"

namespace {
int g_window;

// Waits for the step's result (progress notifications are passed over) and for the worker's end.
ResultCode RunStep(PostedMessageQueue& queue, UsbFwLoader& loader) {
  ResultCode result = -1;
  for (long guard = 0; guard < 100'000'000 && result < 0; ++guard) {
    if (const auto message = queue.TryTake(); message && message->lParam != FWL_PROGRESS) {
      result = static_cast<ResultCode>(message->lParam);
    } else {
      std::this_thread::yield();
    }
  }
  while (loader.busy.load() != 0) std::this_thread::yield();
  return result;
}

TEST(EmuReadTimeLimit, EraseAnswersGetTwentySecondsEveryOtherAnswerOne) {
  // The constants are written out: the test is to catch a changed time limit.
  const std::map<std::uint32_t, std::uint32_t> expected = {
      {BLK_PING, 1000},      {BLK_GET_MODE, 1000}, {BLK_GET_VERSION, 1000}, {BLK_GET_HWID, 1000},
      {BLK_GET_FLAGS, 1000}, {BLK_RESET, 1000},    {BLK_START, 1000},       {BLK_ERASE, 20000},
      {BLK_WRITE, 1000},     {BLK_READ, 1000},     {BLK_FINISH, 1000},
  };

  TraceCapture trace;
  VirtualClock clock;
  EmulatedUsb usb(clock);
  EmulatedUnit& unit = usb.AddUnit();
  PostedMessageQueue queue;
  FakeResources resources;
  resources.Add(IDR_BOOTLOADER_IMAGE, std::vector<std::uint8_t>(70000, 0x5A));  // two chunks
  UsbFwLoader loader(DeviceLinkContext{&usb, &clock, &queue, &resources});
  loader.SetNotifyWindow(&g_window, 0, WM_UPDATE_NOTIFY);

  unit.AddFault({.kind = FaultKind::DropAnswer, .blockId = BLK_GET_FLAGS});
  DeviceInfo info{};
  ASSERT_EQ(loader.ReadDeviceInfo(&info), FWL_OK);
  ASSERT_EQ(loader.UpdateFirmwareFromResource(IDR_BOOTLOADER_IMAGE, 0x20000), FWL_STARTED);
  ASSERT_EQ(RunStep(queue, loader), FWL_OK);
  unit.AddFault({.kind = FaultKind::WrongId, .blockId = BLK_START});
  ASSERT_EQ(loader.UpdateFirmwareFromResource(IDR_BOOTLOADER_IMAGE, 0x20000), FWL_STARTED);
  ASSERT_EQ(RunStep(queue, loader), FWL_ERR_FAILED);

  // Per request kind, the time limits its answers were read with, and how many went out.
  std::map<std::uint32_t, std::set<std::uint32_t>> limits;
  std::map<std::uint32_t, int> seen;
  for (const ExchangeRecord& record : unit.Exchanges()) {
    const std::uint32_t id = record.request.BlockID;
    ++seen[id];
    ASSERT_TRUE(record.readTimeoutMs.has_value()) << "exchange " << record.index << " was not read";
    limits[id].insert(*record.readTimeoutMs);
  }
  for (const auto& [id, limit] : expected) {
    EXPECT_GE(seen[id], 1) << BlockIdName(id) << " never went out";
    EXPECT_EQ(limits[id], std::set<std::uint32_t>{limit}) << BlockIdName(id);
  }
  EXPECT_EQ(limits.size(), expected.size()) << "a request kind that the table does not know went out";
  EXPECT_GE(seen[BLK_RESET], 2) << "the query's reset and the worker's";
  EXPECT_NO_USB_VIOLATIONS(usb);
}
}  // namespace
