#include "ui/ui_language.h"

#include <windows.h>

#include <atomic>

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

int LoadUiString(unsigned id, wchar_t (&buffer)[UI_TEXT_CAPACITY]) {
  buffer[0] = L'\0';
  if (id > 0xFFFF) return 0;
  // Strings are stored in blocks of 16: string `id` is entry id % 16 of block id / 16 + 1.
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC info = FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), ResourceLanguageFor(GetUiLanguage()));
  if (info == nullptr) return 0;
  HGLOBAL handle = LoadResource(module, info);
  const void* bytes = handle != nullptr ? LockResource(handle) : nullptr;
  if (bytes == nullptr) return 0;
  return CopyStringFromBlock(static_cast<const std::uint16_t*>(bytes), SizeofResource(module, info) / 2, id % 16,
                             buffer);
}
