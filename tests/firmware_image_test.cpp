#include "image/firmware_image.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "image/crc32.h"
#include "image/image_tags.h"
#include "support/fake_image_resources.h"

namespace {
constexpr std::uint16_t kAnyId = 200;
constexpr std::size_t kApplicationSize = 400000;  // above BOOTLOADER_SIZE_LIMIT
constexpr std::size_t kBootloaderSize = 100000;

// A record full of leftovers, to see that a scan clears what it does not fill.
FirmwareImageInfo Leftovers() {
  FirmwareImageInfo info;
  std::memset(&info, 0xAB, sizeof info);
  return info;
}

void ExpectRecord(const FirmwareImageInfo& info, std::int32_t kind, std::uint32_t size, std::string_view version,
                  std::uint32_t hardwareLow, std::uint32_t hardwareHigh, std::uint32_t crc) {
  EXPECT_EQ(info.kind, kind);
  EXPECT_EQ(info.size, size);
  EXPECT_EQ(std::string(info.version, strnlen(info.version, sizeof info.version)), version);
  EXPECT_EQ(info.version[sizeof info.version - 1], '\0');
  EXPECT_EQ(info.hardwareLow, hardwareLow);
  EXPECT_EQ(info.hardwareHigh, hardwareHigh);
  EXPECT_EQ(info.crc, crc);
}

void ExpectSameRecord(const FirmwareImageInfo& actual, const FirmwareImageInfo& expected) {
  EXPECT_EQ(std::memcmp(&actual, &expected, sizeof actual), 0);
}

std::uint32_t CrcOf(const std::vector<std::uint8_t>& image) { return Crc32(image.data(), image.size()); }

class ScanFirmwareImageTest : public ::testing::Test {
 protected:
  int Scan(const std::vector<std::uint8_t>& image, std::uint16_t id = kAnyId) {
    resources_.Add(id, image);
    info_ = Leftovers();
    return ScanFirmwareImage(id, info_, resources_);
  }

