#include "cli/cli_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <map>
#include <memory>
#include <sstream>

#include "cli/cli_texts.h"
#include "cli/helmet_update.h"
#include "ui/resource_ids.h"

namespace {

// Option and command names stay as they are in every language; their texts are in the string tables.
std::string Text(CliTextId text, UiLanguageId language) { return CliString(text, language); }

// Where the language comes from when --lang is not given; on Windows the display language comes last.
std::string LangHelp(UiLanguageId language) {
#ifdef _WIN32
  return Text(IDS_CLI_HELP_LANG, language) + Text(IDS_CLI_HELP_LANG_WINDOWS, language) + ")";
#else
  return Text(IDS_CLI_HELP_LANG, language) + ")";
#endif
}

// The commands, as bits: which commands an option applies to.
constexpr unsigned LIST = 1;
constexpr unsigned INFO = 2;
constexpr unsigned UPDATE = 4;
constexpr unsigned REPLAY = 8;
constexpr unsigned EVERY_COMMAND = LIST | INFO | UPDATE | REPLAY;

unsigned CommandBit(const std::string& command) {
  return command == "list"     ? LIST
         : command == "info"   ? INFO
         : command == "update" ? UPDATE
         : command == "replay" ? REPLAY
                               : 0;
}

// The options are the main program's (so that they may come before or after the command, by CLI11's
// fallthrough); a command's --help lists those that apply to it, with its own -h.
class CommandFormatter final : public CLI::Formatter {
 public:
  std::map<const CLI::Option*, unsigned> appliesTo;

  std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override {
    const CLI::App* parent = app->get_parent();
    if (parent == nullptr || mode != CLI::AppFormatMode::Normal) return CLI::Formatter::make_help(app, name, mode);
    const unsigned command = CommandBit(app->get_name());
    std::vector<const CLI::Option*> options{app->get_help_ptr()};
    for (const CLI::Option* option : parent->get_options()) {
      const auto found = appliesTo.find(option);
      if (found != appliesTo.end() && (found->second & command) != 0) options.push_back(option);
    }
    std::ostringstream out;
    out << make_description(app) << make_usage(app, name)
        << make_group(parent->get_help_ptr()->get_group(), false, options) << '\n'
        << make_footer(parent);
    return out.str();
  }
};

// The entries that CLI11 did not take, in the order given (it is handed the arguments last first).
std::vector<std::string> NotTaken(const CLI::App& app) {
  std::vector<std::string> left = app.remaining(true);
  std::reverse(left.begin(), left.end());
  return left;
}

// The value that follows --lang (or is joined to it with '='); empty when none.
std::string LangValue(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--lang" && i + 1 < args.size()) return args[i + 1];
    if (args[i].rfind("--lang=", 0) == 0) return args[i].substr(7);
  }
  return {};
}

// The usage error in the user's words: CLI11's own are English.
std::string UsageMessage(const CLI::App& app, const CLI::ParseError& error, const std::vector<std::string>& args,
                         const std::string& command, UiLanguageId language) {
  const std::string colon = Colon(language);
  const std::string name = error.get_name();
  if (name == "ValidationError") {
    return "--lang" + colon + Text(IDS_CLI_HELP_UNKNOWN_LANGUAGE, language) + colon + LangValue(args);
  }
  if (name == "ArgumentMismatch") {
    const std::string what = error.what();
    return what.substr(0, what.find(':')) + colon + Text(IDS_CLI_HELP_NEEDS_VALUE, language);
  }
  const std::vector<std::string> left = NotTaken(app);
  for (const std::string& arg : left) {
    if (!arg.empty() && arg[0] == '-') return Text(IDS_CLI_HELP_UNKNOWN_OPTION, language) + colon + arg;
  }
  if (!left.empty()) {
    return Text(command.empty() ? IDS_CLI_HELP_UNKNOWN_COMMAND : IDS_CLI_HELP_UNEXPECTED_ARGUMENT, language) + colon +
           left.front();
  }
  if (name == "RequiredError" && command.empty()) return Text(IDS_CLI_HELP_NO_COMMAND, language);
  return error.what();
}

// Which options go together (checked here rather than by CLI11, whose help would show it in English).
std::optional<CliTextId> Conflict(const Options& options) {
  if (options.quiet && options.verbose) return IDS_CLI_HELP_QUIET_AND_VERBOSE;
  const bool tray = options.all || options.watch || options.units.size() > 1;
  if (tray && options.command != "update") return IDS_CLI_HELP_UPDATE_ONLY;
  if ((options.all || options.watch) && !options.units.empty()) return IDS_CLI_HELP_UNIT_WITH_ALL_OR_WATCH;
  if (options.all && options.watch) return IDS_CLI_HELP_ALL_OR_WATCH;
  if (tray && !options.capture.empty()) return IDS_CLI_HELP_CAPTURE_ONE_UNIT;
  return std::nullopt;
}

void WriteUsageError(std::ostream& err, const std::string& message, const std::string& command, UiLanguageId language) {
  err << "helmet-update" << Colon(language) << message << '\n';
  if (command.empty()) err << Text(IDS_CLI_HELP_COMMANDS_ARE, language) << '\n';
  err << "helmet-update " << (command.empty() ? "" : command + " ") << "--help "
      << Text(IDS_CLI_HELP_SHOWS_THE_OPTIONS, language) << '\n';
}

}  // namespace

