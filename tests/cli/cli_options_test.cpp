// The terminal updater's command line: commands and options in any order, the usage errors in the user's
// words, and each command's --help with the options that apply to it.
#include "cli/cli_options.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_texts.h"
#include "cli/helmet_update.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

void SetVariable(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value);  // an empty value removes the variable there
#else
  if (*value == '\0') {
    unsetenv(name);
  } else {
    setenv(name, value, 1);
  }
#endif
}

// English from the environment while a test runs (where --lang gives none), the user's settings afterwards.
class CliOptions : public ::testing::Test {
 protected:
  CliOptions() {
    for (Saved& saved : saved_) {
      const char* value = std::getenv(saved.name);
      if (value != nullptr) saved.value = value;
    }
    SetVariable("LC_ALL", "en_US.UTF-8");
    SetVariable("LANGUAGE", "");
  }
  ~CliOptions() override {
    for (const Saved& saved : saved_) SetVariable(saved.name, saved.value ? saved.value->c_str() : "");
  }

 private:
  struct Saved {
    const char* name;
    std::optional<std::string> value;
  };
  Saved saved_[2] = {{"LC_ALL", std::nullopt}, {"LANGUAGE", std::nullopt}};
};

struct Parse {
  ParsedCommandLine parsed;
  std::string out;
  std::string err;
};

Parse ParseArgs(const std::vector<std::string>& args) {
  std::ostringstream out;
  std::ostringstream err;
  Parse result{ParseCommandLine(args, out, err), "", ""};
  result.out = out.str();
  result.err = err.str();
  return result;
}

