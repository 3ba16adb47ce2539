#pragma once
// The interface language: the five languages the program's texts and dialogs exist in, the process-wide
// current choice, and the loading of a text in that language.
//
// Resources are found explicitly by language rather than through the thread's interface language, because not
// every platform honours the latter when it picks a resource (Wine ignores SetThreadUILanguage). The loading is
// part of the Win32 layer (platform/win32/resource_ui_strings.cpp); the portable logic names texts by string id only.

#include <cstddef>
#include <cstdint>
#include <string>

using UiLanguageId = std::uint16_t;

// Names for the rows of the language table (res/languages.def) that the code refers to.
inline constexpr UiLanguageId UILANG_ENGLISH = 1033;  // English (United States)
inline constexpr UiLanguageId UILANG_GERMAN = 1031;   // German (Germany)
inline constexpr UiLanguageId UILANG_FRENCH = 1036;   // French (France)
inline constexpr UiLanguageId UILANG_ITALIAN = 1040;  // Italian (Italy)
inline constexpr UiLanguageId UILANG_SPANISH = 3082;  // Spanish (Spain, modern sort)

struct UiLanguageEntry {
  UiLanguageId id;
  const char* code;     // the two letters of a locale ("de" of "de_CH.UTF-8")
  const wchar_t* name;  // as the language chooser shows it, in the language itself
};

// In the order of the language chooser.
inline constexpr UiLanguageEntry UI_LANGUAGES[] = {
#define UI_LANGUAGE(code, id, row, script) {id, code, row},
#include "res/languages.def"
#undef UI_LANGUAGE
};

constexpr bool IsUiLanguage(UiLanguageId language) {
  for (const UiLanguageEntry& entry : UI_LANGUAGES) {
    if (entry.id == language) return true;
  }
  return false;
}

static_assert(IsUiLanguage(UILANG_ENGLISH) && IsUiLanguage(UILANG_GERMAN) && IsUiLanguage(UILANG_FRENCH) &&
                  IsUiLanguage(UILANG_ITALIAN) && IsUiLanguage(UILANG_SPANISH),
              "every named language is a row of the table");

// The language whose resources are used: the interface language if the program has it, else English, so
// that a stored language the program does not speak still gives a whole interface.
constexpr UiLanguageId ResourceLanguageFor(UiLanguageId language) {
  return IsUiLanguage(language) ? language : UILANG_ENGLISH;
}

// Every text is loaded into a buffer of this many UTF-16 units (the terminator included).
inline constexpr int UI_TEXT_CAPACITY = 256;

// Makes `language` the interface language of the process (and the thread's, for the system's own texts).
// Set by start-up before the main window is created; English until then.
void SetUiLanguage(UiLanguageId language);
UiLanguageId GetUiLanguage();

// The whole of string `id` in `language` (English for a language the program does not speak), uncut; empty
// when missing.
std::wstring LoadUiStringIn(UiLanguageId language, unsigned id);

// Loads string `id` of the interface language into `buffer`, NUL-terminated, cut at 255 units. Returns its
// length; 0 or less means the text is missing, and callers then show nothing.
int LoadUiString(unsigned id, wchar_t (&buffer)[UI_TEXT_CAPACITY]);

// Copies string `index` (0 to 15) of a string-table block, 16 strings each held as a count of UTF-16 units
// followed by the units, into `buffer` as LoadUiString does. A block cut short gives a missing text.
int CopyStringFromBlock(const std::uint16_t* block, std::size_t blockUnits, unsigned index,
                        wchar_t (&buffer)[UI_TEXT_CAPACITY]);
// The same string whole (a terminal text may be longer than 255 units); empty when missing.
std::wstring StringFromBlock(const std::uint16_t* block, std::size_t blockUnits, unsigned index);
