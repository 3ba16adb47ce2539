// The program's language-neutral resources: icon groups, manifest and version block.

#include <windows.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ui/resource_ids.h"
#include "win32/ui_dialog_template.h"

namespace {

constexpr WORD kNeutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);

#pragma pack(push, 2)
struct IconGroupHeader {
  WORD reserved;
  WORD type;
  WORD count;
};
struct IconGroupEntry {
  BYTE width;
  BYTE height;
  BYTE colorCount;
  BYTE reserved;
  WORD planes;
  WORD bitCount;
  DWORD bytes;
  WORD iconId;
};
#pragma pack(pop)

struct IconImage {
  int width;
  int height;
  int bitCount;  // of the image itself
};

std::vector<IconImage> ReadIconGroup(WORD id) {
  const ResourceBytes group = FindResourceBytes(RT_GROUP_ICON, id, kNeutral);
  std::vector<IconImage> images;
  if (group.size < sizeof(IconGroupHeader)) return images;
  IconGroupHeader header;
  std::memcpy(&header, group.data, sizeof(header));
  if (group.size < sizeof(header) + header.count * sizeof(IconGroupEntry)) return images;
  for (WORD i = 0; i < header.count; ++i) {
    IconGroupEntry entry;
    std::memcpy(&entry, static_cast<const BYTE*>(group.data) + sizeof(header) + i * sizeof(entry), sizeof(entry));
    const ResourceBytes image = FindResourceBytes(RT_ICON, entry.iconId, kNeutral);
    BITMAPINFOHEADER bitmap{};
    if (image.size >= sizeof(bitmap)) std::memcpy(&bitmap, image.data, sizeof(bitmap));
    EXPECT_EQ(entry.bitCount, bitmap.biBitCount) << "icon " << entry.iconId;
    images.push_back({entry.width, entry.height, bitmap.biBitCount});
  }
  return images;
}

TEST(UiResources, IconGroupsHoldTheirSizesInFullColour) {
  const std::vector<IconImage> program = ReadIconGroup(IDI_UPDATER);
  ASSERT_EQ(program.size(), 4u);
  const int sizes[] = {64, 32, 24, 16};
  for (std::size_t i = 0; i < program.size(); ++i) {
    EXPECT_EQ(program[i].width, sizes[i]);
    EXPECT_EQ(program[i].height, sizes[i]);
    EXPECT_EQ(program[i].bitCount, 32);
  }
  const std::vector<IconImage> about = ReadIconGroup(IDI_ABOUT);
  ASSERT_EQ(about.size(), 1u);
  EXPECT_EQ(about[0].width, 32);
  EXPECT_EQ(about[0].height, 32);
  EXPECT_EQ(about[0].bitCount, 32);

  // The system picks the sizes a window needs from group 113.
  for (int size : {16, 32}) {
    HICON icon = static_cast<HICON>(
        LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_UPDATER), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
    EXPECT_NE(icon, nullptr) << size;
    if (icon != nullptr) DestroyIcon(icon);
  }
}

TEST(UiResources, ManifestAsksForNoElevationAndCommonControlsSix) {
  const ResourceBytes manifest = FindResourceBytes(RT_MANIFEST, 1, kNeutral);
  ASSERT_NE(manifest.data, nullptr);
  const std::string text(static_cast<const char*>(manifest.data), manifest.size);
  EXPECT_NE(text.find(R"(level="asInvoker")"), std::string::npos);
  EXPECT_NE(text.find(R"(uiAccess="false")"), std::string::npos);
  EXPECT_NE(text.find(R"(name="Microsoft.Windows.Common-Controls")"), std::string::npos);
  EXPECT_NE(text.find(R"(version="6.0.0.0")"), std::string::npos);
}

TEST(UiResources, VersionBlockNamesVersionOnePointOne) {
  wchar_t path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(path, 0, size, block.data()));

  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\000004b0\\FileVersion", &value, &length));
  EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(value)), L"1.1");

  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", &value, &length));
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(1, 1));
  EXPECT_EQ(fixed->dwFileVersionLS, 0u);
}

TEST(UiResources, IconsManifestAndVersionAreLanguageNeutral) {
  const std::vector<WORD> neutral = {kNeutral};
  EXPECT_EQ(ResourceLanguages(RT_GROUP_ICON, IDI_UPDATER), neutral);
  EXPECT_EQ(ResourceLanguages(RT_GROUP_ICON, IDI_ABOUT), neutral);
  EXPECT_EQ(ResourceLanguages(RT_MANIFEST, 1), neutral);
  EXPECT_EQ(ResourceLanguages(RT_VERSION, 1), neutral);
}

}  // namespace
