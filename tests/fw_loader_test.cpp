// One update step of the loader against the emulated unit: the start, the worker, the result, the cleanup.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/clock.h"
#include "app/message_poster.h"
#include "emu/emulated_usb.h"
#include "support/emu_violations.h"
#include "support/fake_resources.h"
#include "support/held_sleep_clock.h"
#include "support/random_bytes.h"
#include "support/trace_capture.h"
#include "usb/usb_fw_loader.h"

namespace {
int g_windowToken;
WindowRef const kWindow = &g_windowToken;
constexpr long kPumpGuard = 200'000'000;  // yields; far beyond any step, still ends a hung test

std::string Percent(const char* format, int percent) {
  char text[64];
  std::snprintf(text, sizeof text, format, percent);
  return text;
}
std::string ProgramLine(int percent) { return Percent("Tavik: Program Device ...   %3d %%", percent); }
std::string VerifyLine(int percent) { return Percent("Tavik:  Verify Device ...   %3d %%", percent); }

const char* const kResourceCleanup = "FirmwareUpdateCleanup for FWL_DATA_FROM_RESOURCE";
const char* const kReadTimeout = "WriteUsbPipeData: USBDev_PipeRd() failed! error = 121, bytesWritten = 0";

// The loader's world: an emulated bus, a virtual clock, a message queue for the window and the two images.
struct Rig {
  VirtualClock clock;
  EmulatedUsb usb{clock};
  PostedMessageQueue queue;
  FakeResources resources;
  DeviceLinkContext context{&usb, &clock, &queue, &resources};
  std::unique_ptr<UsbFwLoader> loader = std::make_unique<UsbFwLoader>(context);
  std::vector<std::uint8_t> bootImage = RandomBytes(10000, 1);
  std::vector<std::uint8_t> appImage = RandomBytes(156400, 2);

  Rig() {
    resources.Add(IDR_BOOTLOADER_IMAGE, bootImage);
    resources.Add(IDR_APPLICATION_IMAGE, appImage);
    loader->SetNotifyWindow(kWindow, 0, WM_UPDATE_NOTIFY);
  }
  ~Rig() {
    loader.reset();
    EXPECT_NO_USB_VIOLATIONS(usb);
    EXPECT_EQ(usb.OpenHandleCount(), 0u);
    EXPECT_EQ(resources.Loads(), resources.Frees());
  }

  // The notifications of one step, up to and including its result.
  std::vector<PostedMessage> Pump() {
    std::vector<PostedMessage> messages;
    for (long guard = 0; guard < kPumpGuard; ++guard) {
      if (auto m = queue.TryTake()) {
        messages.push_back(*m);
        if (m->lParam != FWL_PROGRESS) return messages;
      } else {
        std::this_thread::yield();
      }
    }
    ADD_FAILURE() << "no result was posted";
    return messages;
  }
  // The step's codes; returns once the worker has cleared busy.
  std::vector<std::intptr_t> RunStep() {
    std::vector<std::intptr_t> codes;
    for (const PostedMessage& m : Pump()) codes.push_back(m.lParam);
    WaitIdle();
    return codes;
  }
  void WaitIdle() {
    for (long guard = 0; guard < kPumpGuard && loader->busy.load() != 0; ++guard) std::this_thread::yield();
    EXPECT_EQ(loader->busy.load(), 0u);
  }
  std::vector<std::uint32_t> RequestIds(EmulatedUnit& unit) {
    std::vector<std::uint32_t> ids;
    for (const ExchangeRecord& r : unit.Exchanges()) ids.push_back(r.request.BlockID);
    return ids;
  }
};

std::vector<std::string> StartLines(std::uint16_t id, std::uint32_t address, std::uint32_t size) {
  char line[128];
  std::snprintf(line, sizeof line, "Update Firmware from ID(%d) to Flash(0x%08x), Size(%d)", id, address,
                static_cast<int>(size));
  return {line, "NEV-Tavik Device found and responding.", "NEV-Tavik Device is in Bootloader."};
}

UnitConfig InMode(UnitMode mode) {
  UnitConfig config;
  config.mode = mode;
  return config;
}

std::vector<std::intptr_t> Codes(std::size_t progress, std::intptr_t result) {
  std::vector<std::intptr_t> codes(progress, FWL_PROGRESS);
  codes.push_back(result);
  return codes;
}
}  // namespace

