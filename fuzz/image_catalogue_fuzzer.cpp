// The embedded image catalogue: ScanFirmwareImage and ValidateFirmwareImages over images made from the
// fuzzer's bytes, served by a resource loader that can also fail to find, load or lock them.
//
// Input, for the application image (109) and then the bootloader image (110): a control byte, a 32-bit size
// selector, a 16-bit body length, then the body. The image has the selected size; the body fills its start or,
// if the control byte says so, its end (to put a tag right before the end), and zeros the rest. Sizes that
// would be scanned are kept near the lower size bound and the bootloader limit, so that a run stays cheap.

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "app/trace.h"
#include "fuzz/fuzz_input.h"
#include "image/crc32.h"
#include "image/firmware_image.h"

namespace {
// Sizes that are scanned come from two windows: around the lower bound and around the bootloader limit. (An
// image near the upper bound would cost a 7 MiB checksum per run; the bound itself is one comparison.)
constexpr std::uint32_t kWindow = 4096;

std::uint32_t ImageSize(std::uint8_t control, std::uint32_t selector) {
  switch (control & 0x0F) {
    case 0:  // as given: mostly out of bounds, so nothing is loaded
      if (selector <= IMAGE_SIZE_LOWER_BOUND || selector >= IMAGE_SIZE_UPPER_BOUND) return selector;
      return IMAGE_SIZE_LOWER_BOUND + 1 + selector % kWindow;
    case 1:
      return BOOTLOADER_SIZE_LIMIT - kWindow / 2 + selector % kWindow;
    default:
      return IMAGE_SIZE_LOWER_BOUND - 2 + selector % kWindow;  // includes both sides of the lower bound
  }
}

struct FuzzImage {
  bool present = false;
  bool failLoad = false;
  bool failLock = false;
  std::uint32_t size = 0;
  std::unique_ptr<std::uint8_t[]> bytes;  // exactly `size` bytes, so that a read past the end is caught
};

FuzzImage MakeImage(FuzzInput& input) {
  FuzzImage image;
  const std::uint8_t control = input.Byte();
  image.present = (control & 0x80) == 0;
  image.failLoad = (control & 0x70) == 0x70;
  image.failLock = (control & 0x70) == 0x60;
  image.size = ImageSize(control, input.U32());
  const std::uint16_t bodyLength = input.U16();
  const bool scanned = image.size > IMAGE_SIZE_LOWER_BOUND && image.size < IMAGE_SIZE_UPPER_BOUND;
  if (!scanned) return image;
  image.bytes.reset(new std::uint8_t[image.size]());
  const std::size_t length = bodyLength < image.size ? bodyLength : image.size;
  const std::size_t at = (control & 0x10) != 0 ? image.size - length : 0;
  input.Bytes(image.bytes.get() + at, length);
  return image;
}

class FuzzResources final : public ResourceLoader {
 public:
  FuzzImage application;
  FuzzImage bootloader;
  int loads = 0;
  int frees = 0;

  ResourceInfo FindRawData(std::uint16_t id) override {
    FuzzImage* image = id == IDR_APPLICATION_IMAGE ? &application : id == IDR_BOOTLOADER_IMAGE ? &bootloader : nullptr;
    return image != nullptr && image->present ? image : nullptr;
  }
  std::uint32_t SizeOf(ResourceInfo info) override { return static_cast<FuzzImage*>(info)->size; }
  ResourceHandle Load(ResourceInfo info) override {
    auto* image = static_cast<FuzzImage*>(info);
    FUZZ_CHECK(image->bytes != nullptr);  // only images within the bounds are loaded
    if (image->failLoad) return nullptr;
    ++loads;
    return image;
  }
  const std::uint8_t* Lock(ResourceHandle handle) override {
    auto* image = static_cast<FuzzImage*>(handle);
    return image->failLock ? nullptr : image->bytes.get();
  }
  void Free(ResourceHandle) override { ++frees; }
};

void CheckRecord(const FirmwareImageInfo& info, int result, const FuzzImage& image) {
  FUZZ_CHECK(std::memchr(info.version, 0, sizeof info.version) != nullptr);
  FUZZ_CHECK((result != 0) == (info.kind != IMAGE_KIND_NONE));
  if (info.kind == IMAGE_KIND_NONE) FUZZ_CHECK(info.version[0] == '\0');
  if (!image.present) {
    FUZZ_CHECK(info.size == 0 && info.crc == 0 && result == 0);
    return;
  }
  FUZZ_CHECK(info.size == image.size);
  const bool scanned = image.bytes != nullptr && !image.failLoad && !image.failLock;
  if (!scanned) {
    FUZZ_CHECK(result == 0 && info.crc == 0 && info.hardwareLow == 0 && info.hardwareHigh == 0);
    return;
  }
  FUZZ_CHECK(info.crc == Crc32(image.bytes.get(), image.size));
  if (info.kind != IMAGE_KIND_NONE) {
    FUZZ_CHECK(info.kind == (image.size <= BOOTLOADER_SIZE_LIMIT ? IMAGE_KIND_BOOTLOADER : IMAGE_KIND_APPLICATION));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  StartTrace(nullptr);  // no trace: printing would cost more than the run itself
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  FuzzResources resources;
  resources.application = MakeImage(input);
  resources.bootloader = MakeImage(input);

  FirmwareImageInfo info;
  CheckRecord(info, ScanFirmwareImage(IDR_APPLICATION_IMAGE, info, resources), resources.application);
  CheckRecord(info, ScanFirmwareImage(IDR_BOOTLOADER_IMAGE, info, resources), resources.bootloader);

  const int valid = ValidateFirmwareImages(resources);
  FUZZ_CHECK(valid == 0 || valid == 1);
  if (valid == 1) {
    FUZZ_CHECK(ApplicationImageInfo.crc == APPLICATION_IMAGE_CRC && BootloaderImageInfo.crc == BOOTLOADER_IMAGE_CRC);
  }
  FUZZ_CHECK(resources.loads == resources.frees);
  return 0;
}