  FakeImageResources resources_;
  FirmwareImageInfo info_{};
};

// Both version tags and the hardware tag, as the shipped images hold them.
std::vector<std::uint8_t> ImageWithBothVersions(std::size_t size) {
  auto image = FillerImage(size);
  PutTaggedText(image, 100, APPLICATION_VERSION_TAG, "A.1");
  PutTaggedText(image, 200, BOOTLOADER_VERSION_TAG, "B.2");
  PutTaggedText(image, 300, HARDWARE_RANGE_TAG, "6");
  return image;
}

struct SizeCase {
  std::size_t size;
  std::int32_t kind;  // IMAGE_KIND_NONE: rejected by size, never loaded
  const char* version;
};

TEST_F(ScanFirmwareImageTest, SizeBoundsAndTheSizeChosenTag) {
  const SizeCase cases[] = {
      {65536, IMAGE_KIND_NONE, ""},
      {65537, IMAGE_KIND_BOOTLOADER, "B.2"},
      {387072, IMAGE_KIND_BOOTLOADER, "B.2"},
      {387073, IMAGE_KIND_APPLICATION, "A.1"},
      {7340031, IMAGE_KIND_APPLICATION, "A.1"},
      {7340032, IMAGE_KIND_NONE, ""},
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(c.size);
    FakeImageResources resources;
    const auto image = ImageWithBothVersions(c.size);
    resources.Add(kAnyId, image);
    FirmwareImageInfo info = Leftovers();
    const int result = ScanFirmwareImage(kAnyId, info, resources);
    EXPECT_EQ(result != 0, c.kind != IMAGE_KIND_NONE);
    if (c.kind == IMAGE_KIND_NONE) {
      ExpectRecord(info, IMAGE_KIND_NONE, static_cast<std::uint32_t>(c.size), "", 0, 0, 0);
      EXPECT_EQ(resources.Loads(), 0);
    } else {
      ExpectRecord(info, c.kind, static_cast<std::uint32_t>(c.size), c.version, 6, 6, CrcOf(image));
      EXPECT_EQ(resources.Loads(), 1);
      EXPECT_EQ(resources.Frees(), 1);
    }
  }
}

TEST_F(ScanFirmwareImageTest, KindFollowsTheSizeNotTheResourceId) {
  EXPECT_NE(Scan(ImageWithBothVersions(kBootloaderSize), IDR_APPLICATION_IMAGE), 0);
  EXPECT_EQ(info_.kind, IMAGE_KIND_BOOTLOADER);
  EXPECT_STREQ(info_.version, "B.2");
  EXPECT_NE(Scan(ImageWithBothVersions(kApplicationSize), IDR_BOOTLOADER_IMAGE), 0);
  EXPECT_EQ(info_.kind, IMAGE_KIND_APPLICATION);
  EXPECT_STREQ(info_.version, "A.1");
}

TEST_F(ScanFirmwareImageTest, OnlyTheOtherKindsTagLeavesTheRecordInvalid) {
  auto image = FillerImage(kApplicationSize);
  PutTaggedText(image, 1000, BOOTLOADER_VERSION_TAG, "001.005.007");
  PutTaggedText(image, 2000, HARDWARE_RANGE_TAG, "3_9");
  EXPECT_EQ(Scan(image), 0);
  // Size, checksum and hardware range are kept; kind and version stay empty.
  ExpectRecord(info_, IMAGE_KIND_NONE, kApplicationSize, "", 3, 9, CrcOf(image));
  EXPECT_EQ(resources_.Frees(), 1);
}

TEST_F(ScanFirmwareImageTest, TagAtTheFirstByte) {
  auto image = FillerImage(kBootloaderSize);
  PutTaggedText(image, 0, BOOTLOADER_VERSION_TAG, "001.005.007");
  EXPECT_NE(Scan(image), 0);
  ExpectRecord(info_, IMAGE_KIND_BOOTLOADER, kBootloaderSize, "001.005.007", 0, 0, CrcOf(image));
}

struct VersionCase {
  std::string text;
  std::string version;
};

TEST_F(ScanFirmwareImageTest, VersionTexts) {
  const VersionCase cases[] = {
      {"001.005.019", "001.005.019"},
      {"", ""},  // tag followed at once by NUL: found, empty version
      {"123456789012345", "123456789012345"},
      {"1234567890123456", "123456789012345"},
      {"12345678901234567890", "123456789012345"},
      {"with space_", "with space_"},
  };
  for (const VersionCase& c : cases) {
    SCOPED_TRACE(c.text);
    auto image = FillerImage(kApplicationSize);
    PutTaggedText(image, 5000, APPLICATION_VERSION_TAG, c.text);
    EXPECT_NE(Scan(image), 0);
    EXPECT_EQ(info_.kind, IMAGE_KIND_APPLICATION);
    EXPECT_EQ(std::string(info_.version), c.version);
  }
}

struct HardwareCase {
  std::string text;
  std::uint32_t low;
  std::uint32_t high;
};

TEST_F(ScanFirmwareImageTest, HardwareTexts) {
  using namespace std::string_literals;
  const HardwareCase cases[] = {
      {"6", 6, 6},
      {"3_9", 3, 9},
      {"9_3", 9, 3},  // taken as it stands
      {" \t\n\v\f\r7", 7, 7},
      {"+5", 5, 5},
      {"-1", 0xFFFFFFFFu, 0xFFFFFFFFu},
      {"4_-2", 4, 0xFFFFFFFEu},
      {"4_ +9", 4, 9},  // the second number may have white space and a sign too
      {"4 _9", 4, 4},   // but nothing may stand before the underscore
      {"4_x", 4, 4},
      {"4_", 4, 4},
      {"12abc", 12, 12},
      {"6\0_7"s, 6, 6},  // the text ends at its NUL
      {"x5", 0, 0},
      {"", 0, 0},
      {"   ", 0, 0},
      {"-", 0, 0},
      {"+_3", 0, 0},
      {"_3", 0, 0},
      {"2147483647_-2147483648", 0x7FFFFFFFu, 0x80000000u},
      {"99999999999_-99999999999", 0x7FFFFFFFu, 0x80000000u},  // out of range: held at the bounds
  };
  for (const HardwareCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    auto image = FillerImage(kApplicationSize);
    PutTaggedText(image, 700, APPLICATION_VERSION_TAG, "1");
    PutTaggedText(image, 800, HARDWARE_RANGE_TAG, c.text);
    EXPECT_NE(Scan(image), 0);
    EXPECT_EQ(info_.hardwareLow, c.low);
    EXPECT_EQ(info_.hardwareHigh, c.high);
  }
}

TEST_F(ScanFirmwareImageTest, MissingHardwareTagGivesZeroToZeroAndStaysValid) {
  auto image = FillerImage(kBootloaderSize);
  PutTaggedText(image, 300, BOOTLOADER_VERSION_TAG, "2");
  EXPECT_NE(Scan(image), 0);
  ExpectRecord(info_, IMAGE_KIND_BOOTLOADER, kBootloaderSize, "2", 0, 0, CrcOf(image));
}

TEST_F(ScanFirmwareImageTest, FirstOccurrenceWins) {
  auto image = FillerImage(kApplicationSize);
  PutTaggedText(image, 90000, APPLICATION_VERSION_TAG, "later");
  PutTaggedText(image, 90100, HARDWARE_RANGE_TAG, "8");
  PutTaggedText(image, 3001, APPLICATION_VERSION_TAG, "first");
  PutTaggedText(image, 3101, HARDWARE_RANGE_TAG, "5_7");
  // Near misses just before each: a tag cut short by one byte, and a repeated first byte.
  PutTaggedText(image, 2900, std::string_view(APPLICATION_VERSION_TAG, IMAGE_TAG_LENGTH - 1), "", false);
  image[3000] = static_cast<std::uint8_t>(APPLICATION_VERSION_TAG[0]);
  image[3100] = static_cast<std::uint8_t>(HARDWARE_RANGE_TAG[0]);
  EXPECT_NE(Scan(image), 0);
  ExpectRecord(info_, IMAGE_KIND_APPLICATION, kApplicationSize, "first", 5, 7, CrcOf(image));
}

struct EndCase {
  const char* name;
  std::size_t fromEnd;  // where the tag begins, counted back from the image's end
  const char* tag;
  std::string text;  // unterminated: runs to the image's end
  std::int32_t kind;
  std::string version;
  std::uint32_t hardware;
};

// A text that runs to the image's last byte stops there; nothing past the image is read (ASan watches the
// fake's allocation, which is exactly the image).
TEST_F(ScanFirmwareImageTest, TagTooCloseToTheEnd) {
  const EndCase cases[] = {
      {"version tag ends at the last byte", 37, BOOTLOADER_VERSION_TAG, "", IMAGE_KIND_BOOTLOADER, "", 0},
      {"version text runs to the end", 40, BOOTLOADER_VERSION_TAG, "1.2", IMAGE_KIND_BOOTLOADER, "1.2", 0},
      {"long version text runs to the end", 57, BOOTLOADER_VERSION_TAG, "12345678901234567890", IMAGE_KIND_BOOTLOADER,
       "123456789012345", 0},
      {"version tag cut off by the end", 36, BOOTLOADER_VERSION_TAG, "", IMAGE_KIND_NONE, "", 0},
      {"hardware tag ends at the last byte", 37, HARDWARE_RANGE_TAG, "", IMAGE_KIND_NONE, "", 0},
      {"hardware text runs to the end", 39, HARDWARE_RANGE_TAG, "42", IMAGE_KIND_NONE, "", 42},
  };
  for (const EndCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto image = FillerImage(kBootloaderSize);
    PutTaggedText(image, kBootloaderSize - c.fromEnd, c.tag, c.text, false);
    EXPECT_EQ(Scan(image) != 0, c.kind != IMAGE_KIND_NONE);
    ExpectRecord(info_, c.kind, kBootloaderSize, c.version, c.hardware, c.hardware, CrcOf(image));
  }
}

TEST_F(ScanFirmwareImageTest, NoSuchResourceClearsTheRecord) {
  info_ = Leftovers();
  EXPECT_EQ(ScanFirmwareImage(kAnyId, info_, resources_), 0);
  ExpectRecord(info_, IMAGE_KIND_NONE, 0, "", 0, 0, 0);
}

TEST_F(ScanFirmwareImageTest, LoadOrLockFailureKeepsOnlyTheSize) {
  for (const bool failLock : {false, true}) {
    SCOPED_TRACE(failLock ? "lock fails" : "load fails");
    FakeImageResources resources;
    resources.Add(kAnyId, ImageWithBothVersions(kBootloaderSize));
    if (failLock) {
      resources.FailLock(kAnyId);
    } else {
      resources.FailLoad(kAnyId);
    }
    FirmwareImageInfo info = Leftovers();
    EXPECT_EQ(ScanFirmwareImage(kAnyId, info, resources), 0);
    ExpectRecord(info, IMAGE_KIND_NONE, kBootloaderSize, "", 0, 0, 0);
    EXPECT_EQ(resources.Frees(), resources.Loads());  // a loaded resource is released
  }
}

TEST_F(ScanFirmwareImageTest, CrcCoversTheWholeImage) {
  auto image = ImageWithBothVersions(kBootloaderSize);
  image.back() ^= 0x01;
  EXPECT_NE(Scan(image), 0);
  EXPECT_EQ(info_.crc, static_cast<std::uint32_t>(crc32(0, image.data(), static_cast<uInt>(image.size()))));
}

// Copies of the shipped images, served by the fake loader so that they can be spoiled one by one.
std::vector<std::uint8_t> ShippedImage(std::uint16_t id) {
  ResourceLoader& resources = ProgramResources();
  const ResourceInfo found = resources.FindRawData(id);
  if (found == nullptr) return {};
  const ResourceHandle handle = resources.Load(found);
  const std::uint8_t* bytes = resources.Lock(handle);
  std::vector<std::uint8_t> image(bytes, bytes + resources.SizeOf(found));
  resources.Free(handle);
  return image;
}

void RemoveTag(std::vector<std::uint8_t>& image, const char* tag) {
  const auto at = std::search(image.begin(), image.end(), tag, tag + IMAGE_TAG_LENGTH);
  ASSERT_NE(at, image.end());
  *at = '#';
}

class ValidateFirmwareImagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    application_ = ShippedImage(IDR_APPLICATION_IMAGE);
    bootloader_ = ShippedImage(IDR_BOOTLOADER_IMAGE);
    ASSERT_FALSE(application_.empty());
    ASSERT_FALSE(bootloader_.empty());
    ApplicationImageInfo = Leftovers();
    BootloaderImageInfo = Leftovers();
  }

  std::vector<std::uint8_t> application_;
  std::vector<std::uint8_t> bootloader_;
  FakeImageResources resources_;
};

