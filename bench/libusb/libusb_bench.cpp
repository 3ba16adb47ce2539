// The block exchange through the libusb backend: real libusb over usbdevfs requests that umockdev hands to the
// emulated unit, beside the same exchange on the emulated bus directly (the unit's own cost, no USB stack).
// Runs under the wrapper, which the testbed needs:  umockdev-wrapper build/native/libusb_bench
//  - BM_Exchange/direct, /libusb: host time of one WriteUsbPipeData (a PING and its answer) on an open
//    connection, and the heap allocations (operator new, every thread) per exchange.
//  - BM_WholeUpdate/direct, /libusb: the device query and the three steps of an update with the shipped image
//    sizes (the bootloader at 0x20000 and 0x80000, the application at 0x100000): its host time, its exchanges,
//    the time per exchange.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "alloc_counter.h"
#include "app/clock.h"
#include "app/message_poster.h"
#include "app/trace.h"
#include "emu/emulated_usb.h"
#include "libusb/umockdev_unit.h"
#include "platform/libusb/libusb_platform.h"
#include "support/random_bytes.h"
#include "usb/usb_fw_loader.h"

namespace {
constexpr std::uint32_t kApplicationSize = 2633516;
constexpr std::uint32_t kBootloaderSize = 156400;
int g_windowToken;

// The two images as resources of the program: read in place.
class TwoImages final : public ResourceLoader {
 public:
  TwoImages() : application_(RandomBytes(kApplicationSize, 7)), bootloader_(RandomBytes(kBootloaderSize, 8)) {}
  ResourceInfo FindRawData(std::uint16_t id) override {
    if (id == IDR_APPLICATION_IMAGE) return &application_;
    if (id == IDR_BOOTLOADER_IMAGE) return &bootloader_;
    return nullptr;
  }
  std::uint32_t SizeOf(ResourceInfo info) override {
    return static_cast<std::uint32_t>(static_cast<std::vector<std::uint8_t>*>(info)->size());
  }
  ResourceHandle Load(ResourceInfo info) override { return info; }
  const std::uint8_t* Lock(ResourceHandle handle) override {
    return static_cast<std::vector<std::uint8_t>*>(handle)->data();
  }
  void Free(ResourceHandle) override {}

 private:
  std::vector<std::uint8_t> application_;
  std::vector<std::uint8_t> bootloader_;
};

UnitConfig Unrecorded() {
  UnitConfig config;
  config.recordExchanges = false;
  return config;
}

// A unit on the emulated bus, reached directly or through libusb. The libusb one is plugged into the testbed,
// which exists before libusb starts.
struct World {
  VirtualClock directClock;
  EmulatedUsb direct{directClock};
  EmulatedUnit& directUnit = direct.AddUnit(Unrecorded());

  VirtualClock clock;
  EmulatedUsb units{clock};
  EmulatedUnit& unit = units.AddUnit(Unrecorded());
  UmockdevUnits bus{units};
  std::unique_ptr<LibusbPlatform> usb;

  TwoImages images;

  World() {
    bus.Plug(unit, 2);
    usb = std::make_unique<LibusbPlatform>();
  }
};
World* g_world = nullptr;

struct Path {
  UsbPlatform* usb;
  Clock* clock;
  EmulatedUnit* unit;
};

Path PathOf(bool libusb) {
  World& w = *g_world;
  return libusb ? Path{w.usb.get(), &w.clock, &w.unit} : Path{&w.direct, &w.directClock, &w.directUnit};
}

// The benchmark starts no trace: the loader's lines go nowhere.

void BM_Exchange(benchmark::State& state, bool libusb) {
  const Path path = PathOf(libusb);
  PostedMessageQueue queue;
  UsbFwLoader loader(DeviceLinkContext{path.usb, path.clock, &queue, &g_world->images});
  loader.interfaceGuid = TAVIK_INTERFACE_GUID;
  if (!loader.OpenUsbConnection()) {
    state.SkipWithError("the unit does not open");
    return;
  }
  const std::uint64_t allocationsBefore = AllocationCount();
  for (auto _ : state) {
    UsbBlock block{};
    block.BlockID = BLK_PING;
    if (loader.WriteUsbPipeData(block, BLOCK_TIMEOUT_MS, 0) != FWL_OK) {
      state.SkipWithError("the exchange failed");
      break;
    }
  }
  const std::uint64_t allocations = AllocationCount() - allocationsBefore;
  loader.CloseUsbConnection();
  state.counters["allocs_per_exchange"] =
      static_cast<double>(allocations) /
      static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
}
// The libusb exchange involves the testbed's thread: wall time is its time.
BENCHMARK_CAPTURE(BM_Exchange, direct, false)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Exchange, libusb, true)->Unit(benchmark::kMicrosecond)->UseRealTime();

// One step to its result; false if it did not succeed.
bool Step(UsbFwLoader& loader, PostedMessageQueue& queue, std::uint16_t image, std::uint32_t address) {
  if (loader.UpdateFirmwareFromResource(image, address) != FWL_STARTED) return false;
  for (;;) {
    const auto m = queue.TryTake();
    if (!m) {
      std::this_thread::yield();
      continue;
    }
    if (m->lParam == FWL_PROGRESS) continue;
    while (loader.busy.load() != 0) std::this_thread::yield();
    return m->lParam == FWL_OK;
  }
}

void BM_WholeUpdate(benchmark::State& state, bool libusb) {
  const Path path = PathOf(libusb);
  PostedMessageQueue queue;
  UsbFwLoader loader(DeviceLinkContext{path.usb, path.clock, &queue, &g_world->images});
  loader.SetNotifyWindow(&g_windowToken, 0, WM_UPDATE_NOTIFY);
  std::uint64_t exchanges = 0;
  for (auto _ : state) {
    const std::uint64_t before = path.unit->ExchangeCount();
    DeviceInfo info{};
    if (loader.ReadDeviceInfo(&info) != FWL_OK ||
        !Step(loader, queue, IDR_BOOTLOADER_IMAGE, UNIT_BOOTLOADER1_ADDRESS) ||
        !Step(loader, queue, IDR_BOOTLOADER_IMAGE, UNIT_BOOTLOADER2_ADDRESS) ||
        !Step(loader, queue, IDR_APPLICATION_IMAGE, UNIT_APPLICATION_ADDRESS)) {
      state.SkipWithError("the update failed");
      break;
    }
    exchanges += path.unit->ExchangeCount() - before;
  }
  using benchmark::Counter;
  state.counters["exchanges"] =
      static_cast<double>(exchanges) / static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
  state.counters["time_per_exchange"] = Counter(static_cast<double>(exchanges), Counter::kIsRate | Counter::kInvert);
}
BENCHMARK_CAPTURE(BM_WholeUpdate, direct, false)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_WholeUpdate, libusb, true)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);
}  // namespace

int main(int argc, char** argv) {
  if (!UmockdevUnits::InMockEnvironment()) {
    std::fprintf(stderr, "libusb_bench: run it under umockdev-wrapper\n");
    return 2;
  }
  World world;
  g_world = &world;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  g_world = nullptr;
  return 0;
}
