// The image catalogue's validation beside zlib's crc32 over the same bytes: validation should cost at most
// twice the plain checksum.

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

#include "image/firmware_image.h"
#include "support/fake_image_resources.h"

namespace {
struct ImageBytes {
  const std::uint8_t* data;
  std::uint32_t size;
};

// The embedded images, in place.
ImageBytes Embedded(std::uint16_t id) {
  ResourceLoader& resources = ProgramResources();
  const ResourceInfo found = resources.FindRawData(id);
  const ResourceHandle handle = resources.Load(found);
  return {resources.Lock(handle), resources.SizeOf(found)};
}

std::int64_t BothImagesSize() {
  return std::int64_t{Embedded(IDR_APPLICATION_IMAGE).size} + Embedded(IDR_BOOTLOADER_IMAGE).size;
}

void BM_ValidateFirmwareImages(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(ValidateFirmwareImages(ProgramResources()));
  if (ValidateFirmwareImages(ProgramResources()) != 1) state.SkipWithError("the embedded images do not validate");
  state.SetBytesProcessed(state.iterations() * BothImagesSize());
}
BENCHMARK(BM_ValidateFirmwareImages);

void BM_ZlibCrc32OverBothImages(benchmark::State& state) {
  const ImageBytes images[] = {Embedded(IDR_APPLICATION_IMAGE), Embedded(IDR_BOOTLOADER_IMAGE)};
  for (auto _ : state) {
    for (const ImageBytes& image : images) benchmark::DoNotOptimize(crc32(0, image.data, image.size));
  }
  state.SetBytesProcessed(state.iterations() * BothImagesSize());
}
BENCHMARK(BM_ZlibCrc32OverBothImages);

// The slowest scan: an application-sized image without any tag is searched to its end for both tags.
void BM_ScanFirmwareImageWithoutTags(benchmark::State& state) {
  FakeImageResources resources;
  std::vector<std::uint8_t> bytes(Embedded(IDR_APPLICATION_IMAGE).size);
  std::uint32_t x = 1;
  for (auto& b : bytes) b = static_cast<std::uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
  resources.Add(IDR_APPLICATION_IMAGE, bytes);
  FirmwareImageInfo info;
  for (auto _ : state) benchmark::DoNotOptimize(ScanFirmwareImage(IDR_APPLICATION_IMAGE, info, resources));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_ScanFirmwareImageWithoutTags);
}  // namespace
