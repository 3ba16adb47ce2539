#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

#include "image/crc32.h"

namespace {
// The size of the application image.
const std::vector<std::uint8_t>& ImageSizedBuffer() {
  static const std::vector<std::uint8_t> buffer = [] {
    std::vector<std::uint8_t> b(2633516);
    std::mt19937 random(7);
    for (auto& x : b) x = static_cast<std::uint8_t>(random());
    return b;
  }();
  return buffer;
}

void BM_Crc32(benchmark::State& state) {
  const auto& b = ImageSizedBuffer();
  for (auto _ : state) benchmark::DoNotOptimize(Crc32(b.data(), b.size()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * b.size()));
}
BENCHMARK(BM_Crc32);

void BM_ZlibCrc32(benchmark::State& state) {
  const auto& b = ImageSizedBuffer();
  for (auto _ : state) benchmark::DoNotOptimize(crc32(0, b.data(), static_cast<uInt>(b.size())));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * b.size()));
}
BENCHMARK(BM_ZlibCrc32);
}  // namespace
