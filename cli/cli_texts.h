#pragma once
// The texts that only the terminal updater shows, in the five interface languages, and the choice of the
// language. The texts that the window program shows too come from the string table (LoadUiString).

#include <string>

#include "ui/ui_language.h"
#include "ui/update_view.h"

enum class CliText {
  ConfirmStart,     // the question before anything is written
  YesLetter,        // the first letter of "yes" in the language ("y" is always taken too)
  AnswerHint,       // "[y/N]"
  SecondCtrlC,      // how a second Ctrl+C answers
  NoUnit,           // `list` found nothing
  SeveralUnits,     // several units and no --unit
  UnitNotPresent,   // --unit names no present unit
  Mode,             // info labels
  ModeBootloader,
  ModeApplication,
  ModeOldApplication,
  ModeUnknown,
  ApplicationVersion,
  BootloaderVersion,
  Flags,
  HardwareId,
  ImageApplication,
  ImageBootloader,
  HardwareRange,
  NextStepIn,       // followed by the seconds
  Left,             // estimated time left
  ExitStatus,       // the last plain line, followed by the status
  OutcomeDone,      // a unit's outcome in a tray: its row, the summary and the result lines
  OutcomeFailed,
  OutcomeRefused,
  OutcomeCancelled,
  OutcomeRunning,
  TrayQuestion,     // before the list of the units that a tray update writes
  TrayNone,         // --all and no unit passed the checks: nothing is written
  Waiting,          // --watch: waiting for units
  WatchEnds,        // --watch: Ctrl+C stopped the waiting; running updates finish
  UnitArrived,      // --watch: a unit came; followed by its port
  UnitQuestion,     // before the unit that a one-unit update writes
  NoTerminal,       // no terminal to ask on and no --yes: nothing is written
  UpdateVerdict,    // info: the label of whether an update would run
  UpdatePossible,   // info: an update would run
  UpdateRefused,    // info: an update would be refused; followed by the reason
  UnitNow,                 // after a failure or a cancel: the label of what the unit holds now
  UnitUntouched,           // what it holds, by UnitState
  UnitFirstCopyUnfinished,
  UnitOneCopyWritten,
  UnitBothCopiesWritten,
  UnitUpdated,
  RunAgain,                // what to do when something was written
  Count
};

// The word for how a unit's update ended (0 while it runs).
CliText OutcomeText(UpdateEnding ending, int result);

// The text in `language` (English for a language the program does not speak), UTF-8.
const char* CliString(CliText text, UiLanguageId language);

// The column of a language in the terminal's text tables: English, German, French, Italian, Spanish (English
// for a language the program does not speak).
int CliLanguageIndex(UiLanguageId language);

// What follows a label before its value: ": ", in French " : " (a space before the colon).
const char* Colon(UiLanguageId language);

// "de", "fr", "it", "es", "en" (a locale such as "de_CH.UTF-8" counts by its first two letters); 0 when none.
UiLanguageId LanguageFromCode(const std::string& code);
// From LC_ALL, LC_MESSAGES, then LANG, as the C library orders them; when none is set, on Windows the user's
// display language; English when none names a language the program speaks.
UiLanguageId LanguageFromEnvironment();

// String `id` of the string table in the current interface language as UTF-8; empty when missing.
std::string UiText(unsigned id);