TEST(FwLoader, ASuccessfulStepWritesTheImageAndTracesInOrder) {
  Rig rig;
  EmulatedUnit& unit = rig.usb.AddUnit();
  TraceCapture capture;
  ASSERT_EQ(rig.loader->UpdateFirmwareFromResource(IDR_BOOTLOADER_IMAGE, 0x20000), FWL_STARTED);
  const auto messages = rig.Pump();
  rig.WaitIdle();

  std::vector<std::string> expected = StartLines(IDR_BOOTLOADER_IMAGE, 0x20000, 10000);
  for (int p : {0, 100}) expected.insert(expected.end(), {ProgramLine(p), "SendUpdateResult = 9"});
  for (int p : {0, 5, 10, 15, 20, 25, 30, 35, 40, 100}) {
    expected.insert(expected.end(), {VerifyLine(p), "SendUpdateResult = 9"});
  }
  expected.insert(expected.end(), {kResourceCleanup, "SendUpdateResult = 0"});
  EXPECT_EQ(capture.Texts(), expected);

  ASSERT_EQ(messages.size(), 13u);
  for (std::size_t i = 0; i < messages.size(); ++i) {
    EXPECT_EQ(messages[i].window, kWindow);
    EXPECT_EQ(messages[i].message, WM_UPDATE_NOTIFY);
    EXPECT_EQ(messages[i].wParam, reinterpret_cast<std::uintptr_t>(rig.loader.get()));
    EXPECT_EQ(messages[i].lParam, i + 1 < messages.size() ? FWL_PROGRESS : FWL_OK);
  }

  EXPECT_EQ(unit.ReadFlash(0x20000, 10000), rig.bootImage);
  EXPECT_TRUE(unit.SlotFlag(UnitSlot::Bootloader1));
  const auto exchanges = unit.Exchanges();
  ASSERT_GE(exchanges.size(), 4u);
  EXPECT_EQ(exchanges[0].request.BlockID, BLK_PING);
  EXPECT_EQ(exchanges[1].request.BlockID, BLK_GET_MODE);
  for (const std::size_t i : {std::size_t{2}, exchanges.size() - 1}) {
    EXPECT_EQ(exchanges[i].request.BlockAddress, 0x20000u);
    EXPECT_EQ(exchanges[i].request.BlockLength, 10000u);
  }
  EXPECT_EQ(exchanges[2].request.BlockID, BLK_START);
  EXPECT_EQ(exchanges.back().request.BlockID, BLK_FINISH);
  EXPECT_EQ(exchanges.size(), 2u + 1u + 1u + 40u * 3u + 1u);
  EXPECT_EQ(rig.clock.NowMs(), 0u);  // no pause

  const UsbFwLoader& loader = *rig.loader;
  EXPECT_EQ(loader.firmwareSource, FWL_DATA_NONE);
  EXPECT_EQ(loader.imageData, nullptr);
  EXPECT_EQ(loader.resourceHandle, nullptr);
  EXPECT_EQ(loader.imageSize, 10000u);
  EXPECT_EQ(loader.flashAddress, 0x20000u);
  EXPECT_EQ(loader.imageOffset, 10000u);
  EXPECT_EQ(loader.programPercent.load(), 100u);
  EXPECT_EQ(loader.verifyPercent.load(), 100u);
  EXPECT_EQ(rig.usb.OpenHandleCount(), 0u);
  EXPECT_EQ(rig.resources.Frees(), 1);
}

TEST(FwLoader, StepsFollowOneAnotherOnTheSameLoader) {
  Rig rig;
  EmulatedUnit& unit = rig.usb.AddUnit();
  ASSERT_EQ(rig.loader->UpdateFirmwareFromResource(IDR_BOOTLOADER_IMAGE, 0x80000), FWL_STARTED);
  EXPECT_EQ(rig.RunStep(), Codes(12, FWL_OK));
  ASSERT_EQ(rig.loader->UpdateFirmwareFromResource(IDR_APPLICATION_IMAGE, 0x100000), FWL_STARTED);
  EXPECT_EQ(rig.RunStep(), Codes(4 + 21, FWL_OK));
  EXPECT_EQ(unit.ReadFlash(0x80000, 10000), rig.bootImage);
  EXPECT_EQ(unit.ReadFlash(0x100000, 156400), rig.appImage);
  EXPECT_TRUE(unit.SlotFlag(UnitSlot::Bootloader2));
  EXPECT_TRUE(unit.SlotFlag(UnitSlot::Application));
  EXPECT_EQ(rig.resources.Loads(), 2);
}

