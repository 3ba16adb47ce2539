// A tray on the real clock: `helmet-update update --all --yes --json` (the output discarded) on one and on eight
// emulated units with the demo's realistic timing (USB full speed, the short waits gathered for a real clock), the
// units' waits real sleeps on their loaders' threads. How much longer eight units side by side take than one
// (the goal: at most 1.15 times), and what the host spends per exchange.
//
//   build/native/tray_bench                                   both, full timing and a shortened one (~3 minutes)
//   build/native/tray_bench --benchmark_filter=speedup:1/     the full figures alone (~2.5 minutes)
//   build/native/tray_bench --benchmark_filter=speedup:10     the quick look alone (~35 s)
//
// BM_Tray/units:N/speedup:S: the unit's modelled times divided by S (1: the full figures; the five-second pauses
// between the steps and the waits after the resets are the program's own and stay). Wall time of the whole run;
// counters:
//  - exchanges: the requests that the units received, all units together;
//  - cpu_us_per_exchange: the process's CPU time over them (the loaders, the tray's loop and the emulated units'
//    handling, which runs on the loaders' threads);
//  - loop_cpu_us_per_exchange: the CPU time of the thread that runs the tray's loop alone;
//  - vs_one_unit (eight units only): this run's wall time over that of one unit at the same speedup, when both
//    ran in this process.
// (The CPU column is the benchmark thread's, the making of the units and their flash included.)

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <ctime>  // clock_gettime (POSIX): the process's and the thread's CPU time
#include <map>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "app/clock.h"
#include "app/message_poster.h"
#include "app/platform_context.h"
#include "cli/helmet_update.h"
#include "emu/demo_unit_config.h"
#include "emu/emulated_usb.h"
#include "image/image_resources.h"

namespace {

// Swallows what is written to it.
class Discard final : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

double CpuSeconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The unit as the demo makes it with no variables set (realistic timing), its modelled times divided by
// `speedup`; no record of its exchanges, which a real unit does not keep either.
UnitConfig TimedUnit(std::uint32_t speedup) {
  UnitConfig config = ReadDemoUnitSettings([](const char*) -> const char* { return nullptr; }).unit;
  config.recordExchanges = false;
  UnitTiming& t = config.timing;
  t.exchangeUs /= speedup;
  t.eraseChunkUs /= speedup;
  t.writeBlockUs /= speedup;
  t.readBlockUs /= speedup;
  return config;
}

std::map<std::int64_t, double> g_oneUnitWallSeconds;  // by speedup

void BM_Tray(benchmark::State& state) {
  const auto units = static_cast<std::size_t>(state.range(0));
  const auto speedup = static_cast<std::uint32_t>(state.range(1));
  Clock& clock = SystemClock();
  std::uint64_t exchanges = 0;
  double processCpu = 0;
  double loopCpu = 0;
  double wall = 0;
  for (auto _ : state) {
    EmulatedUsb bus(clock);
    for (std::size_t i = 0; i < units; ++i) bus.AddUnit(TimedUnit(speedup));
    PostedMessageQueue queue;
    PlatformContext context;
    context.usb = &bus;
    context.clock = &clock;
    context.poster = &queue;
    context.resources = &ProgramResources();
    Discard discard;
    std::ostream out(&discard);
    std::ostream err(&discard);
    CliIo io(out, err);

    const double process0 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double loop0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    const std::uint64_t start = clock.NowMs();
    const int status = RunHelmetUpdate({"update", "--all", "--yes", "--json"}, context, io);
    wall += static_cast<double>(clock.NowMs() - start) * 1e-3;
    loopCpu += CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - loop0;
    processCpu += CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - process0;
    for (std::size_t i = 0; i < units; ++i) exchanges += bus.Unit(i).ExchangeCount();
    if (status != 0) {
      state.SkipWithError(("the tray ended with status " + std::to_string(status)).c_str());
      return;
    }
  }
  const double perExchange = 1e6 / static_cast<double>(std::max<std::uint64_t>(exchanges, 1));
  state.counters["exchanges"] = static_cast<double>(exchanges) / static_cast<double>(state.iterations());
  state.counters["cpu_us_per_exchange"] = processCpu * perExchange;
  state.counters["loop_cpu_us_per_exchange"] = loopCpu * perExchange;
  wall /= static_cast<double>(state.iterations());
  if (units == 1) g_oneUnitWallSeconds[speedup] = wall;
  if (units > 1 && g_oneUnitWallSeconds.count(speedup) != 0) {
    state.counters["vs_one_unit"] = wall / g_oneUnitWallSeconds[speedup];
  }
}
// One update lasts about 70 s at full timing: one run of each is the measurement. One unit runs first, so that
// eight can be compared with it.
BENCHMARK(BM_Tray)
    ->ArgNames({"units", "speedup"})
    ->Args({1, 1})
    ->Args({8, 1})
    ->Args({1, 10})
    ->Args({8, 10})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace
