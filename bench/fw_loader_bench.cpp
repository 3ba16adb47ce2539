// One whole update step of an application-sized image (2,633,516 bytes at 0x100000) against the emulated unit:
// start, worker, programming and verification passes, finish, result.
//  - BM_FirmwareStep/instant: the unit answers at once; host time per exchange and heap allocations, both
//    for the whole step and between the first write and the finish (the per-block path, target 0). Natively
//    the progress notifications go into a std::deque, which takes a node per 16 of them; that is counted.
//  - BM_FirmwareStep/full_speed: the unit's USB full-speed timing model on the virtual clock; the step's
//    modelled time over the sum of the unit's modelled latencies (target at most 1.01).

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>
#include <vector>

#include "alloc_counter.h"
#include "app/clock.h"
#include "app/message_poster.h"
#include "app/trace.h"
#include "emu/emulated_usb.h"
#include "support/random_bytes.h"
#include "usb/usb_fw_loader.h"

namespace {
constexpr std::uint32_t kImageSize = 2633516;
constexpr std::uint32_t kAddress = UNIT_APPLICATION_ADDRESS;
constexpr std::uint32_t kBlocks = (kImageSize + FLASH_BLOCK_SIZE - 1) / FLASH_BLOCK_SIZE;
int g_windowToken;

// The benchmark starts no trace: the loader's lines go nowhere.

// The image as a resource of the program: read in place.
class OneImage final : public ResourceLoader {
 public:
  explicit OneImage(const std::vector<std::uint8_t>& image) : image_(image) {}
  ResourceInfo FindRawData(std::uint16_t id) override {
    return id == IDR_APPLICATION_IMAGE ? const_cast<std::uint8_t*>(image_.data()) : nullptr;
  }
  std::uint32_t SizeOf(ResourceInfo) override { return static_cast<std::uint32_t>(image_.size()); }
  ResourceHandle Load(ResourceInfo info) override { return info; }
  const std::uint8_t* Lock(ResourceHandle handle) override { return static_cast<const std::uint8_t*>(handle); }
  void Free(ResourceHandle) override {}

 private:
  const std::vector<std::uint8_t>& image_;
};

const std::vector<std::uint8_t>& ApplicationImage() {
  static const std::vector<std::uint8_t> image = RandomBytes(kImageSize, 7);
  return image;
}

// Takes the step's notifications until its result; false if none came.
bool AwaitResult(PostedMessageQueue& queue, UsbFwLoader& loader, std::intptr_t& result) {
  for (long guard = 0; guard < 2'000'000'000; ++guard) {
    const auto m = queue.TryTake();
    if (!m) {
      std::this_thread::yield();
      continue;
    }
    if (m->lParam == FWL_PROGRESS) continue;
    result = m->lParam;
    while (loader.busy.load() != 0) std::this_thread::yield();
    return true;
  }
  return false;
}

void BM_FirmwareStep(benchmark::State& state, UnitTiming timing) {
  VirtualClock clock;
  EmulatedUsb usb(clock);
  UnitConfig config;
  config.recordExchanges = false;
  config.timing = timing;
  EmulatedUnit& unit = usb.AddUnit(config);
  PostedMessageQueue queue;
  OneImage resources(ApplicationImage());
  UsbFwLoader loader(DeviceLinkContext{&usb, &clock, &queue, &resources});
  loader.SetNotifyWindow(&g_windowToken, 0, WM_UPDATE_NOTIFY);

  // Allocations on the per-block path: from the first write request to the finish request.
  std::atomic<std::uint64_t> atFirstWrite{0};
  std::atomic<std::uint64_t> atFinish{0};
  unit.SetExchangeHook([&](const UsbBlock& request, std::uint64_t) {
    if (request.BlockID == BLK_WRITE && atFirstWrite.load() == 0) atFirstWrite.store(AllocationCount());
    if (request.BlockID == BLK_FINISH) atFinish.store(AllocationCount());
  });

  std::uint64_t exchanges = 0, allocations = 0, blockPathAllocations = 0, clockMs = 0, modelledUs = 0;
  for (auto _ : state) {
    atFirstWrite.store(0);
    const std::uint64_t exchangesBefore = unit.ExchangeCount();
    const std::uint64_t allocationsBefore = AllocationCount();
    const std::uint64_t clockBefore = clock.NowMs();
    const std::uint64_t modelledBefore = unit.ModelledTimeUs();

    std::intptr_t result = -1;
    if (loader.UpdateFirmwareFromResource(IDR_APPLICATION_IMAGE, kAddress) != FWL_STARTED ||
        !AwaitResult(queue, loader, result) || result != FWL_OK) {
      state.SkipWithError("the step failed");
      return;
    }
    allocations += AllocationCount() - allocationsBefore;
    blockPathAllocations += atFinish.load() - atFirstWrite.load();
    exchanges += unit.ExchangeCount() - exchangesBefore;
    clockMs += clock.NowMs() - clockBefore;
    modelledUs += unit.ModelledTimeUs() - modelledBefore;
  }
  unit.SetExchangeHook(nullptr);

  using benchmark::Counter;
  const double steps = static_cast<double>(state.iterations());
  state.counters["exchanges_per_step"] = static_cast<double>(exchanges) / steps;
  state.counters["time_per_exchange"] = Counter(static_cast<double>(exchanges), Counter::kIsRate | Counter::kInvert);
  state.counters["allocs_per_step"] = static_cast<double>(allocations) / steps;
  state.counters["allocs_per_block"] = static_cast<double>(blockPathAllocations) / (steps * kBlocks);
  if (modelledUs != 0) {
    state.counters["modelled_step_s"] = static_cast<double>(clockMs) / 1000.0 / steps;
    state.counters["step_over_latencies"] = static_cast<double>(clockMs) * 1000.0 / static_cast<double>(modelledUs);
  }
  if (!usb.Violations().empty()) state.SkipWithError(usb.Violations().front().c_str());
}
// The step runs on the worker thread: wall time is its time.
BENCHMARK_CAPTURE(BM_FirmwareStep, instant, UnitTiming::Instant())->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_FirmwareStep, full_speed, UnitTiming::FullSpeed())->Unit(benchmark::kMillisecond)->UseRealTime();
}  // namespace