TEST_F(CliOptions, CommandsAndOptionsInAnyOrder) {
  struct Case {
    std::vector<std::string> args;
    const char* command;
    bool json;
    bool yes;
    bool verbose;
    bool quiet;
    std::vector<std::string> units;
    const char* trace;
  };
  const Case cases[] = {
      {{"update", "--json"}, "update", true, false, false, false, {}, ""},
      {{"--json", "update"}, "update", true, false, false, false, {}, ""},
      {{"--yes", "update", "--quiet"}, "update", false, true, false, true, {}, ""},
      {{"-y", "--verbose", "info", "--trace", "t.log"}, "info", false, true, true, false, {}, "t.log"},
      {{"--unit", "a", "update", "--unit", "b"}, "update", false, false, false, false, {"a", "b"}, ""},
      {{"list", "--lang", "de", "--json"}, "list", true, false, false, false, {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Parse result = ParseArgs(c.args);
    ASSERT_FALSE(result.parsed.exitStatus.has_value()) << result.err;
    const Options& options = result.parsed.options;
    EXPECT_EQ(options.command, c.command);
    EXPECT_EQ(options.json, c.json);
    EXPECT_EQ(options.yes, c.yes);
    EXPECT_EQ(options.verbose, c.verbose);
    EXPECT_EQ(options.quiet, c.quiet);
    EXPECT_EQ(options.units, c.units);
    EXPECT_EQ(options.trace, c.trace);
    EXPECT_EQ(result.err, "");
  }
}

TEST_F(CliOptions, UsageErrorsSayWhatIsWrongInTheUsersLanguage) {
  struct Case {
    std::vector<std::string> args;
    const char* message;  // the first line
    const char* hint;     // the last line
  };
  const Case cases[] = {
      {{}, "helmet-update: a command is needed", "helmet-update --help shows the options."},
      {{"frobnicate"}, "helmet-update: unknown command: frobnicate", "helmet-update --help shows the options."},
      {{"--json", "frobnicate", "--yes"}, "helmet-update: unknown command: frobnicate", ""},
      {{"update", "--bogus"},
       "helmet-update: unknown option: --bogus",
       "helmet-update update --help shows the options."},
      {{"info", "extra"}, "helmet-update: unexpected argument: extra", "helmet-update info --help shows the options."},
      {{"update", "--quiet", "--verbose"}, "helmet-update: --quiet and --verbose exclude each other", ""},
      {{"--verbose", "update", "--quiet"}, "helmet-update: --quiet and --verbose exclude each other", ""},
      {{"update", "--lang", "xx"}, "helmet-update: --lang: unknown language (de, fr, it, es or en): xx", ""},
      {{"update", "--trace"}, "helmet-update: --trace: this option needs a value", ""},
      {{"list", "--all"}, "helmet-update: --all, --watch and more than one --unit are for `update` only", ""},
      {{"info", "--unit", "a", "--unit", "b"},
       "helmet-update: --all, --watch and more than one --unit are for `update` only",
       ""},
      {{"update", "--all", "--unit", "a"},
       "helmet-update: --unit names units of its own; it goes with neither --all nor --watch",
       ""},
      {{"update", "--all", "--watch"}, "helmet-update: --all or --watch, not both", ""},
      {{"frobnicate", "--lang", "fr"},
       "helmet-update : commande inconnue : frobnicate",
       "helmet-update --help affiche les options."},
      {{"--lang", "de", "update", "--bogus"},
       "helmet-update: unbekannte Option: --bogus",
       "helmet-update update --help zeigt die Optionen."},
      {{"--lang=es"}, "helmet-update: falta un comando", "helmet-update --help muestra las opciones."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Parse result = ParseArgs(c.args);
    ASSERT_TRUE(result.parsed.exitStatus.has_value());
    EXPECT_EQ(*result.parsed.exitStatus, EXIT_USAGE);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.substr(0, result.err.find('\n')), c.message);
    if (*c.hint != '\0') {
      const std::string last = result.err.substr(result.err.rfind('\n', result.err.size() - 2) + 1);
      EXPECT_EQ(last, std::string(c.hint) + "\n");
    }
  }
}

TEST_F(CliOptions, AnUnknownCommandNamesTheCommands) {
  const Parse result = ParseArgs({"frobnicate", "--lang", "en"});
  EXPECT_THAT(result.err, HasSubstr("The commands are list, info, update and replay."));
}

TEST_F(CliOptions, EachCommandsHelpListsItsOptions) {
  struct Case {
    const char* command;
    std::vector<const char*> listed;
    std::vector<const char*> left_out;
  };
  const Case cases[] = {
      {"update",
       {"-h,--help", "--unit PATH", "--all", "--watch", "--yes", "--quiet", "--verbose", "--trace FILE", "--json",
        "--lang LANG", "update the unit (asks first unless --yes)", "Usage: helmet-update update [OPTIONS]"},
       {"--version", "Commands:"}},
      {"info",
       {"--unit PATH", "--json", "--trace FILE", "--verbose", "Usage: helmet-update info [OPTIONS]"},
       {"--all", "--watch", "--yes", "--quiet", "--version"}},
      {"list", {"--json", "--trace FILE", "--lang LANG"}, {"--unit", "--all", "--yes", "--quiet"}},
  };
  for (const Case& c : cases) {
    for (const bool before : {false, true}) {
      SCOPED_TRACE(std::string(c.command) + (before ? " after --help" : " --help"));
      const std::vector<std::string> args = before ? std::vector<std::string>{"--lang", "en", "--help", c.command}
                                                   : std::vector<std::string>{c.command, "--help", "--lang", "en"};
      const Parse result = ParseArgs(args);
      ASSERT_EQ(result.parsed.exitStatus, 0);
      for (const char* text : c.listed) EXPECT_THAT(result.out, HasSubstr(text));
      // The exit statuses below name options of `update`: only the options above them count.
      const std::string options = result.out.substr(0, result.out.find("Exit status:"));
      for (const char* text : c.left_out) EXPECT_THAT(options, Not(HasSubstr(text)));
      // The exit statuses, below every command's options too.
      EXPECT_THAT(result.out, HasSubstr("13  the firmware is not for this unit's hardware"));
      EXPECT_EQ(result.err, "");
    }
  }
  const Parse main = ParseArgs({"--help", "--lang", "en"});
  EXPECT_THAT(main.out, HasSubstr("Usage: helmet-update [OPTIONS] COMMAND"));
  for (const char* text : {"--version", "--unit PATH", "--quiet", "Commands:", "  list", "  info", "  update"}) {
    EXPECT_THAT(main.out, HasSubstr(text));
  }
}

TEST_F(CliOptions, HelpInTheUsersLanguage) {
  struct Case {
    const char* lang;
    std::vector<const char*> texts;
  };
  const Case cases[] = {
      {"fr",
       {"Utilisation : helmet-update update [OPTIONS]", "Options :", "--unit CHEMIN", "afficher cette aide et quitter",
        "n'afficher que les erreurs et le résultat",
        "Code de sortie :", "  13  le firmware n'est pas pour le matériel"}},
      {"de",
       {"Aufruf: helmet-update update [OPTIONEN]", "Optionen:", "--unit PFAD", "--trace DATEI",
        "Rückgabewert:", "  10  abgebrochen", "nur Fehler und das Ergebnis zeigen"}},
      {"it", {"Uso: helmet-update update [OPZIONI]", "Codice di uscita:", "--unit PERCORSO"}},
      {"es", {"Uso: helmet-update update [OPCIONES]", "Código de salida:", "--trace ARCHIVO"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lang);
    const Parse result = ParseArgs({"update", "--help", "--lang", c.lang});
    ASSERT_EQ(result.parsed.exitStatus, 0);
    for (const char* text : c.texts) EXPECT_THAT(result.out, HasSubstr(text));
    EXPECT_THAT(result.out, Not(HasSubstr("Print this help")));
  }
  const Parse main = ParseArgs({"--lang=fr", "--help"});
  EXPECT_THAT(main.out, HasSubstr("Utilisation : helmet-update [OPTIONS] COMMANDE"));
  EXPECT_THAT(main.out, HasSubstr("Commandes :"));
}

TEST_F(CliOptions, TheLanguageIsChosenBeforeTheParse) {
  EXPECT_EQ(LanguageOfArguments({"update", "--lang", "de"}), UILANG_GERMAN);
  EXPECT_EQ(LanguageOfArguments({"--lang=it", "frobnicate"}), UILANG_ITALIAN);
  // A value that --lang refuses: the environment's language tells the error.
  EXPECT_EQ(LanguageOfArguments({"--lang", "deutsch"}), UILANG_ENGLISH);
  EXPECT_EQ(LanguageOfArguments({"--lang"}), UILANG_ENGLISH);
  SetVariable("LC_ALL", "fr_CH.UTF-8");
  EXPECT_EQ(LanguageOfArguments({"update"}), UILANG_FRENCH);
  EXPECT_EQ(LanguageOfArguments({"update", "--lang", "xx"}), UILANG_FRENCH);
  const Parse refused = ParseArgs({"update", "--lang", "xx"});
  EXPECT_THAT(refused.err, HasSubstr("--lang : langue inconnue (de, fr, it, es ou en) : xx"));
}

TEST_F(CliOptions, VersionEndsAtOnce) {
  const Parse result = ParseArgs({"update", "--version"});
  EXPECT_EQ(result.parsed.exitStatus, 0);
  EXPECT_EQ(result.out, std::string("helmet-update ") + HELMET_UPDATE_VERSION + "\n");
}

}  // namespace
