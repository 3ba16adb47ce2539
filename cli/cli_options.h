#pragma once
// The terminal updater's command line: the commands, their options, --help and the usage errors, in the user's
// language. The options may come before or after the command (`helmet-update --json update` and
// `helmet-update update --json` are the same); each command's --help lists the options that apply to it.

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "ui/ui_language.h"

struct Options {
  std::string command;  // "list", "info", "update" or "replay"
  std::vector<std::string> units;
  bool all = false;
  bool watch = false;
  std::string lang;
  std::string trace;
  std::string capture;     // --capture: the pcapng file of the run's USB exchanges
  std::string replayFile;  // replay: the capture played back
  bool json = false;
  bool yes = false;
  bool demo = false;
  bool verbose = false;  // the trace lines on standard error too
  bool quiet = false;    // only errors and the result
};

struct ParsedCommandLine {
  Options options;
  // Set when the program ends at once: 0 after --help or --version, EXIT_USAGE after a usage error (its
  // message written to the error stream already).
  std::optional<int> exitStatus;
};

// `args` without the program name. --help and --version go to `out`, the usage errors to `err`.
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The language of --help and of the usage errors, chosen before the parse: --lang's when the arguments give
// one the program speaks, else the environment's.
UiLanguageId LanguageOfArguments(const std::vector<std::string>& args);