TEST(FwLoader, AStartWhileBusyIsRefusedAndTouchesNothing) {
  Rig rig;
  EmulatedUnit& unit = rig.usb.AddUnit();
  // The worker is held inside its first erase until the test lets it go on.
  std::atomic<int> arrived{0};
  std::atomic<int> release{0};
  unit.SetExchangeHook([&](const UsbBlock& request, std::uint64_t) {
    if (request.BlockID != BLK_ERASE || arrived.exchange(1) != 0) return;
    while (release.load() == 0) std::this_thread::yield();
  });
  ASSERT_EQ(rig.loader->UpdateFirmwareFromResource(IDR_BOOTLOADER_IMAGE, 0x20000), FWL_STARTED);
  while (arrived.load() == 0) std::this_thread::yield();

  struct Case {
    const char* name;
    std::function<ResultCode(UsbFwLoader&)> start;
    const char* line;
  };
  const std::uint8_t other[4] = {1, 2, 3, 4};
  const Case cases[] = {
      {"resource", [](UsbFwLoader& l) { return l.UpdateFirmwareFromResource(IDR_APPLICATION_IMAGE, 0x100000); },
       "FirmwareUpdate is already running!"},
      {"memory", [&](UsbFwLoader& l) { return l.UpdateFirmwareFromMemory(other, 4, 0x100000); },
       "FirmwareUpdate is already running!"},
      {"data", [](UsbFwLoader& l) { return l.StartUpdateFirmwareData(0x100000); },
       "StartUpdateFirmwareData() -> Update always running!"},
  };
  UsbFwLoader& loader = *rig.loader;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::uint8_t* imageData = loader.imageData;
    const void* resourceHandle = loader.resourceHandle;
    const std::uint64_t calls = rig.usb.TotalCallCount();
    TraceCapture capture;
    EXPECT_EQ(c.start(loader), FWL_BUSY);
    EXPECT_EQ(capture.Texts(), std::vector<std::string>{c.line});
    EXPECT_EQ(loader.imageData, imageData);
    EXPECT_EQ(loader.resourceHandle, resourceHandle);
    EXPECT_EQ(loader.firmwareSource, FWL_DATA_FROM_RESOURCE);
    EXPECT_EQ(loader.imageSize, 10000u);
    EXPECT_EQ(loader.flashAddress, 0x20000u);
    EXPECT_EQ(loader.imageOffset, 0u);
    EXPECT_EQ(loader.busy.load(), 1u);
    EXPECT_EQ(rig.usb.TotalCallCount(), calls);
    EXPECT_EQ(rig.resources.Loads(), 1);
  }
  release.store(1);
  EXPECT_EQ(rig.RunStep(), Codes(12, FWL_OK));
  EXPECT_EQ(unit.ReadFlash(0x20000, 10000), rig.bootImage);
}

