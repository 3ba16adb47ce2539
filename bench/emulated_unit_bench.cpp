// The emulated unit's own cost per exchange (zero-latency timing, recording off): what it adds to a
// benchmark of the block exchange, and that it allocates nothing per block.

#include <benchmark/benchmark.h>

#include <cstring>

#include "alloc_counter.h"
#include "app/clock.h"
#include "emu/emulated_usb.h"
#include "image/crc32.h"

namespace {
struct OpenUnit {
  VirtualClock clock;
  EmulatedUsb usb{clock};
  EmulatedUnit& unit;
  UsbFileHandle file;
  UsbInterfaceHandle handle = UsbInvalidHandle();

  OpenUnit() : unit(usb.AddUnit(Config())), file(usb.OpenDeviceFile(unit.DevicePath().c_str())) {
    usb.InitializeInterface(file, &handle);
  }
  ~OpenUnit() {
    usb.FreeInterface(handle);
    usb.CloseDeviceFile(file);
  }
  static UnitConfig Config() {
    UnitConfig config;
    config.recordExchanges = false;
    return config;
  }
  // One exchange as the device link makes it: OUT timeout, write, IN timeout, read.
  bool Exchange(const UsbBlock& request, UsbBlock& answer) {
    const std::uint32_t timeout = 1000;
    std::uint32_t count = 0;
    usb.SetPipePolicy(handle, 0x01, USB_POLICY_PIPE_TRANSFER_TIMEOUT, sizeof timeout, &timeout);
    usb.WritePipe(handle, 0x01, reinterpret_cast<const std::uint8_t*>(&request), sizeof request, &count);
    usb.SetPipePolicy(handle, 0x81, USB_POLICY_PIPE_TRANSFER_TIMEOUT, sizeof timeout, &timeout);
    return usb.ReadPipe(handle, 0x81, reinterpret_cast<std::uint8_t*>(&answer), sizeof answer, &count);
  }
};

UsbBlock Request(std::uint32_t id, std::uint32_t address, std::uint32_t length) {
  UsbBlock block{};
  block.BlockID = id;
  block.BlockAddress = address;
  block.BlockLength = length;
  if (id == BLK_WRITE) std::memset(block.BlockData, 0x5A, length);
  block.BlockCRC = Crc32(&block, BLOCK_CRC_OFFSET);
  return block;
}

void RunExchanges(benchmark::State& state, const UsbBlock& request) {
  OpenUnit open;
  UsbBlock answer{};
  open.Exchange(request, answer);  // warm up
  const std::uint64_t allocations = AllocationCount();
  for (auto _ : state) {
    benchmark::DoNotOptimize(open.Exchange(request, answer));
    benchmark::ClobberMemory();
  }
  state.counters["allocs/exchange"] =
      static_cast<double>(AllocationCount() - allocations) / static_cast<double>(state.iterations());
  if (!open.usb.Violations().empty()) state.SkipWithError("the unit reported a violation");
}

void BM_EmulatedUnitReadBlock(benchmark::State& state) { RunExchanges(state, Request(BLK_READ, 0x100000, 256)); }
BENCHMARK(BM_EmulatedUnitReadBlock);

void BM_EmulatedUnitWriteBlock(benchmark::State& state) { RunExchanges(state, Request(BLK_WRITE, 0x100000, 256)); }
BENCHMARK(BM_EmulatedUnitWriteBlock);

void BM_EmulatedUnitPing(benchmark::State& state) { RunExchanges(state, Request(BLK_PING, 0, 0)); }
BENCHMARK(BM_EmulatedUnitPing);
}  // namespace
