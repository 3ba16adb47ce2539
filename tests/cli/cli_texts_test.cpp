// The terminal updater's texts: the language choice, and the string table compiled in from the resource
// scripts (the same words as the window program's).
#include "cli/cli_texts.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "cli/utf8.h"
#include "ui/resource_ids.h"

namespace {

void SetVariable(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value);  // an empty value removes the variable there, which reads the same
#else
  setenv(name, value, 1);
#endif
}

void RemoveVariable(const char* name) {
#ifdef _WIN32
  _putenv_s(name, "");
#else
  unsetenv(name);
#endif
}

struct LanguageGuard {
  ~LanguageGuard() { SetUiLanguage(UILANG_ENGLISH); }
};

TEST(CliTexts, LanguageFromCode) {
  struct Case {
    const char* code;
    UiLanguageId language;
  };
  for (const Case c : {Case{"de", UILANG_GERMAN}, Case{"de_CH.UTF-8", UILANG_GERMAN}, Case{"fr_FR", UILANG_FRENCH},
                       Case{"it", UILANG_ITALIAN}, Case{"es_ES.UTF-8", UILANG_SPANISH}, Case{"en_GB", UILANG_ENGLISH},
                       Case{"C", 0}, Case{"", 0}, Case{"nl_NL", 0}}) {
    EXPECT_EQ(LanguageFromCode(c.code), c.language) << c.code;
  }
}

TEST(CliTexts, TheFirstLocaleVariableSetDecides) {
  RemoveVariable("LANGUAGE");
  SetVariable("LC_ALL", "");
  SetVariable("LC_MESSAGES", "fr_FR.UTF-8");
  SetVariable("LANG", "de_DE.UTF-8");
  EXPECT_EQ(LanguageFromEnvironment(), UILANG_FRENCH);
  SetVariable("LC_ALL", "C");
  EXPECT_EQ(LanguageFromEnvironment(), UILANG_ENGLISH);
  RemoveVariable("LC_ALL");
  RemoveVariable("LC_MESSAGES");
  EXPECT_EQ(LanguageFromEnvironment(), UILANG_GERMAN);
  RemoveVariable("LANG");
#ifndef _WIN32  // there the user's display language decides then
  EXPECT_EQ(LanguageFromEnvironment(), UILANG_ENGLISH);
#endif
}

// LANGUAGE, a list in order of preference, goes before the locale unless that is "C".
TEST(CliTexts, LanguageListGoesFirstUnlessTheLocaleIsC) {
  struct Case {
    const char* languages;
    const char* lang;
    UiLanguageId expected;
  };
  for (const Case c :
       {Case{"it:de", "de_DE.UTF-8", UILANG_ITALIAN}, Case{"nl:es_ES:fr", "de_DE", UILANG_SPANISH},
        Case{"nl:pt", "de_DE", UILANG_GERMAN}, Case{"", "fr_FR", UILANG_FRENCH}, Case{"::de", "fr_FR", UILANG_GERMAN},
        Case{"de", "C", UILANG_ENGLISH}, Case{"de", "POSIX", UILANG_ENGLISH}}) {
    RemoveVariable("LC_ALL");
    RemoveVariable("LC_MESSAGES");
    SetVariable("LANG", c.lang);
    SetVariable("LANGUAGE", c.languages);
    EXPECT_EQ(LanguageFromEnvironment(), c.expected) << c.languages << " / " << c.lang;
  }
  RemoveVariable("LANGUAGE");
  RemoveVariable("LANG");
}

TEST(CliTexts, TheFrenchColonHasASpaceBeforeIt) {
  EXPECT_STREQ(Colon(UILANG_FRENCH), " : ");
  EXPECT_STREQ(Colon(UILANG_GERMAN), ": ");
  EXPECT_STREQ(Colon(UILANG_ENGLISH), ": ");
}