TEST(FwLoader, AStartThatCannotRunLeavesTheLoaderIdle) {
  struct Case {
    const char* name;
    std::function<void(Rig&)> setUp;
    std::uint16_t resource;
    ResultCode result;
    std::vector<std::string> lines;
    std::uint64_t clockMs;
  };
  const std::string resourceLine = StartLines(IDR_BOOTLOADER_IMAGE, 0x20000, 10000)[0];
  const Case cases[] = {
      {"missing resource", [](Rig& r) { r.usb.AddUnit(); }, 111, FWL_ERR_FAILED, {kResourceCleanup}, 0},
      {"resource not loaded",
       [](Rig& r) { r.usb.AddUnit(), r.resources.failLoad = true; },
       IDR_BOOTLOADER_IMAGE,
       FWL_ERR_FAILED,
       {kResourceCleanup},
       0},
      {"resource not locked",
       [](Rig& r) { r.usb.AddUnit(), r.resources.failLock = true; },
       IDR_BOOTLOADER_IMAGE,
       FWL_ERR_FAILED,
       {kResourceCleanup},
       0},
      {"empty resource",
       [](Rig& r) { r.usb.AddUnit(), r.resources.Add(112, {}); },
       112,
       FWL_ERR_FAILED,
       {"Update Firmware from ID(112) to Flash(0x00020000), Size(0)", kResourceCleanup},
       0},
      {"no unit",
       [](Rig&) {},
       IDR_BOOTLOADER_IMAGE,
       FWL_ERR_NOT_FOUND,
       {resourceLine, "NEV-Tavik Device not found!", kResourceCleanup},
       0},
      {"no answer to PING",
       [](Rig& r) { r.usb.AddUnit(InMode(UnitMode::OldApplication)); },
       IDR_BOOTLOADER_IMAGE,
       FWL_ERR_APP_MODE,
       {resourceLine, kReadTimeout, "NEV-Tavik Device found but not responding. Probably an old application.",
        kResourceCleanup},
       1000},
      {"application mode",
       [](Rig& r) { r.usb.AddUnit(InMode(UnitMode::Application)); },
       IDR_BOOTLOADER_IMAGE,
       FWL_ERR_APP_MODE,
       {resourceLine, "NEV-Tavik Device found and responding.",
        "NEV-Tavik Device is in Application Mode! Switch Off Tavik please and try again.", kResourceCleanup},
       0},
      // Only a NAK to the mode request counts as the bootloader; a mode request without answer does not.
      {"no answer to GET_MODE",
       [](Rig& r) { r.usb.AddUnit().AddFault({.kind = FaultKind::DropAnswer, .blockId = BLK_GET_MODE}); },
       IDR_BOOTLOADER_IMAGE,
       FWL_ERR_APP_MODE,
       {resourceLine, "NEV-Tavik Device found and responding.", kReadTimeout,
        "NEV-Tavik Device is in Application Mode! Switch Off Tavik please and try again.", kResourceCleanup},
       1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    c.setUp(rig);
    TraceCapture capture;
    EXPECT_EQ(rig.loader->UpdateFirmwareFromResource(c.resource, 0x20000), c.result);
    EXPECT_EQ(capture.Texts(), c.lines);
    const UsbFwLoader& loader = *rig.loader;
    EXPECT_EQ(loader.busy.load(), 0u);
    EXPECT_EQ(loader.firmwareSource, FWL_DATA_NONE);
    EXPECT_EQ(loader.imageData, nullptr);
    EXPECT_EQ(loader.resourceHandle, nullptr);
    EXPECT_FALSE(loader.threadHandle.joinable());
    EXPECT_EQ(rig.usb.OpenHandleCount(), 0u);
    EXPECT_EQ(rig.resources.Loads(), rig.resources.Frees());
    EXPECT_EQ(rig.queue.Size(), 0u);
    EXPECT_EQ(rig.clock.NowMs(), c.clockMs);
  }
}

TEST(FwLoader, AnImageFromMemoryWithoutBytesIsRefusedSilently) {
  Rig rig;
  rig.usb.AddUnit();
  const std::uint8_t byte = 0;
  TraceCapture capture;
  EXPECT_EQ(rig.loader->UpdateFirmwareFromMemory(nullptr, 10, 0x20000), FWL_ERR_FAILED);
  EXPECT_EQ(rig.loader->UpdateFirmwareFromMemory(&byte, 0, 0x20000), FWL_ERR_FAILED);
  EXPECT_TRUE(capture.Texts().empty());
  EXPECT_EQ(rig.usb.TotalCallCount(), 0u);
}

TEST(FwLoader, AFailedStartCommandResetsPausesAndSkipsThePasses) {
  Rig rig;
  EmulatedUnit& unit = rig.usb.AddUnit();
  unit.AddFault({.kind = FaultKind::WrongId, .blockId = BLK_START});
  TraceCapture capture;
  ASSERT_EQ(rig.loader->UpdateFirmwareFromResource(IDR_BOOTLOADER_IMAGE, 0x20000), FWL_STARTED);
  EXPECT_EQ(rig.RunStep(), Codes(0, FWL_ERR_FAILED));

  std::vector<std::string> expected = StartLines(IDR_BOOTLOADER_IMAGE, 0x20000, 10000);
  expected.insert(expected.end(), {"WriteUsbPipeData: BlockID error! Expected ID ACK(1), received ID (2)",
                                   kResourceCleanup, "SendUpdateResult = 11"});
  EXPECT_EQ(capture.Texts(), expected);
  EXPECT_EQ(rig.RequestIds(unit), (std::vector<std::uint32_t>{BLK_PING, BLK_GET_MODE, BLK_START, BLK_RESET}));
  const UsbBlock reset = unit.Exchanges().back().request;
  EXPECT_EQ(reset.BlockAddress, 0x20000u);
  EXPECT_EQ(reset.BlockLength, 10000u);
  EXPECT_EQ(rig.clock.NowMs(), 2000u);
  EXPECT_TRUE(unit.IsPresent());  // back in its bootloader after the pause
}

TEST(FwLoader, AFailedFinishEndsTheStepWithItsCodeWithoutResetOrPause) {
  struct Case {
    const char* name;
    bool abort;  // the cancel falls into the finish exchange
    ResultCode result;
  };
  const Case cases[] = {{"not acknowledged", false, FWL_ERR_FAILED}, {"cancelled", true, FWL_ABORTED}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    EmulatedUnit& unit = rig.usb.AddUnit();
    UsbFwLoader* loader = rig.loader.get();
    if (c.abort) {
      unit.SetExchangeHook([loader](const UsbBlock& request, std::uint64_t) {
        if (request.BlockID == BLK_FINISH) loader->abortRequested.store(1);
      });
    } else {
      unit.AddFault({.kind = FaultKind::WrongId, .blockId = BLK_FINISH});
    }
    ASSERT_EQ(loader->UpdateFirmwareFromResource(IDR_BOOTLOADER_IMAGE, 0x20000), FWL_STARTED);
    EXPECT_EQ(rig.RunStep(), Codes(12, c.result));
    EXPECT_EQ(rig.RequestIds(unit).back(), BLK_FINISH);
    EXPECT_EQ(rig.clock.NowMs(), 0u);
    EXPECT_EQ(loader->abortRequested.load(), c.abort ? 1u : 0u);  // stays set until the next start
  }
}

// The step's result goes out once the image and the connection are released; busy is cleared only after it,
// so that nothing sees the loader idle before the result is on its way.
TEST(FwLoader, TheResultIsPostedAfterTheCleanupWhileBusyIsStillSet) {
  struct AtResult {
    std::uint32_t busy = 0;
    std::int32_t firmwareSource = -1;
    std::size_t openHandles = 99;
    int frees = -1;
  };
  // Forwards to the rig's queue and notes the loader's state when the result (not a progress) is posted.
  class WatchingPoster final : public MessagePoster {
   public:
    explicit WatchingPoster(Rig& rig) : rig_(rig) {}
    bool Post(WindowRef window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override {
      if (lParam != FWL_PROGRESS) {
        const auto* loader = reinterpret_cast<const UsbFwLoader*>(wParam);
        seen = {loader->busy.load(), loader->firmwareSource, rig_.usb.OpenHandleCount(), rig_.resources.Frees()};
      }
      return rig_.queue.Post(window, message, wParam, lParam);
    }
    AtResult seen;

   private:
    Rig& rig_;
  };
  struct Case {
    const char* name;
    bool failStart;
    ResultCode result;
  };
  for (const Case& c : {Case{"success", false, FWL_OK}, Case{"failed start command", true, FWL_ERR_FAILED}}) {
    SCOPED_TRACE(c.name);
    Rig rig;
    EmulatedUnit& unit = rig.usb.AddUnit();
    if (c.failStart) unit.AddFault({.kind = FaultKind::WrongId, .blockId = BLK_START});
    WatchingPoster poster(rig);
    UsbFwLoader loader(DeviceLinkContext{&rig.usb, &rig.clock, &poster, &rig.resources});
    loader.SetNotifyWindow(kWindow, 0, WM_UPDATE_NOTIFY);
    ASSERT_EQ(loader.UpdateFirmwareFromResource(IDR_BOOTLOADER_IMAGE, 0x20000), FWL_STARTED);
    const auto messages = rig.Pump();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back().lParam, c.result);
    for (long guard = 0; guard < kPumpGuard && loader.busy.load() != 0; ++guard) std::this_thread::yield();
    EXPECT_EQ(loader.busy.load(), 0u);

    EXPECT_EQ(poster.seen.busy, 1u);
    EXPECT_EQ(poster.seen.firmwareSource, FWL_DATA_NONE);
    EXPECT_EQ(poster.seen.openHandles, 0u);
    EXPECT_EQ(poster.seen.frees, 1);
  }
}

TEST(FwLoader, ACancelDuringProgrammingStillSendsTheReset) {
  Rig rig;
  EmulatedUnit& unit = rig.usb.AddUnit();
  UsbFwLoader* loader = rig.loader.get();
  int writes = 0;  // touched by the worker only
  unit.SetExchangeHook([loader, &writes](const UsbBlock& request, std::uint64_t) {
    if (request.BlockID == BLK_WRITE && ++writes == 5) loader->abortRequested.store(1);
  });
  TraceCapture capture;
  ASSERT_EQ(loader->UpdateFirmwareFromResource(IDR_BOOTLOADER_IMAGE, 0x20000), FWL_STARTED);
  EXPECT_EQ(rig.RunStep(), Codes(1, FWL_ABORTED));

  const auto ids = rig.RequestIds(unit);
  ASSERT_GE(ids.size(), 2u);
  EXPECT_EQ(ids[ids.size() - 2], BLK_WRITE);  // the cancelled write, then nothing but the reset
  EXPECT_EQ(ids.back(), BLK_RESET);
  EXPECT_TRUE(unit.Exchanges().back().answered);
  EXPECT_EQ(loader->abortRequested.load(), 0u);
  EXPECT_EQ(rig.clock.NowMs(), 2000u);
  const auto texts = capture.Texts();
  const std::vector<std::string> tail{ProgramLine(0), "SendUpdateResult = 9", kResourceCleanup,
                                      "SendUpdateResult = 10"};
  ASSERT_GE(texts.size(), tail.size());
  EXPECT_EQ(std::vector<std::string>(texts.end() - 4, texts.end()), tail);
}

TEST(FwLoader, WithoutANotificationTargetTheStepRunsToTheEndSilently) {
  struct Case {
    WindowRef window;
    std::uint32_t message;
  };
  for (const Case& c : {Case{nullptr, WM_UPDATE_NOTIFY}, Case{kWindow, 0}}) {
    Rig rig;
    EmulatedUnit& unit = rig.usb.AddUnit();
    rig.loader->SetNotifyWindow(c.window, 0, c.message);
    TraceCapture capture;
    ASSERT_EQ(rig.loader->UpdateFirmwareFromResource(IDR_BOOTLOADER_IMAGE, 0x20000), FWL_STARTED);
    rig.WaitIdle();
    const auto texts = capture.Texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), kResourceCleanup);
    for (const std::string& text : texts) EXPECT_EQ(text.find("SendUpdateResult"), std::string::npos) << text;
    EXPECT_EQ(rig.queue.Size(), 0u);
    EXPECT_EQ(unit.ReadFlash(0x20000, 10000), rig.bootImage);
    EXPECT_EQ(rig.RequestIds(unit).back(), BLK_FINISH);
  }
}