TEST_F(ValidateFirmwareImagesTest, ShippedImagesPass) {
  resources_.Add(IDR_APPLICATION_IMAGE, application_);
  resources_.Add(IDR_BOOTLOADER_IMAGE, bootloader_);
  EXPECT_EQ(ValidateFirmwareImages(resources_), 1);
  ExpectRecord(ApplicationImageInfo, IMAGE_KIND_APPLICATION, 2633516, "001.005.019", 6, 6, APPLICATION_IMAGE_CRC);
  ExpectRecord(BootloaderImageInfo, IMAGE_KIND_BOOTLOADER, 156400, "001.005.007", 6, 6, BOOTLOADER_IMAGE_CRC);
  EXPECT_EQ(resources_.Lookups(), (std::vector<std::uint16_t>{IDR_APPLICATION_IMAGE, IDR_BOOTLOADER_IMAGE}));
}

struct SpoiledApplication {
  const char* name;
  void (*spoilImage)(std::vector<std::uint8_t>& image);
  void (*spoilLoader)(FakeImageResources& resources);
};

// A bad application image ends the validation before the bootloader image is looked up.
TEST_F(ValidateFirmwareImagesTest, BadApplicationImageLeavesTheBootloaderRecordUntouched) {
  const SpoiledApplication cases[] = {
      {"missing", nullptr, [](FakeImageResources& r) { r.Remove(IDR_APPLICATION_IMAGE); }},
      {"too small", [](std::vector<std::uint8_t>& image) { image.resize(IMAGE_SIZE_LOWER_BOUND); }, nullptr},
      {"no version tag", [](std::vector<std::uint8_t>& image) { RemoveTag(image, APPLICATION_VERSION_TAG); }, nullptr},
      {"other checksum", [](std::vector<std::uint8_t>& image) { image[image.size() / 2] ^= 0x80; }, nullptr},
      {"not loadable", nullptr, [](FakeImageResources& r) { r.FailLoad(IDR_APPLICATION_IMAGE); }},
  };
  for (const SpoiledApplication& c : cases) {
    SCOPED_TRACE(c.name);
    auto application = application_;
    if (c.spoilImage != nullptr) c.spoilImage(application);
    FakeImageResources resources;
    resources.Add(IDR_APPLICATION_IMAGE, application);
    resources.Add(IDR_BOOTLOADER_IMAGE, bootloader_);
    if (c.spoilLoader != nullptr) c.spoilLoader(resources);
    BootloaderImageInfo = Leftovers();
    EXPECT_EQ(ValidateFirmwareImages(resources), 0);
    ExpectSameRecord(BootloaderImageInfo, Leftovers());
    EXPECT_EQ(resources.Lookups(), std::vector<std::uint16_t>{IDR_APPLICATION_IMAGE});
  }
}

