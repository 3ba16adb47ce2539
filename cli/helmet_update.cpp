#include "cli/helmet_update.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cctype>
#include <cstdio>
#include <memory>

#include "app/trace.h"
#include "app/unit_lock.h"
#include "cli/cli_texts.h"
#include "cli/terminal_view.h"
#include "cli/tray_runner.h"
#include "cli/update_runner.h"
#include "image/firmware_image.h"
#include "platform/libusb/udev_rule.h"
#include "ui/resource_ids.h"
#include "ui/result_message.h"
#include "ui/update_session.h"
#include "usb/unit_list.h"
#include "usb/usb_fw_loader.h"

namespace {

constexpr const char EXIT_TABLE[] =
    "Exit status:\n"
    "   0  done (the update completed)\n"
    "   2  usage error; several units and no --unit or --all (nothing written)\n"
    "   3  no unit found, or it could not be opened\n"
    "   5  the unit's read-back differs\n"
    "   7  the unit runs its application (switch it off and try again)\n"
    "   9  an update is already running\n"
    "  10  cancelled (Ctrl+C answered yes, or the question before the update answered no)\n"
    "  11  failed\n"
    "  12  the unit has newer firmware (no downgrade)\n"
    "  13  the firmware is not for this unit's hardware\n"
    "  14  several units (--all, --watch, --unit more than once): some did not complete; each unit's result line\n"
    "      (JSON: its \"result\" event) gives its own status\n";

// Writes the trace lines to a file while alive.
class FileTraceSink final : public TraceSink {
 public:
  explicit FileTraceSink(const std::string& path) : file_(std::fopen(path.c_str(), "wb")) {}
  ~FileTraceSink() override {
    if (file_ != nullptr) std::fclose(file_);
  }
  FileTraceSink(const FileTraceSink&) = delete;
  FileTraceSink& operator=(const FileTraceSink&) = delete;
  bool IsOpen() const { return file_ != nullptr; }
  void Write(const char* line) override {
    std::fputs(line, file_);
    std::fflush(file_);  // a trace that survives a crash or a pulled plug
  }