TEST(FwLoader, DestroyingTheLoaderDuringAStepStopsTheWorkerFirst) {
  Rig rig;
  EmulatedUnit& unit = rig.usb.AddUnit();
  UsbFwLoader* loader = rig.loader.get();
  // The worker waits inside its 100th write until the destructor asks it to stop.
  std::atomic<int> writes{0};
  unit.SetExchangeHook([loader, &writes](const UsbBlock& request, std::uint64_t) {
    if (request.BlockID != BLK_WRITE || writes.fetch_add(1) != 99) return;
    while (loader->abortRequested.load() == 0) std::this_thread::yield();
  });
  std::atomic<int> freedWhileBusy{-1};
  rig.resources.onFree = [loader, &freedWhileBusy] { freedWhileBusy.store(static_cast<int>(loader->busy.load())); };
  TraceCapture capture;
  ASSERT_EQ(loader->UpdateFirmwareFromResource(IDR_APPLICATION_IMAGE, 0x100000), FWL_STARTED);
  while (writes.load() < 100) std::this_thread::yield();
  rig.loader.reset();

  // The worker released the image itself, reset the unit and ended; then the destructor cleaned up.
  EXPECT_EQ(freedWhileBusy.load(), 1);  // released by the worker, before its last act
  EXPECT_EQ(rig.resources.Frees(), 1);
  const auto texts = capture.Texts();
  const std::vector<std::string> tail{kResourceCleanup, "SendUpdateResult = 10",
                                      "FirmwareUpdateCleanup for unknown Firmware Source!"};
  ASSERT_GE(texts.size(), tail.size());
  EXPECT_EQ(std::vector<std::string>(texts.end() - 3, texts.end()), tail);
  EXPECT_EQ(rig.RequestIds(unit).back(), BLK_RESET);
  EXPECT_EQ(rig.clock.NowMs(), 0u);  // no pause: no step follows
  EXPECT_EQ(rig.usb.OpenHandleCount(), 0u);
}

