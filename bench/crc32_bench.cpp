// Our CRC-32 beside zlib's over the application image and over one block seal, and each routine forced over a
// range of lengths: the crossover sets the length from which Crc32 leaves the table.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

#include "image/crc32.h"
#include "usb/usb_block.h"

namespace {
constexpr std::size_t kImageSize = 2633516;  // the application image

const std::vector<std::uint8_t>& RandomBytes() {
  static const std::vector<std::uint8_t> buffer = [] {
    std::vector<std::uint8_t> b(kImageSize);
    std::mt19937 random(7);
    for (auto& x : b) x = static_cast<std::uint8_t>(random());
    return b;
  }();
  return buffer;
}

// The argument is the length; the bytes are the same for every routine.
template <typename Checksum>
void Measure(benchmark::State& state, Checksum checksum) {
  const std::size_t length = static_cast<std::size_t>(state.range(0));
  const std::uint8_t* data = RandomBytes().data();
  for (auto _ : state) benchmark::DoNotOptimize(checksum(data, length));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * length));
}

void BM_Crc32(benchmark::State& state) {
  Measure(state, [](const std::uint8_t* p, std::size_t n) { return Crc32(p, n); });
}
BENCHMARK(BM_Crc32)->Arg(kImageSize)->Arg(BLOCK_CRC_OFFSET);

void BM_ZlibCrc32(benchmark::State& state) {
  Measure(state, [](const std::uint8_t* p, std::size_t n) { return crc32(0, p, static_cast<uInt>(n)); });
}
BENCHMARK(BM_ZlibCrc32)->Arg(kImageSize)->Arg(BLOCK_CRC_OFFSET);

void BM_Crc32With(benchmark::State& state, Crc32Impl impl) {
  if (!Crc32ImplAvailable(impl)) {
    state.SkipWithError("this processor lacks the routine's instructions");
    return;
  }
  Measure(state, [impl](const std::uint8_t* p, std::size_t n) { return Crc32With(impl, 0, p, n); });
}
BENCHMARK_CAPTURE(BM_Crc32With, Table, Crc32Impl::Table)
    ->Arg(kImageSize)
    ->Arg(BLOCK_CRC_OFFSET)
    ->Arg(16)
    ->Arg(24)
    ->Arg(32)
    ->Arg(48)
    ->Arg(64);
BENCHMARK_CAPTURE(BM_Crc32With, Clmul, Crc32Impl::Clmul)
    ->Arg(kImageSize)
    ->Arg(BLOCK_CRC_OFFSET)
    ->Arg(16)
    ->Arg(24)
    ->Arg(32)
    ->Arg(48)
    ->Arg(64);
}  // namespace