TEST_F(ValidateFirmwareImagesTest, ApplicationRecordIsCompleteWhenOnlyItsChecksumDiffers) {
  application_[application_.size() / 2] ^= 0x80;
  resources_.Add(IDR_APPLICATION_IMAGE, application_);
  resources_.Add(IDR_BOOTLOADER_IMAGE, bootloader_);
  EXPECT_EQ(ValidateFirmwareImages(resources_), 0);
  ExpectRecord(ApplicationImageInfo, IMAGE_KIND_APPLICATION, 2633516, "001.005.019", 6, 6, CrcOf(application_));
  EXPECT_NE(ApplicationImageInfo.crc, APPLICATION_IMAGE_CRC);
}

TEST_F(ValidateFirmwareImagesTest, BadBootloaderImageFailsAfterTheApplicationPassed) {
  bootloader_[10] ^= 0x01;
  resources_.Add(IDR_APPLICATION_IMAGE, application_);
  resources_.Add(IDR_BOOTLOADER_IMAGE, bootloader_);
  EXPECT_EQ(ValidateFirmwareImages(resources_), 0);
  ExpectRecord(ApplicationImageInfo, IMAGE_KIND_APPLICATION, 2633516, "001.005.019", 6, 6, APPLICATION_IMAGE_CRC);
  ExpectRecord(BootloaderImageInfo, IMAGE_KIND_BOOTLOADER, 156400, "001.005.007", 6, 6, CrcOf(bootloader_));

  resources_.Remove(IDR_BOOTLOADER_IMAGE);
  EXPECT_EQ(ValidateFirmwareImages(resources_), 0);
  ExpectRecord(BootloaderImageInfo, IMAGE_KIND_NONE, 0, "", 0, 0, 0);
}

