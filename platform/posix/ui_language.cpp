// The interface language natively. There are no resources here: a text is missing (nothing is shown) unless a
// front end brings its own texts.
#include "ui/ui_language.h"

#include <atomic>

namespace {
std::atomic<UiLanguageId> currentLanguage{UILANG_ENGLISH};
}  // namespace

void SetUiLanguage(UiLanguageId language) { currentLanguage.store(language, std::memory_order_relaxed); }

UiLanguageId GetUiLanguage() { return currentLanguage.load(std::memory_order_relaxed); }

int LoadUiString(unsigned, wchar_t (&buffer)[UI_TEXT_CAPACITY]) {
  buffer[0] = L'\0';
  return 0;
}
