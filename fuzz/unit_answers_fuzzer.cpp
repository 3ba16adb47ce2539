// The unit's answers: the device information query and one whole update step (start command, programming
// pass, verification pass, finish or reset), run synchronously on a loader against a unit whose answers the
// fuzzer's bytes choose (see scripted_unit_usb.h).
//
// Input: one set-up byte (image size class, flash address, unit present, application mode), the image size
// and, if chosen, the flash address; then one mode byte (and its data) per exchange.
//
// With UPDATER_FUZZ_STATS set, the run prints at its end how often the roads of interest were taken: the
// comparison's failures, the verification pass, a chunk written again, the step's results.

#include <sanitizer/asan_interface.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/clock.h"
#include "app/message_poster.h"
#include "app/trace.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/scripted_unit_usb.h"
#include "usb/usb_fw_loader.h"

namespace {
struct Stats {
  std::uint64_t runs = 0;
  std::uint64_t deviceInfoOk = 0;
  std::uint64_t compareAddress = 0;  // trace lines of the comparison
  std::uint64_t compareLength = 0;
  std::uint64_t compareData = 0;
  std::uint64_t verifyRuns = 0;         // runs whose verification pass began
  std::uint64_t verifyCompareRuns = 0;  // ... and whose step ended with FWL_ERR_COMPARE
  std::uint64_t copiedVersions = 0;     // version answers that reached the copy of the texts
  std::array<std::uint64_t, 16> stepResults{};
  ScriptedUnitCounters unit;
};
Stats g_stats;
bool g_counting = false;  // UPDATER_FUZZ_STATS is set
bool g_verifyBegan = false;

// Traces are counted when asked for, never printed: printing would cost more than the run itself.
class CountingSink final : public TraceSink {
 public:
  void Write(const char* line) override;
};

void CountingSink::Write(const char* line) {
  if (!g_counting) return;
  const char* text = line + sizeof(TRACE_PREFIX) - 1;
  if (std::strncmp(text, "DataCompare(): BlockAddress", 27) == 0) ++g_stats.compareAddress;
  if (std::strncmp(text, "DataCompare(): BlockLength", 26) == 0) ++g_stats.compareLength;
  if (std::strncmp(text, "DataCompare(): BlockData", 24) == 0) ++g_stats.compareData;
  if (std::strncmp(text, "Application Version = ", 22) == 0) ++g_stats.copiedVersions;
  if (std::strncmp(text, "Tavik:  Verify Device ...     0 %", 33) == 0) g_verifyBegan = true;
}

void PrintStats() {
  const Stats& s = g_stats;
  std::fprintf(
      stderr,
      "unit answers: %llu runs, device information read %llu times\n"
      "  exchanges %llu: sound %llu, flipped %llu, raw %llu, failed transfers %llu\n"
      "  comparison failures: address %llu, length %llu, data bytes %llu; chunks erased again %llu\n"
      "  verification pass began in %llu runs, ended the step with FWL_ERR_COMPARE in %llu\n"
      "  version texts copied %llu times\n  step results:",
      static_cast<unsigned long long>(s.runs), static_cast<unsigned long long>(s.deviceInfoOk),
      static_cast<unsigned long long>(s.unit.exchanges), static_cast<unsigned long long>(s.unit.soundAnswers),
      static_cast<unsigned long long>(s.unit.flippedAnswers), static_cast<unsigned long long>(s.unit.rawAnswers),
      static_cast<unsigned long long>(s.unit.failedTransfers), static_cast<unsigned long long>(s.compareAddress),
      static_cast<unsigned long long>(s.compareLength), static_cast<unsigned long long>(s.compareData),
      static_cast<unsigned long long>(s.unit.repeatedErases), static_cast<unsigned long long>(s.verifyRuns),
      static_cast<unsigned long long>(s.verifyCompareRuns), static_cast<unsigned long long>(s.copiedVersions));
  for (std::size_t code = 0; code < s.stepResults.size(); ++code) {
    if (s.stepResults[code] != 0) {
      std::fprintf(stderr, " %zu: %llu", code, static_cast<unsigned long long>(s.stepResults[code]));
    }
  }
  std::fprintf(stderr, "\n");
}

// The loader posts its results and progress here; the step's result is the last one that is no progress.
class ResultPoster final : public MessagePoster {
 public:
  bool Post(WindowRef, std::uint32_t, std::uintptr_t, std::intptr_t lParam) override {
    if (lParam != FWL_PROGRESS) result = lParam;
    return true;
  }
  std::intptr_t result = -1;
};

int g_window;

// The image bytes: any fixed pattern; the unit's answers are what is fuzzed.
std::uint8_t ImageByte(std::uint32_t offset) { return static_cast<std::uint8_t>(offset * 167 + (offset >> 8) + 3); }

constexpr std::uint32_t kSmallImageLimit = 1024;  // most runs: one chunk of a few blocks
constexpr std::uint32_t kLargeImageExtra = 1024;  // some runs: a full chunk and part of a second
constexpr std::uint32_t kMaxImageSize = CHUNK_SIZE + kLargeImageExtra;
constexpr std::uint32_t kFlashAddresses[] = {0x20000, 0x80000, 0x100000};

void CheckDeviceInfo(const DeviceInfo& info, ResultCode result) {
  FUZZ_CHECK(info.mode >= 0 && info.mode <= DEVICE_MODE_OLD_APPLICATION);
  FUZZ_CHECK(std::memchr(info.appVersion, 0, 31) != nullptr);
  FUZZ_CHECK(std::memchr(info.bootVersion, 0, 31) != nullptr);
  FUZZ_CHECK(info.appFlag == 0 || info.appFlag == 1);
  FUZZ_CHECK(info.boot1Flag == 0 || info.boot1Flag == 1);
  FUZZ_CHECK(info.boot2Flag == 0 || info.boot2Flag == 1);
  FUZZ_CHECK(result == FWL_OK || result == FWL_ERR_NOT_FOUND || result == FWL_ERR_FAILED || result == FWL_ABORTED);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static CountingSink sink;
  StartTrace(&sink);
  g_counting = std::getenv("UPDATER_FUZZ_STATS") != nullptr;
  if (g_counting) std::atexit(PrintStats);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  ++g_stats.runs;
  g_verifyBegan = false;

  const std::uint8_t setup = input.Byte();
  const bool large = (setup & 0x80) != 0;
  const std::uint32_t imageSize =
      large ? CHUNK_SIZE + input.U16() % kLargeImageExtra : 1 + input.U16() % kSmallImageLimit;
  const std::uint32_t flashAddress = (setup & 0x40) != 0 ? input.U32() : kFlashAddresses[(setup & 3) % 3];
  const bool present = (setup & 0x20) == 0;
  const bool applicationMode = (setup & 0x1C) == 0x1C;

  // The image ends where the buffer ends and the bytes in front of it are poisoned, so that a read past
  // either end is caught; nothing is allocated per run.
  static std::uint8_t imageBuffer[kMaxImageSize];
  static const bool filled = [] {
    for (std::uint32_t i = 0; i < kMaxImageSize; ++i) imageBuffer[i] = ImageByte(i);
    return true;
  }();
  (void)filled;
  const std::uint32_t front = kMaxImageSize - imageSize;
  std::uint8_t* const image = imageBuffer + front;
  ASAN_POISON_MEMORY_REGION(imageBuffer, front);
  static std::vector<std::uint8_t> flash;
  flash.assign(imageSize, 0xFF);

  ScriptedUnitUsb usb(input, flashAddress, flash, present, applicationMode, g_stats.unit);
  VirtualClock clock;
  ResultPoster poster;
  DeviceLinkContext context{&usb, &clock, &poster, nullptr};
  {
    UsbFwLoader loader(context);
    loader.SetNotifyWindow(&g_window, 0, WM_UPDATE_NOTIFY);

    DeviceInfo info;
    const ResultCode infoResult = loader.ReadDeviceInfo(&info);
    CheckDeviceInfo(info, infoResult);
    if (infoResult == FWL_OK) ++g_stats.deviceInfoOk;
    FUZZ_CHECK(usb.OpenHandles() == 0);

    // One step as the worker runs it, on this thread: the probe of the start, then the worker's body.
    if (loader.OpenUsbConnection()) {
      loader.imageData = image;
      loader.imageSize = imageSize;
      loader.flashAddress = flashAddress;
      loader.imageOffset = 0;
      loader.SendUsbCommand(BLK_PING, 0, 0, BLOCK_TIMEOUT_MS);
      loader.SendUsbCommand(BLK_GET_MODE, 0, 0, BLOCK_TIMEOUT_MS);
      loader.FirmwareUpdateWorker();

      const std::intptr_t result = poster.result;
      FUZZ_CHECK(result == FWL_OK || result == FWL_ERR_COMPARE || result == FWL_ABORTED || result == FWL_ERR_FAILED);
      ++g_stats.stepResults[static_cast<std::size_t>(result)];
      if (g_verifyBegan) ++g_stats.verifyRuns;
      if (g_verifyBegan && result == FWL_ERR_COMPARE) ++g_stats.verifyCompareRuns;
      FUZZ_CHECK(loader.busy.load() == 0);
      FUZZ_CHECK(loader.programPercent.load() <= 100 && loader.verifyPercent.load() <= 100);
      FUZZ_CHECK(loader.imageOffset <= imageSize);
      FUZZ_CHECK(loader.imageData == nullptr);
      FUZZ_CHECK(usb.OpenHandles() == 0);
      // A step reported good has left the image in the unit's flash.
      if (result == FWL_OK) FUZZ_CHECK(std::memcmp(flash.data(), image, imageSize) == 0);
    }
  }
  FUZZ_CHECK(usb.OpenHandles() == 0);
  ASAN_UNPOISON_MEMORY_REGION(imageBuffer, front);
  return 0;
}