TEST_F(ValidateFirmwareImagesTest, RunningTwiceGivesTheSameRecordsAndResult) {
  EXPECT_EQ(ValidateFirmwareImages(ProgramResources()), 1);
  const FirmwareImageInfo application = ApplicationImageInfo;
  const FirmwareImageInfo bootloader = BootloaderImageInfo;
  EXPECT_EQ(ValidateFirmwareImages(ProgramResources()), 1);
  ExpectSameRecord(ApplicationImageInfo, application);
  ExpectSameRecord(BootloaderImageInfo, bootloader);
}

struct ShippedCase {
  std::uint16_t id;
  std::uint32_t size;
  std::int32_t kind;
  const char* version;
  std::uint32_t crc;
};

// The embedded images through the program's own resource lookup.
TEST(ShippedFirmwareImages, MatchTheCatalogue) {
  const ShippedCase cases[] = {
      {IDR_APPLICATION_IMAGE, 2633516, IMAGE_KIND_APPLICATION, "001.005.019", 0x89FDCD98u},
      {IDR_BOOTLOADER_IMAGE, 156400, IMAGE_KIND_BOOTLOADER, "001.005.007", 0xD5BBA49Fu},
  };
  for (const ShippedCase& c : cases) {
    SCOPED_TRACE(c.id);
    FirmwareImageInfo info = Leftovers();
    EXPECT_NE(ScanFirmwareImage(c.id, info, ProgramResources()), 0);
    ExpectRecord(info, c.kind, c.size, c.version, 6, 6, c.crc);
    // zlib as the independent oracle of the checksum.
    const auto image = ShippedImage(c.id);
    EXPECT_EQ(crc32(0, image.data(), static_cast<uInt>(image.size())), c.crc);
  }
  EXPECT_EQ(ValidateFirmwareImages(ProgramResources()), 1);
  ExpectRecord(ApplicationImageInfo, IMAGE_KIND_APPLICATION, 2633516, "001.005.019", 6, 6, APPLICATION_IMAGE_CRC);
  ExpectRecord(BootloaderImageInfo, IMAGE_KIND_BOOTLOADER, 156400, "001.005.007", 6, 6, BOOTLOADER_IMAGE_CRC);
}

TEST(ShippedFirmwareImages, ReadInPlace) {
  ResourceLoader& resources = ProgramResources();
  const ResourceInfo found = resources.FindRawData(IDR_APPLICATION_IMAGE);
  ASSERT_NE(found, nullptr);
  const ResourceHandle first = resources.Load(found);
  const ResourceHandle second = resources.Load(found);
  EXPECT_EQ(resources.Lock(first), resources.Lock(second));  // the same bytes, not a copy per load
  resources.Free(second);
  resources.Free(first);
  EXPECT_EQ(resources.FindRawData(111), nullptr);
}
}  // namespace
