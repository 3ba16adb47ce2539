#include <windows.h>

#include <atomic>

#include "ui/ui_language.h"

static_assert(sizeof(wchar_t) == sizeof(std::uint16_t), "string resources are UTF-16");

namespace {
std::atomic<UiLanguageId> currentLanguage{UILANG_ENGLISH};
}  // namespace

void SetUiLanguage(UiLanguageId language) {
  currentLanguage.store(language, std::memory_order_relaxed);
  // For the system's own texts (message box buttons); our resources are found by language explicitly.
  SetThreadUILanguage(language);
}

UiLanguageId GetUiLanguage() { return currentLanguage.load(std::memory_order_relaxed); }

namespace {
// The string-table block that holds string `id` in `language`: its UTF-16 units and their count.
const std::uint16_t* FindStringBlock(UiLanguageId language, unsigned id, std::size_t& units) {
  units = 0;
  if (id > 0xFFFF) return nullptr;
  // Strings are stored in blocks of 16: string `id` is entry id % 16 of block id / 16 + 1.
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC info = FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), ResourceLanguageFor(language));
  if (info == nullptr) return nullptr;
  HGLOBAL handle = LoadResource(module, info);
  const void* bytes = handle != nullptr ? LockResource(handle) : nullptr;
  if (bytes == nullptr) return nullptr;
  units = SizeofResource(module, info) / 2;
  return static_cast<const std::uint16_t*>(bytes);
}
}  // namespace

int LoadUiString(unsigned id, wchar_t (&buffer)[UI_TEXT_CAPACITY]) {
  buffer[0] = L'\0';
  std::size_t units = 0;
  const std::uint16_t* block = FindStringBlock(GetUiLanguage(), id, units);
  return block != nullptr ? CopyStringFromBlock(block, units, id % 16, buffer) : 0;
}

std::wstring LoadUiStringIn(UiLanguageId language, unsigned id) {
  std::size_t units = 0;
  const std::uint16_t* block = FindStringBlock(language, id, units);
  return block != nullptr ? StringFromBlock(block, units, id % 16) : std::wstring();
}
