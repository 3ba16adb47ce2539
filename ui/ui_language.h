#pragma once
// The interface language: the five languages the program's texts and dialogs exist in, the process-wide
// current choice, and the loading of a text in that language.
//
// Resources are found explicitly by language rather than through the thread's interface language, because not
// every platform honours the latter when it picks a resource (Wine ignores SetThreadUILanguage). The loading is
// part of the Win32 layer (platform/win32/resource_ui_strings.cpp); the portable logic names texts by string id only.

#include <cstddef>
#include <cstdint>

using UiLanguageId = std::uint16_t;

inline constexpr UiLanguageId UILANG_ENGLISH = 1033;  // English (United States)
inline constexpr UiLanguageId UILANG_GERMAN = 1031;   // German (Germany)
inline constexpr UiLanguageId UILANG_FRENCH = 1036;   // French (France)
inline constexpr UiLanguageId UILANG_ITALIAN = 1040;  // Italian (Italy)
inline constexpr UiLanguageId UILANG_SPANISH = 3082;  // Spanish (Spain, modern sort)

struct UiLanguageEntry {
  UiLanguageId id;
  const wchar_t* name;  // as the language chooser shows it, in the language itself
};

// In the order of the language chooser.
inline constexpr UiLanguageEntry UI_LANGUAGES[] = {
    {UILANG_ENGLISH, L"English"},  {UILANG_GERMAN, L"Deutsch"},       {UILANG_FRENCH, L"Fran\u00E7ais"},
    {UILANG_ITALIAN, L"Italiano"}, {UILANG_SPANISH, L"Espa\u00F1ol"},
};

constexpr bool IsUiLanguage(UiLanguageId language) {
  for (const UiLanguageEntry& entry : UI_LANGUAGES) {
    if (entry.id == language) return true;
  }
  return false;
}

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

// Loads string `id` of the interface language into `buffer`, NUL-terminated, cut at 255 units. Returns its
// length; 0 or less means the text is missing, and callers then show nothing.
int LoadUiString(unsigned id, wchar_t (&buffer)[UI_TEXT_CAPACITY]);

// Copies string `index` (0 to 15) of a string-table block, 16 strings each held as a count of UTF-16 units
// followed by the units, into `buffer` as LoadUiString does. A block cut short gives a missing text.
int CopyStringFromBlock(const std::uint16_t* block, std::size_t blockUnits, unsigned index,
                        wchar_t (&buffer)[UI_TEXT_CAPACITY]);
