// One block exchange (WriteUsbPipeData) against the emulated unit at zero latency, with its record off: the
// host time per exchange and the heap allocations per exchange (counted by the binary's operator new). Beside it
// the same exchange with the USB capture on: every record formatted and handed to an output that keeps nothing
// (the capture's own cost), and written to a file in the temporary folder (the C library's buffered writes too).

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "alloc_counter.h"
#include "app/clock.h"
#include "app/message_poster.h"
#include "app/trace.h"
#include "emu/emulated_usb.h"
#include "usb/capture_file.h"
#include "usb/usb_capture.h"
#include "usb/usb_fw_loader.h"

namespace {
constexpr std::uint32_t kAddress = 0x400000;  // free flash, outside the three slots

// The benchmark starts no trace: the loader's lines go nowhere.

enum class Capture { Off, NullOutput, File };

void Exchange(benchmark::State& state, Capture mode) {
  const auto blockId = static_cast<std::uint32_t>(state.range(0));
  VirtualClock clock;
  EmulatedUsb usb(clock);
  UnitConfig config;
  config.recordExchanges = false;
  usb.AddUnit(config);
  PostedMessageQueue queue;
  NullCaptureOutput nothing;
  FileCaptureOutput file;
  const std::string path = "/tmp/block_exchange_bench_" + std::to_string(::getpid()) + ".pcapng";
  if (mode == Capture::File && !file.Open(path, nullptr)) {
    state.SkipWithError("the capture file could not be made");
    return;
  }
  std::unique_ptr<UsbCapture> capture;
  if (mode != Capture::Off) {
    CaptureSetup setup;
    setup.application = "block_exchange_bench";
    setup.plan = "no update: benchmark";
    capture = std::make_unique<UsbCapture>(mode == Capture::File ? static_cast<CaptureOutput&>(file) : nothing, setup);
  }
  DeviceLinkContext link{&usb, &clock, &queue, nullptr};
  link.capture = capture.get();
  UsbFwLoader loader(link);
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
  if (capture) {
    capture->Finish();
    if (capture->Failed()) state.SkipWithError("the capture could not be written");
  }
  if (mode == Capture::File) {
    file.Close();
    std::remove(path.c_str());
  }
}

void BM_WriteUsbPipeData(benchmark::State& state) { Exchange(state, Capture::Off); }
void BM_WriteUsbPipeDataCapturedNullOutput(benchmark::State& state) { Exchange(state, Capture::NullOutput); }
void BM_WriteUsbPipeDataCapturedToFile(benchmark::State& state) { Exchange(state, Capture::File); }
BENCHMARK(BM_WriteUsbPipeData)->ArgName("blockId")->Arg(BLK_WRITE)->Arg(BLK_READ)->Arg(BLK_PING);
BENCHMARK(BM_WriteUsbPipeDataCapturedNullOutput)->ArgName("blockId")->Arg(BLK_WRITE)->Arg(BLK_READ)->Arg(BLK_PING);
// A fixed count, so that the file stays some 30 MB.
BENCHMARK(BM_WriteUsbPipeDataCapturedToFile)
    ->ArgName("blockId")
    ->Arg(BLK_WRITE)
    ->Arg(BLK_READ)
    ->Arg(BLK_PING)
    ->Iterations(50000);
}  // namespace