// The user quits while the unit takes long over an erase: the destructor aborts the pipes, so the answer is
// not waited for; the worker still resets the unit and ends as after a cancel, with the same lines.
TEST(FwLoader, DestroyingTheLoaderDuringASlowEraseDoesNotWaitForTheAnswer) {
  HeldSleepClock clock;  // the erase's read is held until it is woken: the destructor runs while it is in flight
  EmulatedUsb usb{clock};
  PostedMessageQueue queue;
  FakeResources resources;
  resources.Add(IDR_BOOTLOADER_IMAGE, RandomBytes(10000, 1));
  DeviceLinkContext context{&usb, &clock, &queue, &resources};
  auto loader = std::make_unique<UsbFwLoader>(context);
  loader->SetNotifyWindow(kWindow, 0, WM_UPDATE_NOTIFY);
  EmulatedUnit& unit = usb.AddUnit();
  unit.AddFault({.kind = FaultKind::SlowErase, .blockId = BLK_ERASE, .value = 25000});

  TraceCapture capture;
  ASSERT_EQ(loader->UpdateFirmwareFromResource(IDR_BOOTLOADER_IMAGE, 0x20000), FWL_STARTED);
  ASSERT_TRUE(clock.WaitForHeldSleep());
  loader.reset();

  EXPECT_EQ(clock.NowMs(), 0u);  // neither the erase's 20 s nor the pause after the reset
  const auto exchanges = unit.Exchanges();
  ASSERT_GE(exchanges.size(), 2u);
  EXPECT_EQ(exchanges[exchanges.size() - 2].request.BlockID, BLK_ERASE);
  EXPECT_EQ(exchanges.back().request.BlockID, BLK_RESET);
  EXPECT_TRUE(exchanges.back().answered);
  const auto texts = capture.Texts();
  const std::vector<std::string> tail{"WriteUsbPipeData: USBDev_PipeRd() failed! error = 995, bytesWritten = 0",
                                      ProgramLine(0),
                                      "SendUpdateResult = 9",
                                      kResourceCleanup,
                                      "SendUpdateResult = 10",
                                      "FirmwareUpdateCleanup for unknown Firmware Source!"};
  ASSERT_GE(texts.size(), tail.size());
  EXPECT_EQ(std::vector<std::string>(texts.end() - 6, texts.end()), tail);
  EXPECT_NO_USB_VIOLATIONS(usb);
  EXPECT_EQ(usb.OpenHandleCount(), 0u);
  EXPECT_EQ(resources.Loads(), resources.Frees());
}