 private:
  std::FILE* file_;
};

// The trace goes to the sink while alive, nowhere afterwards.
struct TraceStarted {
  explicit TraceStarted(TraceSink* sink) { StartTrace(sink); }
  ~TraceStarted() { StartTrace(nullptr); }
};

struct Options {
  std::vector<std::string> units;
  bool all = false;
  bool watch = false;
  std::string lang;
  std::string trace;
  bool json = false;
  bool yes = false;
  bool demo = false;
};

// Asks on the terminal. Without a terminal the answer is `unattended`; a Ctrl+C meanwhile answers
// `interrupted` (yes to the cancel question that a first Ctrl+C asked, no to the question before the update).
// `moot` (may be null) is asked while no answer has come: true ends the question unanswered (no).
bool Ask(CliIo& io, std::ostream& prompt, bool unattended, bool interrupted, const std::function<bool()>& moot) {
  const UiLanguageId language = GetUiLanguage();
  if (!io.readLine) return unattended;
  prompt << CliString(CliText::AnswerHint, language) << ' ';
  if (interrupted) prompt << CliString(CliText::SecondCtrlC, language) << ' ';
  prompt << std::flush;
  const int pressed = io.interrupts != nullptr ? io.interrupts->load() : 0;
  for (;;) {
    if (io.interrupts != nullptr && io.interrupts->load() != pressed) {
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
    return first == 'y' || first == CliString(CliText::YesLetter, language)[0];
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

CliText ModeText(std::int32_t mode) {
  return mode == DEVICE_MODE_BOOTLOADER         ? CliText::ModeBootloader
         : mode == DEVICE_MODE_APPLICATION     ? CliText::ModeApplication
         : mode == DEVICE_MODE_OLD_APPLICATION ? CliText::ModeOldApplication
                                               : CliText::ModeUnknown;
}

// For scripts: the same words in every language.
const char* ModeWord(std::int32_t mode) {
  return mode == DEVICE_MODE_BOOTLOADER         ? "bootloader"
         : mode == DEVICE_MODE_APPLICATION     ? "application"
         : mode == DEVICE_MODE_OLD_APPLICATION ? "old application"
                                               : "unknown";
}

// The units, one line each: path, vendor:product ids and, with `modes`, the mode each one answers (a unit that
// cannot be opened: unknown). Without `modes` nothing is sent to any unit.
int ListCommand(const PlatformContext& context, CliIo& io, bool json, bool modes) {
  const std::vector<UnitEntry> found = ListUnits(*context.usb);
  if (!json && found.empty()) io.out << CliString(CliText::NoUnit, GetUiLanguage()) << '\n';
  nlohmann::json units = nlohmann::json::array();
  for (const UnitEntry& unit : found) {
    const std::string ids = UnitIdsText(unit);
    const std::int32_t mode = modes ? UnitModeAt(context, unit) : 0;
    if (json) {
      nlohmann::json entry{{"path", unit.path}, {"ids", ids}, {"location", unit.location}};
      if (modes) entry["mode"] = ModeWord(mode);
      units.push_back(entry);
    } else {
      io.out << unit.path << (ids.empty() ? "" : "  " + ids)
             << (modes ? std::string("  ") + CliString(ModeText(mode), GetUiLanguage()) : "") << '\n';
    }
  }
  if (json) io.out << nlohmann::json{{"event", "units"}, {"units", units}}.dump() << '\n';
  return found.empty() ? FWL_ERR_NOT_FOUND : 0;
}

void PrintImage(std::ostream& out, CliText label, const FirmwareImageInfo& image) {
  const UiLanguageId language = GetUiLanguage();
  out << CliString(label, language) << Colon(language) << image.version << "  (" << CliString(CliText::HardwareRange, language)
         << ' ' << image.hardwareLow << '-' << image.hardwareHigh << ")\n";
}

// The unit's query runs on the chosen unit only, and not while another process updates it.
ResultCode ReadChosenUnit(UsbFwLoader& loader, const PlatformContext& context, const UnitEntry* unit, DeviceInfo* info) {
  if (unit == nullptr) return FWL_ERR_NOT_FOUND;
  std::unique_ptr<UnitLock> lock;
  const std::string key = unit->location.empty() ? unit->path : unit->location;
  if (context.unitLocks != nullptr && context.unitLocks->TryLock(key, &lock) == UnitLockResult::Busy) return FWL_BUSY;
  if (!unit->location.empty()) loader.PinUnit(unit->location);
  return loader.ReadDeviceInfo(info);
}

int InfoCommand(UsbFwLoader& loader, const PlatformContext& context, const UnitEntry* unit, CliIo& io, bool json) {
  ResourceLoader& resources = *context.resources;
  FirmwareImageInfo application{};
  FirmwareImageInfo bootloader{};
  ScanFirmwareImage(IDR_APPLICATION_IMAGE, application, resources);
  ScanFirmwareImage(IDR_BOOTLOADER_IMAGE, bootloader, resources);
  DeviceInfo info{};
  const ResultCode read = ReadChosenUnit(loader, context, unit, &info);
  const UiLanguageId language = GetUiLanguage();
  if (json) {
    nlohmann::json event{{"event", "info"},
                         {"result", read},
                         {"images",
                          {{"application", application.version},
                           {"bootloader", bootloader.version},
                           {"hardware", {application.hardwareLow, application.hardwareHigh}}}}};
    if (read == FWL_OK) {
      event["unit"] = {{"mode", info.mode},           {"application", info.appVersion},
                       {"bootloader", info.bootVersion}, {"flags", {info.appFlag, info.boot1Flag, info.boot2Flag}},
                       {"hardware", info.hardwareId}};
    } else {
      event["message"] = UiText(QueryFailureText(read));
    }
    io.out << event.dump() << '\n';
    return read;
  }
  if (read != FWL_OK) {
    io.out << OneLine(UiText(QueryFailureText(read))) << '\n';
  } else {
    const CliText mode = ModeText(info.mode);
    io.out << CliString(CliText::Mode, language) << Colon(language) << CliString(mode, language) << '\n'
           << CliString(CliText::ApplicationVersion, language) << Colon(language) << info.appVersion << '\n'
           << CliString(CliText::BootloaderVersion, language) << Colon(language) << info.bootVersion << '\n'
           << CliString(CliText::Flags, language) << Colon(language) << info.appFlag << ' ' << info.boot1Flag << ' '
           << info.boot2Flag << '\n'
           << CliString(CliText::HardwareId, language) << Colon(language) << info.hardwareId << '\n';
  }
  PrintImage(io.out, CliText::ImageApplication, application);
  PrintImage(io.out, CliText::ImageBootloader, bootloader);
  return read;
}

// The program's own images pass their checks before any unit is touched; otherwise the window program's words.
bool ImagesIntact(const PlatformContext& context, CliIo& io) {
  if (ValidateFirmwareImages(*context.resources) != 0) return true;
  io.out << UiText(IDS_IMAGE_CORRUPTED) << '\n';
  return false;
}

int UpdateCommand(UsbFwLoader& loader, const PlatformContext& context, PostedMessageQueue& queue, CliIo& io,
                  const Options& options, const std::string& unit) {
  const UiLanguageId language = GetUiLanguage();
  std::ostream& prompt = options.json ? io.err : io.out;
  if (!ImagesIntact(context, io)) return FWL_ERR_FAILED;
  FirmwareImageInfo application{};
  ScanFirmwareImage(IDR_APPLICATION_IMAGE, application, *context.resources);
  // Without a terminal and without --yes the answer is no: the unit is not even read.
  if (!options.yes && !io.readLine) {
    prompt << CliString(CliText::ConfirmStart, language) << '\n';
    return FWL_ABORTED;
  }
  const OutputStyle style = options.json ? OutputStyle::Json
                            : io.terminal ? OutputStyle::LiveLine
                                          : OutputStyle::PlainLines;
  UpdateSession* running = nullptr;
  // The question comes once the unit has passed the checks that would refuse it.
  std::function<bool()> askStart;
  if (!options.yes) {
    askStart = [&] {
      prompt << CliString(CliText::ConfirmStart, language) << ' ';
      return Ask(io, prompt, false, false, nullptr);
    };
  }
  // The cancel question is asked on a terminal; without one, Ctrl+C means stop. The update goes on meanwhile,
  // and one that ends before the answer makes the question moot.
  TerminalView view(io.out, style, *context.clock, askStart, [&] {
    return Ask(io, prompt, true, true, [&] { return running != nullptr && AdvanceSession(*running, queue); });
  });
  UpdateSession session(loader, application, view,
                        SessionOptions{unit, context.keepAwake, context.unitLocks});
  running = &session;
  const int status = RunUpdate(session, view, queue, *context.clock, RunnerHooks{io.interrupts, io.afterEvent});
  view.Finish(status);
  return status;
}

// For scripts: how a unit's update ended, the same word in every language.
const char* OutcomeWord(const TrayResult& result) {
  switch (OutcomeText(result.ending, result.result)) {
    case CliText::OutcomeDone:
      return "done";
    case CliText::OutcomeFailed:
      return "failed";
    case CliText::OutcomeRefused:
      return "refused";
    case CliText::OutcomeCancelled:
      return "cancelled";
    default:
      return "running";
  }
}

// The question before a tray's update: every unit with its versions and the program's.
bool AskTrayStart(CliIo& io, std::ostream& prompt, const std::vector<TrayCandidate>& units,
                  const FirmwareImageInfo& application, const FirmwareImageInfo& bootloader) {
  const UiLanguageId language = GetUiLanguage();
  if (!units.empty()) {
    // Each unit's versions on a line of its own, the program's once below them: within 80 columns.
    prompt << CliString(CliText::TrayQuestion, language) << '\n';
    for (const TrayCandidate& unit : units) {
      prompt << "  " << unit.unit << "  " << CliString(CliText::ApplicationVersion, language) << ' '
             << unit.device.appVersion << "  " << CliString(CliText::BootloaderVersion, language) << ' '
             << unit.device.bootVersion << '\n';
    }
    PrintImage(prompt, CliText::ImageApplication, application);
    PrintImage(prompt, CliText::ImageBootloader, bootloader);
  }
  prompt << CliString(CliText::ConfirmStart, language) << ' ';
  return Ask(io, prompt, false, false, nullptr);
}

// Several units at once: --all, --watch, or --unit more than once.
int TrayCommand(const PlatformContext& context, PostedMessageQueue& queue, CliIo& io, const Options& options,
                const std::vector<UnitEntry>& units) {
  const UiLanguageId language = GetUiLanguage();
  std::ostream& prompt = options.json ? io.err : io.out;
  if (!ImagesIntact(context, io)) return FWL_ERR_FAILED;
  FirmwareImageInfo application{};
  FirmwareImageInfo bootloader{};
  ScanFirmwareImage(IDR_APPLICATION_IMAGE, application, *context.resources);
  ScanFirmwareImage(IDR_BOOTLOADER_IMAGE, bootloader, *context.resources);
  if (!options.yes && !io.readLine) {
    prompt << CliString(CliText::ConfirmStart, language) << '\n';
    return FWL_ABORTED;
  }
  const bool live = !options.json && io.terminal && io.cursorMoves;
  TrayBoard board(io.out, live, io.columns);
  TrayOptions tray;
  tray.style = options.json ? OutputStyle::Json : live ? OutputStyle::LiveLine : OutputStyle::PlainLines;
  if (!options.yes) {
    tray.askStart = [&](const std::vector<TrayCandidate>& candidates) {
      return AskTrayStart(io, prompt, candidates, application, bootloader);
    };
  }
  tray.askCancel = [&](const std::function<bool()>& moot) {
    const std::string caption = UiText(IDS_CAPTION_INFORMATION);
    const std::string text = OneLine(UiText(IDS_CONFIRM_ABORT));
    if (options.json) {
      io.out << nlohmann::json{{"event", "message"}, {"id", IDS_CONFIRM_ABORT}, {"caption", caption},
                               {"text", text}, {"question", true}}.dump()
             << '\n';
    } else {
      prompt << caption << Colon(GetUiLanguage()) << text << '\n';
    }
    return Ask(io, prompt, true, true, moot);
  };
  tray.interrupts = io.interrupts;
  tray.afterEvent = io.afterEvent;

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
  const int status = results.empty()     ? (options.watch ? 0 : FWL_ERR_NOT_FOUND)
                     : counts[0] == total ? 0
                     : counts[3] == total ? FWL_ABORTED
                                          : EXIT_SOME_UNITS;
  if (options.json) {
    for (const TrayResult& result : results) {
      io.out << nlohmann::json{{"event", "result"}, {"unit", result.unit}, {"code", result.result},
                               {"outcome", OutcomeWord(result)}}.dump()
             << '\n';
    }
    io.out << nlohmann::json{{"event", "summary"}, {"done", counts[0]}, {"failed", counts[1]},
                             {"refused", counts[2]}, {"cancelled", counts[3]}}.dump()
           << '\n'
           << nlohmann::json{{"event", "exit"}, {"status", status}}.dump() << std::endl;
    return status;
  }
  if (results.empty() && !options.watch) io.out << CliString(CliText::TrayNone, language) << '\n';
  for (const TrayResult& result : results) io.out << TrayResultLine(result) << '\n';
  io.out << CliString(CliText::ExitStatus, language) << Colon(language) << status << std::endl;
  return status;
}

#ifdef _WIN32
constexpr const char LANG_OPTION_HELP[] =
    "de, fr, it, es or en (default: from LC_ALL, LC_MESSAGES, LANG, else the Windows display language)";
#else
constexpr const char LANG_OPTION_HELP[] = "de, fr, it, es or en (default: from LC_ALL, LC_MESSAGES, LANG)";
#endif

}  // namespace

int RunHelmetUpdate(const std::vector<std::string>& args, const PlatformContext& context, CliIo& io) {
  CLI::App app{"helmet-update: updates the firmware of the helmet communication unit over USB.", "helmet-update"};
  app.footer(EXIT_TABLE);
  app.allow_windows_style_options(false);  // the same syntax on every system: "/x" is never an option
  app.set_version_flag("--version", std::string("helmet-update ") + HELMET_UPDATE_VERSION);
  Options options;
  app.add_option("--unit", options.units,
                 "the unit's device path or location (see `list`); needed when several are connected; `update` "
                 "takes it more than once to update those units at once")
      ->take_all();
  app.add_flag("--all", options.all, "update: every unit connected, at once");
  app.add_flag("--watch", options.watch,
               "update: wait for units and update each one that is plugged in, until Ctrl+C");
  app.add_option("--lang", options.lang, LANG_OPTION_HELP)
      ->check(CLI::IsMember({"de", "fr", "it", "es", "en"}));
  app.add_option("--trace", options.trace, "write the trace lines to FILE");
  app.add_flag("--json", options.json, "one JSON object per event on standard output");
  app.add_flag("--yes,-y", options.yes, "do not ask before the update starts");
  auto* demo = app.add_flag("--demo", options.demo, "run against the emulated unit (DEMO_* variables) instead of USB");
#ifdef _WIN32
  demo->group("");  // on Windows the demo is a program of its own
#else
  (void)demo;
#endif
  app.fallthrough();  // the subcommands inherit it: the options may follow the command
  app.add_subcommand("list", "list the connected units: device path, vendor:product ids and mode");
  app.add_subcommand("info", "the unit's mode, versions, slot flags and hardware id; the program's firmware");
  app.add_subcommand("update", "update the unit (asks first unless --yes)");
  app.require_subcommand(1, 1);

  std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them last first
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e, io.out, io.err);
    return code == 0 ? 0 : EXIT_USAGE;
  }
  SetUiLanguage(options.lang.empty() ? LanguageFromEnvironment() : LanguageFromCode(options.lang));

  auto* queue = dynamic_cast<PostedMessageQueue*>(context.poster);
  if (queue == nullptr || context.usb == nullptr || context.clock == nullptr || context.resources == nullptr) {
    io.err << "helmet-update: the platform is incomplete\n";
    return FWL_ERR_FAILED;
  }
  std::unique_ptr<FileTraceSink> traceFile;
  if (!options.trace.empty()) {
    traceFile = std::make_unique<FileTraceSink>(options.trace);
    if (!traceFile->IsOpen()) {
      io.err << "helmet-update: cannot write " << options.trace << '\n';
      return EXIT_USAGE;
    }
  }
  TraceStarted trace(traceFile.get());

  const std::string command = app.get_subcommands().front()->get_name();
  if (command == "list") {
    const int listed = ListCommand(context, io, options.json, true);
    if (io.permissionDenied && io.permissionDenied()) io.err << UDEV_PERMISSION_HINT << '\n';
    return listed;
  }

  const bool tray = options.all || options.watch || options.units.size() > 1;
  if (tray && command != "update") {
    io.err << "helmet-update: --all, --watch and more than one --unit are for `update` only\n";
    return EXIT_USAGE;
  }
  if ((options.all || options.watch) && !options.units.empty()) {
    io.err << "helmet-update: --unit names units of its own; it goes with neither --all nor --watch\n";
    return EXIT_USAGE;
  }
  if (options.all && options.watch) {
    io.err << "helmet-update: --all or --watch, not both\n";
    return EXIT_USAGE;
  }

  // A unit is chosen when several are connected; the update pins it by its location.
  const std::vector<UnitEntry> units = ListUnits(*context.usb);
  std::vector<UnitEntry> named;
  for (const std::string& wanted : options.units) {
    const UnitEntry* unit = FindUnit(units, wanted);
    if (unit == nullptr) {
      io.out << CliString(CliText::UnitNotPresent, GetUiLanguage()) << ' ' << wanted << '\n';
      ListCommand(context, io, false, false);
      return FWL_ERR_NOT_FOUND;
    }
    named.push_back(*unit);
  }
  if (tray) {
    if (options.all && units.empty() && !options.json) io.out << CliString(CliText::NoUnit, GetUiLanguage()) << '\n';
    const int status = TrayCommand(context, *queue, io, options, options.all ? units : named);
    if (status != 0 && io.permissionDenied && io.permissionDenied()) io.err << UDEV_PERMISSION_HINT << '\n';
    return status;
  }
  const UnitEntry* chosen = nullptr;
  if (!named.empty()) {
    chosen = &named.front();
  } else if (units.size() > 1) {
    io.out << CliString(CliText::SeveralUnits, GetUiLanguage()) << '\n';
    ListCommand(context, io, false, false);
    return EXIT_USAGE;
  } else if (units.size() == 1) {
    chosen = &units.front();
  }
  const std::string pinned = chosen == nullptr ? "" : chosen->location.empty() ? chosen->path : chosen->location;
  UsbFwLoader loader(context.DeviceLink());

  int status = command == "info" ? InfoCommand(loader, context, chosen, io, options.json)
                                 : UpdateCommand(loader, context, *queue, io, options, pinned);
  if (status == FWL_ERR_NOT_FOUND && io.permissionDenied && io.permissionDenied()) {
    io.err << UDEV_PERMISSION_HINT << '\n';
  }
  return status;
}
