#include <windows.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "image/image_resources.h"

namespace {
BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR found) {
  reinterpret_cast<std::vector<WORD>*>(found)->push_back(language);
  return TRUE;
}

// The images are stored once, language-neutral, so that every interface language finds them.
TEST(ProgramResources, ImagesAreLanguageNeutralRawData) {
  const HMODULE module = GetModuleHandleW(nullptr);
  for (const std::uint16_t id : {IDR_APPLICATION_IMAGE, IDR_BOOTLOADER_IMAGE}) {
    SCOPED_TRACE(id);
    std::vector<WORD> languages;
    EXPECT_TRUE(EnumResourceLanguagesW(module, RT_RCDATA, MAKEINTRESOURCEW(id), CollectLanguage,
                                       reinterpret_cast<LONG_PTR>(&languages)));
    EXPECT_EQ(languages, std::vector<WORD>{MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)});
    // An explicit lookup in another language falls back to the neutral copy.
    EXPECT_NE(FindResourceExW(module, RT_RCDATA, MAKEINTRESOURCEW(id), MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN)),
              nullptr);
  }
}

// The bytes are read where the loader mapped the program, not from a copy.
TEST(ProgramResources, BytesLieInsideTheProgramsImage) {
  const auto* base = reinterpret_cast<const std::uint8_t*>(GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const std::uint8_t* const end = base + nt->OptionalHeader.SizeOfImage;

  ResourceLoader& resources = ProgramResources();
  for (const std::uint16_t id : {IDR_APPLICATION_IMAGE, IDR_BOOTLOADER_IMAGE}) {
    SCOPED_TRACE(id);
    const ResourceInfo found = resources.FindRawData(id);
    ASSERT_NE(found, nullptr);
    const std::uint32_t size = resources.SizeOf(found);
    const ResourceHandle handle = resources.Load(found);
    ASSERT_NE(handle, nullptr);
    const std::uint8_t* bytes = resources.Lock(handle);
    ASSERT_NE(bytes, nullptr);
    EXPECT_GE(bytes, base);
    EXPECT_LE(bytes + size, end);
    resources.Free(handle);
  }
  EXPECT_EQ(resources.FindRawData(111), nullptr);
}
}  // namespace
