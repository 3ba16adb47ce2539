#pragma once
// The texts of the terminal updater and the choice of its language. Its own texts are in the string tables of
// the resource scripts beside the window program's (one script per language holds every text of it).

#include <string>

#include "ui/resource_ids.h"
#include "ui/ui_language.h"
#include "ui/update_view.h"

// A text of the terminal updater: its string id (IDS_CLI_*, ui/resource_ids.h), in the string tables of every
// language (res/lang_*.rc).
using CliTextId = unsigned;

// The word for how a unit's update ended (0 while it runs).
CliTextId OutcomeText(UpdateEnding ending, int result);

// The text in `language` (English for a language the program does not speak), UTF-8; it lives as long as the
// program.
const char* CliString(CliTextId text, UiLanguageId language);
// The text with `value` in place of its "%1" (a file name, a path).
std::string CliString(CliTextId text, UiLanguageId language, const std::string& value);

// What follows a label before its value: ": ", in French " : " (a space before the colon).
const char* Colon(UiLanguageId language);

// The code of a row of the language table (a locale such as "de_CH.UTF-8" counts by its first two letters); 0
// when none.
UiLanguageId LanguageFromCode(const std::string& code);
// From LC_ALL, LC_MESSAGES, then LANG, as the C library orders them; when none is set, on Windows the user's
// display language; English when none names a language the program speaks.
UiLanguageId LanguageFromEnvironment();

// String `id` of the string table in the current interface language as UTF-8; empty when missing.
std::string UiText(unsigned id);
