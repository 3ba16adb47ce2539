// One block exchange (WriteUsbPipeData) against the emulated unit at zero latency, with its record off: the
// host time per exchange and the heap allocations per exchange (counted by the binary's operator new).

#include <benchmark/benchmark.h>

#include <cstring>

#include "alloc_counter.h"
#include "app/clock.h"
#include "app/message_poster.h"
#include "app/trace.h"
#include "emu/emulated_usb.h"
#include "usb/usb_fw_loader.h"

namespace {
constexpr std::uint32_t kAddress = 0x400000;  // free flash, outside the three slots

// The benchmark starts no trace: the loader's lines go nowhere.

void BM_WriteUsbPipeData(benchmark::State& state) {
  const auto blockId = static_cast<std::uint32_t>(state.range(0));
  VirtualClock clock;
  EmulatedUsb usb(clock);
  UnitConfig config;
  config.recordExchanges = false;
  usb.AddUnit(config);
  PostedMessageQueue queue;
  UsbFwLoader loader(DeviceLinkContext{&usb, &clock, &queue, nullptr});
  loader.interfaceGuid = TAVIK_INTERFACE_GUID;
  if (!loader.OpenUsbConnection()) {
    state.SkipWithError("the emulated unit did not open");
    return;
  }

  UsbBlock request;
  std::memset(&request, 0, sizeof request);
  request.BlockID = blockId;
  if (blockId == BLK_WRITE || blockId == BLK_READ) {
    request.BlockAddress = kAddress;
    request.BlockLength = BLOCK_DATA_SIZE;
  }
  if (blockId == BLK_WRITE) std::memset(request.BlockData, 0x5A, BLOCK_DATA_SIZE);

  std::int64_t failures = 0;
  const std::uint64_t allocationsBefore = AllocationCount();
  for (auto _ : state) {
    UsbBlock block = request;
    failures += loader.WriteUsbPipeData(block, BLOCK_TIMEOUT_MS, 0) != FWL_OK;
    benchmark::DoNotOptimize(block);
  }
  const std::uint64_t allocations = AllocationCount() - allocationsBefore;

  state.counters["allocs_per_exchange"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
  if (failures != 0) state.SkipWithError("an exchange failed");
  if (!usb.Violations().empty()) state.SkipWithError(usb.Violations().front().c_str());
  loader.CloseUsbConnection();
}
BENCHMARK(BM_WriteUsbPipeData)->ArgName("blockId")->Arg(BLK_WRITE)->Arg(BLK_READ)->Arg(BLK_PING);
}  // namespace
