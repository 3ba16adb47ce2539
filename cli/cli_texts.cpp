#include "cli/cli_texts.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// UTF-16 or UTF-32 units (whichever wchar_t is) as UTF-8.
std::string Utf8(const wchar_t* text) {
  std::string out;
  for (; *text != L'\0'; ++text) {
    auto c = static_cast<std::uint32_t>(*text);
    if (c >= 0xD800 && c <= 0xDBFF && text[1] >= 0xDC00 && text[1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<std::uint32_t>(*++text) - 0xDC00);
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace

CliTextId OutcomeText(UpdateEnding ending, int result) {
  if (result < 0) return IDS_CLI_OUTCOME_RUNNING;
  switch (ending) {
    case UpdateEnding::Completed:
      return IDS_CLI_OUTCOME_DONE;
    case UpdateEnding::Failed:
      return IDS_CLI_OUTCOME_FAILED;
    case UpdateEnding::Cancelled:
      return IDS_CLI_OUTCOME_CANCELLED;
    case UpdateEnding::NotStarted:
      break;
  }
  return result == FWL_ABORTED ? IDS_CLI_OUTCOME_CANCELLED : IDS_CLI_OUTCOME_REFUSED;
}

const char* CliString(CliTextId text, UiLanguageId language) {
  // Every terminal text of every language, as UTF-8, read once (threads of a tray may ask at once).
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> all;
    for (const UiLanguageEntry& entry : UI_LANGUAGES) {
      for (unsigned id = IDS_CLI_FIRST; id <= IDS_CLI_LAST; ++id) {
        all.push_back(Utf8(LoadUiStringIn(entry.id, id).c_str()));
      }
    }
    return all;
  }();
  constexpr std::size_t perLanguage = IDS_CLI_LAST - IDS_CLI_FIRST + 1;
  const UiLanguageId resourceLanguage = ResourceLanguageFor(language);
  std::size_t row = 0;
  while (UI_LANGUAGES[row].id != resourceLanguage) ++row;
  if (text < IDS_CLI_FIRST || text > IDS_CLI_LAST) return "";
  return texts[row * perLanguage + (text - IDS_CLI_FIRST)].c_str();
}

std::string CliString(CliTextId text, UiLanguageId language, const std::string& value) {
  std::string filled = CliString(text, language);
  if (const std::size_t at = filled.find("%1"); at != std::string::npos) filled.replace(at, 2, value);
  return filled;
}

const char* Colon(UiLanguageId language) { return CliString(IDS_CLI_COLON, language); }

UiLanguageId LanguageFromCode(const std::string& code) {
  const std::string two = code.substr(0, 2);
  for (const UiLanguageEntry& entry : UI_LANGUAGES) {
    if (two == entry.code) return entry.id;
  }
  return 0;
}

namespace {
// The first language of a colon-separated list that the program speaks; 0 when none (or no list).
UiLanguageId LanguageFromList(const char* list) {
  if (list == nullptr) return 0;
  const std::string text = list;
  std::size_t begin = 0;
  while (begin <= text.size()) {
    const std::size_t end = std::min(text.find(':', begin), text.size());
    if (const UiLanguageId language = LanguageFromCode(text.substr(begin, end - begin))) return language;
    begin = end + 1;
  }
  return 0;
}
}  // namespace

UiLanguageId LanguageFromEnvironment() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    // The first variable that is set decides, even when it names a language the program lacks ("C"). Unless it
    // is the "C" locale, LANGUAGE (a list such as "fr:de") goes before it, its first language spoken here first.
    const std::string locale = value;
    if (locale != "C" && locale != "POSIX") {
      if (const UiLanguageId preferred = LanguageFromList(std::getenv("LANGUAGE"))) return preferred;
    }
    const UiLanguageId language = LanguageFromCode(locale);
    return language != 0 ? language : UILANG_ENGLISH;
  }
#ifdef _WIN32
  // Windows users rarely set these variables: their display language decides then.
  const LANGID display = GetUserDefaultUILanguage();
  for (const UiLanguageEntry& entry : UI_LANGUAGES) {
    if (PRIMARYLANGID(entry.id) == PRIMARYLANGID(display)) return entry.id;
  }
#endif
  return UILANG_ENGLISH;
}

std::string UiText(unsigned id) {
  wchar_t buffer[UI_TEXT_CAPACITY];
  if (LoadUiString(id, buffer) <= 0) return {};
  return Utf8(buffer);
}
