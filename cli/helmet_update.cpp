#include "cli/helmet_update.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string_view>

#include "app/trace.h"
#include "app/unit_lock.h"
#include "app/unit_text.h"
#include "cli/cli_options.h"
#include "cli/cli_texts.h"
#include "cli/cli_trace_file.h"
#include "cli/json_text.h"
#include "cli/terminal_view.h"
#include "cli/tray_runner.h"
#include "cli/update_runner.h"
#include "cli/utf8.h"
#include "image/firmware_image.h"
#include "platform/libusb/udev_rule.h"
#include "ui/resource_ids.h"
#include "ui/result_message.h"
#include "ui/update_session.h"
#include "usb/capture_exchanges.h"
#include "usb/capture_file.h"
#include "usb/replay_usb.h"
#include "usb/unit_list.h"
#include "usb/usb_capture.h"
#include "usb/usb_fw_loader.h"

namespace {

// Asks on the terminal. Without a terminal the answer is `unattended`; a Ctrl+C meanwhile answers
// `interrupted` (yes to the cancel question that a first Ctrl+C asked, no to the question before the update), and
// so does a request to end the program, whenever it came.
// `moot` (may be null) is asked while no answer has come: true ends the question unanswered (no).
bool Ask(CliIo& io, std::ostream& prompt, bool unattended, bool interrupted, const std::function<bool()>& moot) {
  const UiLanguageId language = GetUiLanguage();
  if (!io.readLine) return unattended;
  prompt << CliString(IDS_CLI_ANSWER_HINT, language) << ' ';
  if (interrupted) prompt << CliString(IDS_CLI_SECOND_CTRL_C, language) << ' ';
  prompt << std::flush;
  const int pressed = io.interrupts != nullptr ? io.interrupts->load() : 0;
  for (;;) {
    if ((io.interrupts != nullptr && io.interrupts->load() != pressed) || TerminationRequested(io.terminations)) {
      prompt << '\n';
      return interrupted;
    }
    if (moot && moot()) {
      prompt << '\n';
      return false;
    }
    const std::optional<std::string> line = io.readLine();
    if (!line) continue;
    const char first = line->empty() ? '\0' : static_cast<char>(std::tolower(static_cast<unsigned char>((*line)[0])));
    return first == 'y' || first == CliString(IDS_CLI_YES_LETTER, language)[0];
  }
}

// The words of a failed query, as the window program shows them.
std::uint16_t QueryFailureText(ResultCode code) {
  ResultMessage message{IDS_FIRMWARE_DATA_INVALID, 0, 0};
  ResultMessageFor(code, &message);
  return message.text;
}

std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

// The unit's mode as the device query's first two requests find it (PING, GET_MODE; nothing else is sent, no
// reset); 0 when the unit cannot be opened.
std::int32_t UnitModeAt(const PlatformContext& context, const UnitEntry& unit) {
  UsbFwLoader loader(context.DeviceLink());
  if (unit.location.empty()) return 0;  // it could not be told apart from another unit
  loader.PinUnit(unit.location);
  loader.interfaceGuid = TAVIK_INTERFACE_GUID;
  if (!loader.OpenUsbConnection()) return 0;
  DeviceInfo info{};
  loader.QueryDeviceMode(&info);
  loader.CloseUsbConnection();
  return info.mode;
}

CliTextId ModeText(std::int32_t mode) {
  return mode == DEVICE_MODE_BOOTLOADER        ? IDS_CLI_MODE_BOOTLOADER
         : mode == DEVICE_MODE_APPLICATION     ? IDS_CLI_MODE_APPLICATION
         : mode == DEVICE_MODE_OLD_APPLICATION ? IDS_CLI_MODE_OLD_APPLICATION
                                               : IDS_CLI_MODE_UNKNOWN;
}

// For scripts: the same words in every language.
const char* ModeWord(std::int32_t mode) {
  return mode == DEVICE_MODE_BOOTLOADER        ? "bootloader"
         : mode == DEVICE_MODE_APPLICATION     ? "application"
         : mode == DEVICE_MODE_OLD_APPLICATION ? "old application"
                                               : "unknown";
}

// With --json standard output carries one object per line and nothing else.
void JsonLine(std::ostream& out, const nlohmann::json& event) { out << JsonText(event) << '\n' << std::flush; }

// The last two lines of every one-unit command with --json: its result code and the exit status.
int JsonEnd(CliIo& io, int code, int status) {
  status = io.Settled(status);
  JsonLine(io.out, {{"event", "result"}, {"code", code}});
  JsonLine(io.out, {{"event", "exit"}, {"status", status}});
  return status;
}

// A unit's mode for scripts: the word, and the number the unit's query gives (0: not known).
void AddMode(nlohmann::json& entry, std::int32_t mode) {
  entry["mode"] = ModeWord(mode);
  entry["modeNumber"] = mode;
}

// A unit for scripts: its path, ids and location; `mode` (null: not asked) as `list` finds it.
nlohmann::json UnitJson(const UnitEntry& unit, const std::int32_t* mode) {
  nlohmann::json entry{{"path", unit.path}, {"ids", UnitIdsText(unit)}, {"location", unit.location}};
  if (mode != nullptr) AddMode(entry, *mode);
  return entry;
}

// "path  vendor:product", as `list` begins each line.
std::string UnitLine(const UnitEntry& unit) {
  const std::string ids = UnitIdsText(unit);
  return UnitText(unit.path) + (ids.empty() ? "" : "  " + ids);
}

// A command that stops before it writes anything, and why: on the error stream in plain words, followed by the
// units present when `units` is given (to choose from); with --json an "error" event (`reason`: the same word
// in every language, `text` in the user's, `units`) and the run's last two events. Returns `status`.
int StopWith(CliIo& io, bool json, const char* reason, const std::string& text, int code, int status,
             const std::vector<UnitEntry>* units = nullptr, nlohmann::json details = nlohmann::json::object()) {
  if (json) {
    details["event"] = "error";
    details["reason"] = reason;
    details["text"] = text;
    if (units != nullptr) {
      details["units"] = nlohmann::json::array();
      for (const UnitEntry& unit : *units) details["units"].push_back(UnitJson(unit, nullptr));
    }
    JsonLine(io.out, details);
    return JsonEnd(io, code, status);
  }
  io.err << text << '\n';
  if (units != nullptr) {
    for (const UnitEntry& unit : *units) io.err << UnitLine(unit) << '\n';
  }
  io.err.flush();
  return status;
}

// The units, one line each: path, vendor:product ids and the mode each one answers (a unit that cannot be
// opened: unknown).
int ListCommand(const PlatformContext& context, CliIo& io, bool json) {
  const std::vector<UnitEntry> found = ListUnits(*context.usb);
  nlohmann::json units = nlohmann::json::array();
  for (const UnitEntry& unit : found) {
    const std::int32_t mode = UnitModeAt(context, unit);
    if (json) {
      units.push_back(UnitJson(unit, &mode));
    } else {
      io.out << UnitLine(unit) << "  " << CliString(ModeText(mode), GetUiLanguage()) << '\n';
    }
  }
  if (json) JsonLine(io.out, {{"event", "units"}, {"units", units}});
  if (found.empty()) {
    return StopWith(io, json, "no-unit", CliString(IDS_CLI_NO_UNIT, GetUiLanguage()), FWL_ERR_NOT_FOUND,
                    FWL_ERR_NOT_FOUND);
  }
  return json ? JsonEnd(io, FWL_OK, 0) : 0;
}

// "label: version  (hardware low-high)", without its line end.
std::string ImageLine(CliTextId label, const FirmwareImageInfo& image) {
  const UiLanguageId language = GetUiLanguage();
  return std::string(CliString(label, language)) + Colon(language) + image.version + "  (" +
         CliString(IDS_CLI_HARDWARE_RANGE, language) + ' ' + std::to_string(image.hardwareLow) + '-' +
         std::to_string(image.hardwareHigh) + ")";
}

void PrintImage(std::ostream& out, CliTextId label, const FirmwareImageInfo& image) {
  out << ImageLine(label, image) << '\n';
}

// Shows nothing: `info` runs an update session's checks only and reads their outcome from the session.
class ChecksOnlyView final : public UpdateView {
 public:
  void StageEntered(UpdateStage, UpdateStep) override {}
  void StepStarted(const StepStart&) override {}
  void ProgressMoved(const UpdateProgress&) override {}
  void PauseStarted(UpdateStep, std::uint32_t) override {}
  bool Ask(UpdateQuestion) override { return false; }
  void StepNotStarted(ResultCode) override {}
  void Ended(const UpdateEnd&) override {}
};

// What `info` finds of a unit, by the update's own checks.
struct UnitVerdict {
  ResultCode query = FWL_OK;    // the unit was read whole; else why not (no unit, busy, no answer)
  ResultCode refusal = FWL_OK;  // an update would start; else the code it would end with
  DeviceInfo device{};          // as far as it was read: the mode also when the rest did not answer
};

// An update session that is prepared and never started: it picks, locks and reads the unit and runs the
// update's checks (a downgrade, another hardware); nothing is written. Then the first step's probe, which
// takes a unit in its bootloader only.
UnitVerdict CheckAsTheUpdate(UsbFwLoader& loader, const PlatformContext& context, const FirmwareImageInfo& application,
                             const std::string& unit) {
  ChecksOnlyView quiet;
  UpdateSession session(loader, application, quiet, SessionOptions{unit, nullptr, context.unitLocks});
  UnitVerdict verdict;
  const bool passed = session.Prepare();
  verdict.device = session.Device();
  verdict.refusal = passed ? FWL_OK : session.End().result;
  // These two refusals come once the unit was read whole; any other end is the query's own.
  if (!passed && verdict.refusal != FWL_ERR_NEWER_FIRMWARE && verdict.refusal != FWL_ERR_WRONG_DEVICE) {
    verdict.query = verdict.refusal;
  }
  if (passed && verdict.device.mode != DEVICE_MODE_BOOTLOADER) verdict.refusal = FWL_ERR_APP_MODE;
  return verdict;
}

// The unit's mode, versions, flags and hardware id, the program's images, and whether an update would start
// (and if not, why). A unit that could not be read is an error (its status); its mode is told when the query
// got that far, as `list` tells it.
int InfoCommand(UsbFwLoader& loader, const PlatformContext& context, const std::string& unit, CliIo& io, bool json) {
  ResourceLoader& resources = *context.resources;
  FirmwareImageInfo application{};
  FirmwareImageInfo bootloader{};
  ScanFirmwareImage(IDR_APPLICATION_IMAGE, application, resources);
  ScanFirmwareImage(IDR_BOOTLOADER_IMAGE, bootloader, resources);
  const UnitVerdict verdict = CheckAsTheUpdate(loader, context, application, unit);
  const DeviceInfo& info = verdict.device;
  const ResultCode read = verdict.query;
  const bool modeKnown = read == FWL_OK || info.mode != 0;
  const std::string refusal = verdict.refusal == FWL_OK ? "" : OneLine(UiText(QueryFailureText(verdict.refusal)));
  const UiLanguageId language = GetUiLanguage();
  if (json) {
    nlohmann::json event{{"event", "info"},
                         {"result", read},
                         {"images",
                          {{"application", application.version},
                           {"bootloader", bootloader.version},
                           {"hardware", {application.hardwareLow, application.hardwareHigh}}}}};
    if (read == FWL_OK) {
      event["unit"] = {{"application", UnitText(info.appVersion)},
                       {"bootloader", UnitText(info.bootVersion)},
                       {"flags", {info.appFlag, info.boot1Flag, info.boot2Flag}},
                       {"hardware", info.hardwareId}};
    } else {
      event["message"] = UiText(QueryFailureText(read));
      if (modeKnown) event["unit"] = nlohmann::json::object();
    }
    if (modeKnown) AddMode(event["unit"], info.mode);
    event["update"] = {{"possible", verdict.refusal == FWL_OK}, {"code", verdict.refusal}};
    if (verdict.refusal != FWL_OK) event["update"]["text"] = refusal;
    JsonLine(io.out, event);
    return JsonEnd(io, read, read);
  }
  if (modeKnown) {
    io.out << CliString(IDS_CLI_MODE, language) << Colon(language) << CliString(ModeText(info.mode), language) << '\n';
  }
  if (read == FWL_OK) {
    io.out << CliString(IDS_CLI_APPLICATION_VERSION, language) << Colon(language) << UnitText(info.appVersion) << '\n'
           << CliString(IDS_CLI_BOOTLOADER_VERSION, language) << Colon(language) << UnitText(info.bootVersion) << '\n'
           << CliString(IDS_CLI_FLAGS, language) << Colon(language) << info.appFlag << ' ' << info.boot1Flag << ' '
           << info.boot2Flag << '\n'
           << CliString(IDS_CLI_HARDWARE_ID, language) << Colon(language) << info.hardwareId << '\n';
  }
  PrintImage(io.out, IDS_CLI_IMAGE_APPLICATION, application);
  PrintImage(io.out, IDS_CLI_IMAGE_BOOTLOADER, bootloader);
  if (read != FWL_OK) {
    io.out.flush();
    io.err << OneLine(UiText(QueryFailureText(read))) << std::endl;
    return read;
  }
  io.out << CliString(IDS_CLI_UPDATE_VERDICT, language) << Colon(language)
         << (verdict.refusal == FWL_OK ? CliString(IDS_CLI_UPDATE_POSSIBLE, language)
                                       : std::string(CliString(IDS_CLI_UPDATE_REFUSED, language)) + " - " + refusal)
         << '\n';
  return read;
}

// The program's own images pass their checks before any unit is touched.
bool ImagesIntact(const PlatformContext& context) { return ValidateFirmwareImages(*context.resources) != 0; }

// Otherwise nothing is touched, and the window program's words say why.
int ImagesCorrupted(CliIo& io, bool json) {
  return StopWith(io, json, "images-corrupted", OneLine(UiText(IDS_IMAGE_CORRUPTED)), FWL_ERR_FAILED, FWL_ERR_FAILED);
}

// Without a terminal and without --yes nothing is asked: nothing is written, not even a unit read.
int NoTerminal(CliIo& io, bool json) {
  return StopWith(io, json, "no-terminal", CliString(IDS_CLI_NO_TERMINAL, GetUiLanguage()), FWL_ABORTED, FWL_ABORTED);
}

// The width the question is broken to: 80 columns, or the terminal's when it is narrower.
std::size_t QuestionColumns(const CliIo& io) {
  const std::size_t columns = io.columns ? io.columns() : 0;
  return columns == 0 || columns > 80 ? 80 : std::max<std::size_t>(columns, 20);
}

// `text` broken at blanks into lines of at most `width` columns, its last line leaving room for `tail` (what
// follows it there: the answer hint and a blank); the result is followed by `tail`. A blank before a French
// "?" or ":" does not break.
std::string Wrapped(const std::string& text, const std::string& tail, std::size_t width) {
  std::vector<std::string> words;
  for (std::size_t at = 0; at <= text.size();) {
    const std::size_t end = std::min(text.find(' ', at), text.size());
    const std::string word = text.substr(at, end - at);
    at = end + 1;
    if (word.empty()) continue;
    const bool mark = word.size() == 1 && std::string_view("?:!;").find(word[0]) != std::string_view::npos;
    if (mark && !words.empty()) {
      words.back() += ' ' + word;
    } else {
      words.push_back(word);
    }
  }
  if (!tail.empty()) words.push_back(tail);
  std::string out;
  std::string line;
  for (const std::string& word : words) {
    if (!line.empty() && Utf8Columns(line) + 1 + Utf8Columns(word) > width) {
      out += line + '\n';
      line = word;
    } else {
      line += (line.empty() ? "" : " ") + word;
    }
  }
  out += line;
  out.resize(out.size() - tail.size());  // the tail is the asker's to write
  return out;
}

// The question before an update: the units that passed their checks (under `heading`), each with its versions on
// a line of its own, the program's below them, then the question broken to fit. One unit's versions take at
// most 80 columns in every language. Without units (--watch, before any came) the question alone.
bool AskStart(CliIo& io, std::ostream& prompt, CliTextId heading, const std::vector<TrayCandidate>& units,
              const FirmwareImageInfo& application, const FirmwareImageInfo& bootloader) {
  const UiLanguageId language = GetUiLanguage();
  const std::size_t width = QuestionColumns(io);
  if (!units.empty()) {
    prompt << CliString(heading, language) << '\n';
    for (const TrayCandidate& unit : units) {
      const std::string port = UnitText(unit.unit);
      const std::string application = UnitText(unit.device.appVersion);
      const std::string boot = UnitText(unit.device.bootVersion);
      const std::string versions = std::string(CliString(IDS_CLI_APPLICATION_VERSION, language)) + ' ' + application +
                                   "  " + CliString(IDS_CLI_BOOTLOADER_VERSION, language) + ' ' + boot;
      const std::string row = "  " + port + "  " + versions;
      // On a narrow terminal each version goes on a line of its own rather than break where the terminal cuts.
      if (Utf8Columns(row) <= width) {
        prompt << row << '\n';
      } else {
        prompt << "  " << port << "\n    " << CliString(IDS_CLI_APPLICATION_VERSION, language) << ' ' << application
               << "\n    " << CliString(IDS_CLI_BOOTLOADER_VERSION, language) << ' ' << boot << '\n';
      }
    }
    for (const std::string& line :
         {ImageLine(IDS_CLI_IMAGE_APPLICATION, application), ImageLine(IDS_CLI_IMAGE_BOOTLOADER, bootloader)}) {
      prompt << (Utf8Columns(line) <= width ? line : Wrapped(line, "", width)) << '\n';
    }
  }
  const std::string hint = std::string(CliString(IDS_CLI_ANSWER_HINT, language)) + ' ';
  prompt << Wrapped(CliString(IDS_CLI_CONFIRM_START, language), hint, width);
  return Ask(io, prompt, false, false, nullptr);
}

int UpdateCommand(UsbFwLoader& loader, const PlatformContext& context, PostedMessageQueue& queue, CliIo& io,
                  const Options& options, const std::string& unit) {
  std::ostream& prompt = options.json ? io.err : io.out;
  if (!ImagesIntact(context)) return ImagesCorrupted(io, options.json);
  FirmwareImageInfo application{};
  FirmwareImageInfo bootloader{};
  ScanFirmwareImage(IDR_APPLICATION_IMAGE, application, *context.resources);
  ScanFirmwareImage(IDR_BOOTLOADER_IMAGE, bootloader, *context.resources);
  if (!options.yes && !io.readLine) return NoTerminal(io, options.json);
  const OutputStyle style = options.json    ? OutputStyle::Json
                            : options.quiet ? OutputStyle::Quiet
                            : io.terminal   ? OutputStyle::LiveLine
                                            : OutputStyle::PlainLines;
  UpdateSession* running = nullptr;
  // The question comes once the unit has passed the checks that would refuse it, naming it and its versions.
  std::function<bool()> askStart;
  if (!options.yes) {
    askStart = [&] {
      const std::vector<TrayCandidate> unit{TrayCandidate{running->UnitLocation(), running->Device()}};
      return AskStart(io, prompt, IDS_CLI_UNIT_QUESTION, unit, application, bootloader);
    };
  }
  // The cancel question is asked on a terminal; without one, Ctrl+C means stop. The update goes on meanwhile,
  // and one that ends before the answer makes the question moot.
  const auto askCancel = [&] {
    return Ask(io, prompt, true, true, [&] { return running != nullptr && AdvanceSession(*running, queue); });
  };
  TerminalView view(io.out, io.err, style, *context.clock, askStart, askCancel, io.columns);
  UpdateSession session(loader, application, view, SessionOptions{unit, context.keepAwake, context.unitLocks});
  running = &session;
  const int status = io.Settled(
      RunUpdate(session, view, queue, *context.clock, RunnerHooks{io.interrupts, io.afterEvent, io.terminations}));
  view.Finish(status);
  return status;
}

// For scripts: how a unit's update ended, the same word in every language.
const char* OutcomeWord(const TrayResult& result) {
  switch (OutcomeText(result.ending, result.result)) {
    case IDS_CLI_OUTCOME_DONE:
      return "done";
    case IDS_CLI_OUTCOME_FAILED:
      return "failed";
    case IDS_CLI_OUTCOME_REFUSED:
      return "refused";
    case IDS_CLI_OUTCOME_CANCELLED:
      return "cancelled";
    default:
      return "running";
  }
}

// Several units at once: --all, --watch, or --unit more than once.
int TrayCommand(const PlatformContext& context, PostedMessageQueue& queue, CliIo& io, const Options& options,
                const std::vector<UnitEntry>& units) {
  const UiLanguageId language = GetUiLanguage();
  std::ostream& prompt = options.json ? io.err : io.out;
  if (!ImagesIntact(context)) return ImagesCorrupted(io, options.json);
  FirmwareImageInfo application{};
  FirmwareImageInfo bootloader{};
  ScanFirmwareImage(IDR_APPLICATION_IMAGE, application, *context.resources);
  ScanFirmwareImage(IDR_BOOTLOADER_IMAGE, bootloader, *context.resources);
  if (!options.watch && units.empty()) {
    return StopWith(io, options.json, "no-unit", CliString(IDS_CLI_NO_UNIT, language), FWL_ERR_NOT_FOUND,
                    FWL_ERR_NOT_FOUND);
  }
  if (!options.yes && !io.readLine) return NoTerminal(io, options.json);
  TrayOptions tray;
  tray.style = options.json                    ? OutputStyle::Json
               : options.quiet                 ? OutputStyle::Quiet
               : io.terminal && io.cursorMoves ? OutputStyle::LiveLine
                                               : OutputStyle::PlainLines;
  TrayBoard board(io.out, tray.style, io.columns);
  if (!options.yes) {
    tray.askStart = [&](const std::vector<TrayCandidate>& candidates) {
      return AskStart(io, prompt, IDS_CLI_TRAY_QUESTION, candidates, application, bootloader);
    };
  }
  tray.askCancel = [&](const std::function<bool()>& moot) {
    const std::string caption = UiText(IDS_CAPTION_INFORMATION);
    const std::string text = OneLine(UiText(IDS_CONFIRM_ABORT));
    if (options.json) {
      io.out << JsonText({{"event", "message"},
                          {"id", IDS_CONFIRM_ABORT},
                          {"caption", caption},
                          {"text", text},
                          {"question", true}})
             << '\n';
    } else {
      prompt << caption << Colon(GetUiLanguage()) << text << '\n';
    }
    return Ask(io, prompt, true, true, moot);
  };
  tray.interrupts = io.interrupts;
  tray.afterEvent = io.afterEvent;
  tray.terminations = io.terminations;

  UpdateTray updates(context, queue, application, board, std::move(tray));
  if (options.watch) {
    updates.Watch();
  } else {
    updates.Run(units);
  }
  board.Close();
  const std::vector<TrayResult> results = updates.Results();
  int counts[4] = {};
  for (const TrayResult& result : results) {
    const std::string word = OutcomeWord(result);
    counts[word == "done" ? 0 : word == "failed" ? 1 : word == "refused" ? 2 : 3] += 1;
  }
  // Every unit done: 0; every unit cancelled (the question answered no, or Ctrl+C): as for one unit.
  const int total = static_cast<int>(results.size());
  const int status = io.Settled(results.empty()      ? (options.watch ? 0 : FWL_ERR_NOT_FOUND)
                                : counts[0] == total ? 0
                                : counts[3] == total ? FWL_ABORTED
                                                     : EXIT_SOME_UNITS);
  if (options.json) {
    for (const TrayResult& result : results) {
      io.out << JsonText({{"event", "result"},
                          {"unit", result.unit},
                          {"code", result.result},
                          {"outcome", OutcomeWord(result)}})
             << '\n';
    }
    io.out << JsonText({{"event", "summary"},
                        {"done", counts[0]},
                        {"failed", counts[1]},
                        {"refused", counts[2]},
                        {"cancelled", counts[3]}})
           << '\n'
           << JsonText({{"event", "exit"}, {"status", status}}) << std::endl;
    return status;
  }
  if (results.empty() && !options.watch) io.err << CliString(IDS_CLI_TRAY_NONE, language) << std::endl;
  // Quiet: the units' result lines are the result; the status is the program's own.
  for (const TrayResult& result : results) io.out << TrayResultLine(result) << '\n';
  if (!options.quiet) io.out << CliString(IDS_CLI_EXIT_STATUS, language) << Colon(language) << status << '\n';
  io.out.flush();
  return status;
}

// The command that the options name; the trace is set up already.
int RunCommand(const Options& options, const PlatformContext& context, PostedMessageQueue* queue, CliIo& io,
               UsbCapture* capture) {
  const std::string& command = options.command;
  if (command == "list") {
    const int listed = ListCommand(context, io, options.json);
    if (io.permissionDenied && io.permissionDenied()) io.err << UDEV_PERMISSION_HINT << '\n';
    return listed;
  }

  // The options that do not go together were refused by the parse.
  const bool tray = options.all || options.watch || options.units.size() > 1;

  // A unit is chosen when several are connected; the update pins it by its location.
  const std::vector<UnitEntry> units = ListUnits(*context.usb);
  std::vector<UnitEntry> named;
  for (const std::string& wanted : options.units) {
    const UnitEntry* unit = FindUnit(units, wanted);
    if (unit == nullptr) {
      return StopWith(io, options.json, "unit-not-present",
                      std::string(CliString(IDS_CLI_UNIT_NOT_PRESENT, GetUiLanguage())) + ' ' + wanted,
                      FWL_ERR_NOT_FOUND, FWL_ERR_NOT_FOUND, &units, {{"unit", wanted}});
    }
    named.push_back(*unit);
  }
  if (tray) {
    const int status = TrayCommand(context, *queue, io, options, options.all ? units : named);
    if (status != 0 && io.permissionDenied && io.permissionDenied()) io.err << UDEV_PERMISSION_HINT << '\n';
    return status;
  }
  const UnitEntry* chosen = nullptr;
  if (!named.empty()) {
    chosen = &named.front();
  } else if (units.size() > 1) {
    return StopWith(io, options.json, "several-units", CliString(IDS_CLI_SEVERAL_UNITS, GetUiLanguage()), EXIT_USAGE,
                    EXIT_USAGE, &units);
  } else if (units.size() == 1) {
    chosen = &units.front();
  }
  const std::string pinned = chosen == nullptr ? "" : chosen->location.empty() ? chosen->path : chosen->location;
  DeviceLinkContext link = context.DeviceLink();
  link.capture = capture;
  UsbFwLoader loader(link);

  int status = command == "info" ? InfoCommand(loader, context, pinned, io, options.json)
                                 : UpdateCommand(loader, context, *queue, io, options, pinned);
  if (status == FWL_ERR_NOT_FOUND && io.permissionDenied && io.permissionDenied()) {
    io.err << UDEV_PERMISSION_HINT << '\n';
  }
  return status;
}

// The command, and whatever escapes it (a failed allocation, a library's exception): a message on the error
// stream and in the trace, with --json an "error" event (reason "unexpected") and the run's last two events, and
// status 11, never an abort. By then the command's loader is gone: it stopped its worker, which reset the unit.
int RunGuarded(const Options& options, const PlatformContext& context, PostedMessageQueue* queue, CliIo& io,
               UsbCapture* capture) {
  std::string what;
  try {
    return RunCommand(options, context, queue, io, capture);
  } catch (const std::exception& error) {
    what = error.what();
  } catch (...) {
    what = "an exception of an unknown type";
  }
  const std::string text = "helmet-update: stopped by an unexpected error: " + UnitText(what);
  Trace("%s", text.c_str());
  io.out.flush();
  io.err << text << std::endl;
  return options.json ? StopWith(io, true, "unexpected", text, FWL_ERR_FAILED, FWL_ERR_FAILED)
                      : io.Settled(FWL_ERR_FAILED);
}

// The capture of a command: its section names the program, the command and, for `info`, that no update ran.
CaptureSetup CommandCaptureSetup(const std::string& command) {
  CaptureSetup setup;
  setup.application = std::string("helmet-update ") + HELMET_UPDATE_VERSION;
  setup.comments.push_back(std::string("program: helmet-update ") + HELMET_UPDATE_VERSION + ", command: " + command);
  if (command == "info") setup.plan = "no update: info";
  return setup;
}

// Plays a capture's answers back to this program's update (or `info`, for a capture of `info`), on a clock that
// moves with the capture: no unit, no pause waited out. Then where the requests first differed and the result.
// A file that cannot be read or is not a capture is a usage error (2), named with where it goes wrong.
int ReplayCommand(const Options& options, const PlatformContext& context, PostedMessageQueue& queue, CliIo& io) {
  const auto stop = [&](const std::string& text) {
    const std::string line = "helmet-update: " + options.replayFile + ": " + text;
    if (options.json) return StopWith(io, true, "usage", line, EXIT_USAGE, EXIT_USAGE);
    io.err << line << std::endl;
    return EXIT_USAGE;
  };
  std::ifstream file(options.replayFile, std::ios::binary);
  if (!file) return stop("cannot be read");
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  CaptureContents contents;
  const CaptureReadResult read = ReadCapture(bytes.data(), bytes.size(), &contents);
  if (read.error != CaptureReadError::None) return stop(read.text + " (at byte " + std::to_string(read.offset) + ")");
  std::string problem;
  std::vector<CaptureEvent> events = CaptureEvents(contents, &problem);
  if (!problem.empty()) return stop(problem);
  if (events.empty() || !events.front().open) return stop("the capture does not begin with the unit's descriptor");
  const bool info =
      std::find(contents.comments.begin(), contents.comments.end(), "no update: info") != contents.comments.end();

  VirtualClock clock;
  ReplayUsb usb(std::move(events), clock);
  PlatformContext replay = context;
  replay.usb = &usb;
  replay.clock = &clock;
  replay.keepAwake = nullptr;
  replay.unitLocks = nullptr;  // the captured unit is no unit of this machine
  replay.capture = nullptr;
  Options update = options;
  update.yes = true;
  UsbFwLoader loader(replay.DeviceLink());
  const std::vector<UnitEntry> units = ListUnits(usb);
  const std::string pinned = units.empty() ? "" : units.front().location;
  const int status = info ? InfoCommand(loader, replay, pinned, io, options.json)
                          : UpdateCommand(loader, replay, queue, io, update, pinned);
  // Where the program's requests first left the capture: on the error stream, so that --json stays JSON.
  std::ostream& report = options.json ? io.err : io.out;
  if (const std::optional<RequestDifference> d = usb.FirstDifference()) {
    report << "Replay: the requests differ first at exchange " << d->exchange << ": " << d->field << " captured "
           << d->captured << ", now " << d->now << '\n';
  } else {
    report << "Replay: every request as captured\n";
  }
  report << "Replay: " << usb.ExchangesPlayed() << " of " << usb.ExchangesCaptured()
         << " captured exchanges played; result " << status << std::endl;
  return status;
}

}  // namespace

