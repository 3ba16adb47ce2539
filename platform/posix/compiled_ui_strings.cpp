// The interface language natively. There are no resources here: the string table is compiled in, generated at
// build time from the same resource scripts as the Windows program's (scripts/gen_ui_strings.py), so the
// controller's status lines and boxes read the same words in a terminal front end.
#include <atomic>

#include "ui/ui_language.h"

namespace {
std::atomic<UiLanguageId> currentLanguage{UILANG_ENGLISH};

struct UiStringEntry {
  UiLanguageId language;
  unsigned id;
  const wchar_t* text;
};

constexpr UiStringEntry UI_STRING_TABLE[] = {
#include "ui_string_table.inc"
};
}  // namespace

void SetUiLanguage(UiLanguageId language) { currentLanguage.store(language, std::memory_order_relaxed); }

UiLanguageId GetUiLanguage() { return currentLanguage.load(std::memory_order_relaxed); }

std::wstring LoadUiStringIn(UiLanguageId language, unsigned id) {
  const UiLanguageId resourceLanguage = ResourceLanguageFor(language);
  for (const UiStringEntry& entry : UI_STRING_TABLE) {
    if (entry.language == resourceLanguage && entry.id == id) return entry.text;
  }
  return {};
}

int LoadUiString(unsigned id, wchar_t (&buffer)[UI_TEXT_CAPACITY]) {
  buffer[0] = L'\0';
  const UiLanguageId language = ResourceLanguageFor(GetUiLanguage());
  for (const UiStringEntry& entry : UI_STRING_TABLE) {
    if (entry.language != language || entry.id != id) continue;
    int length = 0;
    while (entry.text[length] != L'\0' && length < UI_TEXT_CAPACITY - 1) {
      buffer[length] = entry.text[length];
      ++length;
    }
    buffer[length] = L'\0';
    return length;
  }
  return 0;
}
