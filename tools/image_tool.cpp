// The build's image tool, run on the build machine:
//   image_tool generate application|bootloader <output>          writes the stand-in image
//   image_tool adopt application|bootloader <input> <output>     copies a real image after checking its CRC-32
// Either way the output carries the CRC-32 that the program expects of that image.

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image/crc32.h"
#include "image/firmware_image.h"
#include "image/image_tags.h"
#include "tools/crc_forcing.h"

namespace {
struct ImageKind {
  const char* name;
  const char* crcName;
  std::uint32_t crc;
  std::size_t standInSize;
  std::uint64_t fillerSeed;
};

const ImageKind kKinds[] = {
    {"application", "APPLICATION_IMAGE_CRC", APPLICATION_IMAGE_CRC, 2633516, 0x6170706c69636174u},
    {"bootloader", "BOOTLOADER_IMAGE_CRC", BOOTLOADER_IMAGE_CRC, 156400, 0x626f6f746c6f6164u},
};

// Where the tagged texts stand: after a header-sized gap, well inside every flash slot.
constexpr std::size_t kTagBlockOffset = 0x200;
constexpr std::size_t kTagEntrySize = 64;  // tag, text, NUL bytes up to the next tag

// Deterministic filler (splitmix64): the same bytes on every build machine.
void Fill(std::vector<std::uint8_t>& image, std::uint64_t seed) {
  std::uint64_t state = seed;
  for (std::size_t i = 0; i < image.size(); i += 8) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    z ^= z >> 31;
    for (std::size_t k = 0; k < 8 && i + k < image.size(); ++k) image[i + k] = static_cast<std::uint8_t>(z >> (8 * k));
  }
}

void PutTaggedText(std::vector<std::uint8_t>& image, std::size_t entry, const char* tag, const char* text) {
  std::uint8_t* p = image.data() + kTagBlockOffset + entry * kTagEntrySize;
  std::memset(p, 0, kTagEntrySize);
  std::memcpy(p, tag, IMAGE_TAG_LENGTH);
  std::memcpy(p + IMAGE_TAG_LENGTH, text, std::strlen(text));
}

std::size_t CountTag(const std::vector<std::uint8_t>& image, const char* tag) {
  std::size_t count = 0;
  for (std::size_t p = 0; p + IMAGE_TAG_LENGTH <= image.size(); ++p) {
    if (std::memcmp(image.data() + p, tag, IMAGE_TAG_LENGTH) == 0) ++count;
  }
  return count;
}

std::vector<std::uint8_t> StandIn(const ImageKind& kind) {
  std::vector<std::uint8_t> image(kind.standInSize);
  Fill(image, kind.fillerSeed);
  // The tag block that both shipped images hold.
  PutTaggedText(image, 0, APPLICATION_VERSION_TAG, "001.005.019");
  PutTaggedText(image, 1, BOOTLOADER_VERSION_TAG, "001.005.007");
  PutTaggedText(image, 2, HARDWARE_RANGE_TAG, "6");
  ForceCrc32(image.data(), image.size(), kind.crc);
  return image;
}

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  // Written aside and renamed, so that a failed run never leaves a partial image behind.
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
      std::fprintf(stderr, "image_tool: cannot write %s\n", temporary.c_str());
      return false;
    }
  }
  std::error_code error;
  std::filesystem::rename(temporary, path, error);
  if (error) {
    std::fprintf(stderr, "image_tool: cannot write %s: %s\n", path.c_str(), error.message().c_str());
    return false;
  }
  return true;
}

int Generate(const ImageKind& kind, const std::string& output) {
  const std::vector<std::uint8_t> image = StandIn(kind);
  // The filler must not hold a tag by chance, and the forced CRC-32 must hold.
  for (const char* tag : {APPLICATION_VERSION_TAG, BOOTLOADER_VERSION_TAG, HARDWARE_RANGE_TAG}) {
    if (CountTag(image, tag) != 1) {
      std::fprintf(stderr, "image_tool: the stand-in %s image holds a tag more than once\n", kind.name);
      return 1;
    }
  }
  if (Crc32(image.data(), image.size()) != kind.crc) {
    std::fprintf(stderr, "image_tool: the stand-in %s image did not get its CRC-32\n", kind.name);
    return 1;
  }
  return WriteFile(output, image) ? 0 : 1;
}

int Adopt(const ImageKind& kind, const std::string& input, const std::string& output) {
  std::ifstream in(input, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "image_tool: cannot read the %s image %s\n", kind.name, input.c_str());
    return 1;
  }
  const std::vector<std::uint8_t> image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const std::uint32_t crc = Crc32(image.data(), image.size());
  if (crc != kind.crc) {
    std::fprintf(stderr,
                 "image_tool: error: the %s image %s has CRC-32 0x%08" PRIX32 ", expected %s 0x%08" PRIX32
                 " (the program refuses any other image)\n",
                 kind.name, input.c_str(), crc, kind.crcName, kind.crc);
    return 1;
  }
  return WriteFile(output, image) ? 0 : 1;
}

const ImageKind* FindKind(const std::string& name) {
  for (const ImageKind& kind : kKinds) {
    if (name == kind.name) return &kind;
  }
  return nullptr;
}
}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const ImageKind* kind = args.size() >= 2 ? FindKind(args[1]) : nullptr;
  if (kind != nullptr && args[0] == "generate" && args.size() == 3) return Generate(*kind, args[2]);
  if (kind != nullptr && args[0] == "adopt" && args.size() == 4) return Adopt(*kind, args[2], args[3]);
  std::fprintf(stderr,
               "usage: image_tool generate application|bootloader <output>\n"
               "       image_tool adopt application|bootloader <input> <output>\n");
  return 2;
}