int JsonUsageError(CliIo& io, const std::string& text) {
  return StopWith(io, true, "usage", text, EXIT_USAGE, EXIT_USAGE);
}

int RunHelmetUpdate(const std::vector<std::string>& args, const PlatformContext& context, CliIo& io) {
  // With --json a usage error is an event too (the words also on the error stream, as without it).
  const bool json = std::find(args.begin(), args.end(), "--json") != args.end();
  std::ostringstream usage;
  const ParsedCommandLine parsed = ParseCommandLine(args, io.out, json ? usage : io.err);
  if (json && !usage.str().empty()) {
    io.err << usage.str() << std::flush;
    std::string text = usage.str();
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return JsonUsageError(io, text);
  }
  if (parsed.exitStatus) return *parsed.exitStatus;
  const Options& options = parsed.options;
  SetUiLanguage(options.lang.empty() ? LanguageFromEnvironment() : LanguageFromCode(options.lang));

  auto* queue = dynamic_cast<PostedMessageQueue*>(context.poster);
  if (queue == nullptr || context.usb == nullptr || context.clock == nullptr || context.resources == nullptr) {
    io.err << "helmet-update: the platform is incomplete\n";
    return FWL_ERR_FAILED;
  }
  SystemTraceClock traceClock;
  CliTrace trace(traceClock, options.verbose ? &io.err : nullptr);
  if (!options.trace.empty()) {
    std::string reason;
    if (!trace.OpenFile(options.trace, args, PlatformDescription(), &reason)) {
      const std::string text =
          "helmet-update: " + CliString(IDS_CLI_CANNOT_WRITE, GetUiLanguage(), options.trace) + ": " + reason;
      io.err << text << '\n';
      return options.json ? JsonUsageError(io, text) : EXIT_USAGE;
    }
  }
  // A trace file that could not be written is told once, and a run that did all it should ends with 11 for it.
  bool told = false;
  io.settle = [&](int status) {
    if (trace.FirstFailure().empty()) return status;
    if (told) return status == 0 ? FWL_ERR_FAILED : status;
    told = true;
    return trace.Finish(status, io.err);
  };
  FileCaptureOutput captureFile;
  std::unique_ptr<UsbCapture> capture;
  if (!options.capture.empty()) {
    std::string reason;
    if (!captureFile.Open(options.capture, &reason)) {
      const std::string text =
          "helmet-update: " + CliString(IDS_CLI_CANNOT_WRITE, GetUiLanguage(), options.capture) + ": " + reason;
      io.err << text << '\n';
      return options.json ? JsonUsageError(io, text) : EXIT_USAGE;
    }
    capture = std::make_unique<UsbCapture>(captureFile, CommandCaptureSetup(options.command));
  }
  int status = 0;
  {
    TraceStarted started(options.verbose || !options.trace.empty() ? &trace : nullptr);
    status = options.command == "replay" ? ReplayCommand(options, context, *queue, io)
                                         : RunGuarded(options, context, queue, io, capture.get());
  }
  if (capture) {
    capture->Finish();
    // A capture that could not be written whole is told; a run that did all it should ends with 11 for it.
    if (capture->Failed() || !captureFile.Close()) {
      io.err << "helmet-update: " << CliString(IDS_CLI_CANNOT_WRITE, GetUiLanguage(), options.capture) << ": "
             << CliString(IDS_CLI_CAPTURE_INCOMPLETE, GetUiLanguage()) << std::endl;
      if (status == 0) status = FWL_ERR_FAILED;
    }
  }
  status = io.Settled(status);  // late lines too (the loaders' last ones)
  io.settle = nullptr;
  return status;
}