UiLanguageId LanguageOfArguments(const std::vector<std::string>& args) {
  const std::string code = LangValue(args);
  // Only a value that --lang takes: "--lang xx" is an error, told in the environment's language.
  const UiLanguageId language = code.size() == 2 ? LanguageFromCode(code) : 0;
  return language != 0 ? language : LanguageFromEnvironment();
}

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  const UiLanguageId language = LanguageOfArguments(args);
  const auto text = [language](CliTextId which) { return Text(which, language); };
  ParsedCommandLine parsed;
  Options& options = parsed.options;

  CLI::App app{text(IDS_CLI_HELP_DESCRIPTION), "helmet-update"};
  auto formatter = std::make_shared<CommandFormatter>();
  formatter->label("Usage", text(IDS_CLI_HELP_USAGE));
  formatter->label("OPTIONS", text(IDS_CLI_HELP_OPTIONS_BADGE));
  formatter->label("SUBCOMMAND", text(IDS_CLI_HELP_COMMAND_BADGE));
  app.formatter(formatter);  // before the commands are added: they take the main program's formatter
  std::string statusHeader = std::string(CliString(IDS_CLI_EXIT_STATUS, language)) + Colon(language);
  statusHeader.pop_back();  // the blank that would part the label from a value
  app.footer(statusHeader + "\n" + text(IDS_CLI_HELP_EXIT_TABLE));
  app.allow_windows_style_options(false);  // the same syntax on every system: "/x" is never an option
  app.option_defaults()->group(text(IDS_CLI_HELP_OPTIONS_GROUP));
  app.set_help_flag("-h,--help", text(IDS_CLI_HELP_HELP));
  app.set_version_flag("--version", std::string("helmet-update ") + HELMET_UPDATE_VERSION,
                       text(IDS_CLI_HELP_VERSION_FLAG));

  std::map<const CLI::Option*, unsigned>& appliesTo = formatter->appliesTo;
  appliesTo[app.add_option("--unit", options.units, text(IDS_CLI_HELP_UNIT))
                ->take_all()
                ->option_text(text(IDS_CLI_HELP_PATH))] = INFO | UPDATE;
  appliesTo[app.add_flag("--all", options.all, text(IDS_CLI_HELP_ALL))] = UPDATE;
  appliesTo[app.add_flag("--watch", options.watch, text(IDS_CLI_HELP_WATCH))] = UPDATE;
  appliesTo[app.add_option("--lang", options.lang, LangHelp(language))
                ->check(CLI::IsMember({"de", "fr", "it", "es", "en"}))
                ->option_text(text(IDS_CLI_HELP_LANGUAGE))] = EVERY_COMMAND;
  appliesTo[app.add_option("--trace", options.trace, text(IDS_CLI_HELP_TRACE))->option_text(text(IDS_CLI_HELP_FILE))] =
      EVERY_COMMAND;
  appliesTo[app.add_option("--capture", options.capture, text(IDS_CLI_HELP_CAPTURE))
                ->option_text(text(IDS_CLI_HELP_FILE))] = INFO | UPDATE;
  appliesTo[app.add_flag("--verbose", options.verbose, text(IDS_CLI_HELP_VERBOSE))] = EVERY_COMMAND;
  appliesTo[app.add_flag("--quiet", options.quiet, text(IDS_CLI_HELP_QUIET))] = UPDATE | REPLAY;
  appliesTo[app.add_flag("--json", options.json, text(IDS_CLI_HELP_JSON))] = EVERY_COMMAND;
  appliesTo[app.add_flag("--yes,-y", options.yes, text(IDS_CLI_HELP_YES))] = UPDATE;
  CLI::Option* demo = app.add_flag("--demo", options.demo, text(IDS_CLI_HELP_DEMO));
#ifdef _WIN32
  demo->group("");  // on Windows the demo is a program of its own
#else
  appliesTo[demo] = LIST | INFO | UPDATE;  // replay needs no unit at all
#endif
  app.fallthrough();  // the commands hand the main program's options to it: they may follow the command
  for (const auto& [name, description] : {std::pair{"list", IDS_CLI_HELP_LIST}, std::pair{"info", IDS_CLI_HELP_INFO},
                                          std::pair{"update", IDS_CLI_HELP_UPDATE}}) {
    app.add_subcommand(name, text(description))->group(text(IDS_CLI_HELP_COMMANDS_GROUP));
  }
  app.add_subcommand("replay", text(IDS_CLI_HELP_REPLAY))
      ->group(text(IDS_CLI_HELP_COMMANDS_GROUP))
      ->add_option("capture", options.replayFile, text(IDS_CLI_HELP_CAPTURE_FILE))
      ->option_text(text(IDS_CLI_HELP_CAPTURE_FILE))
      ->required();
  app.require_subcommand(1, 1);

  std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them last first
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {  // --help, --version
      app.exit(e, out, err);
      parsed.exitStatus = 0;
      return parsed;
    }
    const std::vector<CLI::App*> chosen = app.get_subcommands();
    const std::string command = chosen.empty() ? "" : chosen.front()->get_name();
    WriteUsageError(err, UsageMessage(app, e, args, command, language), command, language);
    parsed.exitStatus = EXIT_USAGE;
    return parsed;
  }
  options.command = app.get_subcommands().front()->get_name();
  if (const std::optional<CliTextId> conflict = Conflict(options)) {
    WriteUsageError(err, text(*conflict), options.command, language);
    parsed.exitStatus = EXIT_USAGE;
  }
  return parsed;
}