TEST(FwLoader, DestroyingAnIdleLoaderClosesNothingThatIsNotOpen) {
  Rig rig;
  rig.usb.AddUnit();
  TraceCapture capture;
  rig.loader.reset();
  EXPECT_EQ(capture.Texts(), std::vector<std::string>{"FirmwareUpdateCleanup for unknown Firmware Source!"});
  EXPECT_EQ(rig.usb.TotalCallCount(), 0u);
}

TEST(FwLoader, CleanupReleasesTheMemoryAndTheFileItOwns) {
  struct Case {
    std::int32_t source;
    bool file;
    const char* line;
  };
  const Case cases[] = {{FWL_DATA_LOCAL_ALLOC, false, "FirmwareUpdateCleanup for FWL_DATA_LOCAL_ALLOC"},
                        {FWL_DATA_FROM_FILE, true, "FirmwareUpdateCleanup for FWL_DATA_FROM_FILE"},
                        {FWL_DATA_FROM_FILE, false, "FirmwareUpdateCleanup for FWL_DATA_FROM_FILE"},
                        {7, false, "FirmwareUpdateCleanup for unknown Firmware Source!"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Rig rig;
    UsbFwLoader& loader = *rig.loader;
    loader.firmwareSource = c.source;
    void* memory = std::malloc(64);
    loader.imageData = static_cast<const std::uint8_t*>(memory);
    if (c.file) loader.fileHandle = std::tmpfile();
    TraceCapture capture;
    loader.FirmwareUpdateCleanup();
    EXPECT_EQ(capture.Texts(), std::vector<std::string>{c.line});
    EXPECT_EQ(loader.imageData, nullptr);
    EXPECT_EQ(loader.firmwareSource, FWL_DATA_NONE);
    EXPECT_EQ(loader.fileHandle, UsbInvalidHandle());
    if (c.source == 7) std::free(memory);  // an unknown source owns nothing
  }
}

TEST(FwLoader, APowerCutAnywhereInAStepLeavesAUnitThatAFreshStepCompletes) {
  struct Case {
    std::uint16_t resource;
    std::uint32_t address;
    std::uint32_t blockId;
    std::uint32_t skip;
  };
  const Case cases[] = {
      {IDR_APPLICATION_IMAGE, 0x20000, BLK_START, 0},   {IDR_APPLICATION_IMAGE, 0x20000, BLK_ERASE, 1},
      {IDR_APPLICATION_IMAGE, 0x80000, BLK_WRITE, 300}, {IDR_APPLICATION_IMAGE, 0x80000, BLK_READ, 700},
      {IDR_APPLICATION_IMAGE, 0x20000, BLK_FINISH, 0},  {IDR_APPLICATION_IMAGE, 0x100000, BLK_WRITE, 610},
      {IDR_BOOTLOADER_IMAGE, 0x100000, BLK_ERASE, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "address " << c.address << " id " << c.blockId << " skip " << c.skip);
    Rig rig;
    EmulatedUnit& unit = rig.usb.AddUnit();
    unit.AddFault({.kind = FaultKind::PowerLoss, .blockId = c.blockId, .skip = c.skip});
    ASSERT_EQ(rig.loader->UpdateFirmwareFromResource(c.resource, c.address), FWL_STARTED);
    const auto codes = rig.RunStep();
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes.back(), FWL_ERR_FAILED);

    unit.PlugIn();  // the power comes back
    ASSERT_FALSE(unit.IsBricked());
    ASSERT_TRUE(unit.IsPresent());
    EXPECT_EQ(unit.Mode(), UnitMode::Bootloader);
    ASSERT_EQ(rig.loader->UpdateFirmwareFromResource(c.resource, c.address), FWL_STARTED);
    EXPECT_EQ(rig.RunStep().back(), FWL_OK);
    const auto& image = c.resource == IDR_APPLICATION_IMAGE ? rig.appImage : rig.bootImage;
    EXPECT_EQ(unit.ReadFlash(c.address, static_cast<std::uint32_t>(image.size())), image);
  }
}