TEST(CliTexts, EveryStringOfTheTableInEveryLanguage) {
  LanguageGuard guard;
  for (const UiLanguageEntry& entry : UI_LANGUAGES) {
    SetUiLanguage(entry.id);
    for (unsigned id = IDS_FIRST; id <= IDS_LAST; ++id) EXPECT_FALSE(UiText(id).empty()) << entry.id << " " << id;
    EXPECT_TRUE(UiText(IDS_LAST + 1).empty());
  }
}

TEST(CliTexts, TheResourceScriptsWordsAndEscapes) {
  LanguageGuard guard;
  SetUiLanguage(UILANG_GERMAN);
  EXPECT_EQ(UiText(IDS_VERIFY_DEVICE), "Verifiziere Gerät!");
  EXPECT_EQ(UiText(IDS_APP_KEY), "TAVIK_FW_UPDATE");
  EXPECT_EQ(UiText(IDS_UPDATE_FAILED_UNUSED), UiText(IDS_UPDATE_FAILED));
  SetUiLanguage(UILANG_ENGLISH);
  EXPECT_EQ(UiText(IDS_DEVICE_IN_APP_MODE),
            "The device is in application mode.\nPlease switch off the system and try again.");
  // A language the program lacks reads English.
  SetUiLanguage(1043);
  EXPECT_EQ(UiText(IDS_UPDATE_STARTED), "Start firmware update!");
}

TEST(CliTexts, EveryTerminalTextInEveryLanguageWhole) {
  for (const UiLanguageEntry& entry : UI_LANGUAGES) {
    for (CliTextId text = IDS_CLI_FIRST; text <= IDS_CLI_LAST; ++text) {
      EXPECT_NE(CliString(text, entry.id)[0], '\0') << entry.code << " " << text;
    }
    // The exit-status table is far longer than a window's text: it is read whole, to its last line.
    const std::string table = CliString(IDS_CLI_HELP_EXIT_TABLE, entry.id);
    EXPECT_GT(table.size(), 255u) << entry.code;
    EXPECT_NE(table.find("\"result\""), std::string::npos) << entry.code;
    EXPECT_EQ(table.back(), '\n') << entry.code;
  }
  // Blanks at either end and quotes are kept as the scripts have them.
  EXPECT_STREQ(Colon(UILANG_FRENCH), " : ");
  EXPECT_STREQ(Colon(UILANG_GERMAN), ": ");
  EXPECT_STREQ(CliString(IDS_CLI_HELP_USAGE, UILANG_FRENCH), "Utilisation ");
  EXPECT_STREQ(CliString(IDS_CLI_YES_LETTER, UILANG_ITALIAN), "s");
  // A language the program lacks reads English; an id that is no terminal text reads empty.
  EXPECT_STREQ(CliString(IDS_CLI_NO_UNIT, 1043), "No unit found.");
  EXPECT_STREQ(CliString(IDS_CLI_LAST + 1, UILANG_ENGLISH), "");
}

}  // namespace

TEST(CliTexts, Utf8ColumnsAndWholeCharacters) {
  EXPECT_EQ(Utf8Columns(""), 0u);
  EXPECT_EQ(Utf8Columns("Verifiziere Ger\xC3\xA4t!"), 18u);
  EXPECT_EQ(Utf8Columns("\xE2\x82\xAC \xF0\x9F\x94\x8B"), 3u);  // a euro sign, a blank, a battery
  struct Case {
    std::string_view text;
    std::size_t whole;
  };
  for (const Case c : {Case{"", 0}, Case{"abc", 3}, Case{"a\xC3", 1}, Case{"a\xC3\xA4", 3}, Case{"\xE2\x82", 0},
                       Case{"x\xE2\x82\xAC", 4}, Case{"x\xF0\x9F\x94", 1}, Case{"x\xF0\x9F\x94\x8B", 5},
                       Case{"\xA4\xA4\xA4\xA4", 4}}) {  // stray continuation bytes are passed on as they are
    EXPECT_EQ(WholeUtf8Prefix(c.text), c.whole) << ::testing::PrintToString(std::string(c.text));
  }
}