TEST(FwLoader, TheProgramsOwnImageIsWrittenFromWhereItLies) {
  Rig rig;
  EmulatedUnit& unit = rig.usb.AddUnit();
  ResourceLoader& program = ProgramResources();
  rig.context.resources = &program;
  UsbFwLoader loader(rig.context);
  loader.SetNotifyWindow(kWindow, 0, WM_UPDATE_NOTIFY);

  const ResourceInfo info = program.FindRawData(IDR_BOOTLOADER_IMAGE);
  ASSERT_NE(info, nullptr);
  const std::uint32_t size = program.SizeOf(info);
  ASSERT_EQ(size, 156400u);
  const ResourceHandle handle = program.Load(info);
  const std::uint8_t* bytes = program.Lock(handle);
  const std::vector<std::uint8_t> embedded(bytes, bytes + size);
  program.Free(handle);

  unit.SetExchangeHook([&](const UsbBlock& request, std::uint64_t) {
    if (request.BlockID == BLK_START) {
      EXPECT_EQ(loader.imageData, bytes);  // read in place, never copied
    }
  });
  ASSERT_EQ(loader.UpdateFirmwareFromResource(IDR_BOOTLOADER_IMAGE, 0x80000), FWL_STARTED);
  std::vector<std::intptr_t> codes;
  for (const PostedMessage& m : rig.Pump()) codes.push_back(m.lParam);
  while (loader.busy.load() != 0) std::this_thread::yield();
  EXPECT_EQ(codes, Codes(4 + 21, FWL_OK));  // 156,400 bytes: 0, 41, 83, 100, then every fifth percent
  EXPECT_EQ(unit.ReadFlash(0x80000, size), embedded);
  EXPECT_TRUE(unit.SlotFlag(UnitSlot::Bootloader2));
  unit.SetExchangeHook(nullptr);
}
