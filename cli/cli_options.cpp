#include "cli/cli_options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <map>
#include <memory>
#include <sstream>

#include "cli/cli_texts.h"
#include "cli/helmet_update.h"

namespace {

enum class HelpText {
  Description,
  HelpFlag,
  VersionFlag,
  Unit,
  All,
  Watch,
  Lang,
  Trace,
  Json,
  Yes,
  Demo,
  Verbose,
  Quiet,
  List,
  Info,
  Update,
  Usage,        // the labels of the help's layout; CLI11 puts ':' right after "Usage" and the group names,
  OptionsBadge, // so the French ones end with the blank that goes before the colon
  CommandBadge,
  OptionsGroup,
  CommandsGroup,
  Path,         // what an option's value is
  File,
  Language,
  ExitTable,    // the footer below the header "Exit status:"
  UnknownCommand,
  NoCommand,
  CommandsAre,
  UnknownOption,
  UnexpectedArgument,
  UnknownLanguage,
  NeedsValue,
  QuietAndVerbose,
  UpdateOnly,
  UnitWithAllOrWatch,
  AllOrWatch,
  ShowsTheOptions,  // after "helmet-update [command] --help"
  Count
};

#ifdef _WIN32
#define DEFAULT_LANGUAGE_EN ", else the Windows display language)"
#define DEFAULT_LANGUAGE_DE ", sonst die Anzeigesprache von Windows)"
#define DEFAULT_LANGUAGE_FR ", sinon la langue d'affichage de Windows)"
#define DEFAULT_LANGUAGE_IT ", altrimenti la lingua di visualizzazione di Windows)"
#define DEFAULT_LANGUAGE_ES ", si no, el idioma de visualización de Windows)"
#else
#define DEFAULT_LANGUAGE_EN ")"
#define DEFAULT_LANGUAGE_DE ")"
#define DEFAULT_LANGUAGE_FR ")"
#define DEFAULT_LANGUAGE_IT ")"
#define DEFAULT_LANGUAGE_ES ")"
#endif

// English, German, French, Italian, Spanish. Option and command names stay as they are in every language.
constexpr const char* TEXTS[static_cast<int>(HelpText::Count)][5] = {
    {"helmet-update: updates the firmware of the helmet communication unit over USB.",
     "helmet-update: aktualisiert die Firmware der Helm-Kommunikationseinheit über USB.",
     "helmet-update : met à jour le firmware de l'unité de communication du casque par USB.",
     "helmet-update: aggiorna il firmware dell'unità di comunicazione del casco tramite USB.",
     "helmet-update: actualiza el firmware de la unidad de comunicación del casco por USB."},
    {"Print this help message and exit", "diese Hilfe zeigen und beenden", "afficher cette aide et quitter",
     "mostrare questo aiuto e uscire", "mostrar esta ayuda y salir"},
    {"Display program version information and exit", "die Version des Programms zeigen und beenden",
     "afficher la version du programme et quitter", "mostrare la versione del programma e uscire",
     "mostrar la versión del programa y salir"},
    {"the unit's device path or location (see `list`); needed when several are connected; `update` takes it more "
     "than once to update those units at once",
     "Gerätepfad oder Anschlussort des Geräts (siehe `list`); nötig, wenn mehrere angeschlossen sind; `update` "
     "nimmt es mehrmals, um diese Geräte gleichzeitig zu aktualisieren",
     "le chemin ou l'emplacement de l'appareil (voir `list`) ; nécessaire quand plusieurs sont connectés ; "
     "`update` le prend plusieurs fois pour mettre ces appareils à jour en même temps",
     "il percorso o la posizione del dispositivo (vedere `list`); necessario quando ne sono collegati più d'uno; "
     "`update` lo accetta più volte per aggiornare quei dispositivi insieme",
     "la ruta o ubicación del dispositivo (ver `list`); necesaria cuando hay varios conectados; `update` la admite "
     "varias veces para actualizar esos dispositivos a la vez"},
    {"update: every unit connected, at once", "update: alle angeschlossenen Geräte gleichzeitig",
     "update : tous les appareils connectés, en même temps", "update: tutti i dispositivi collegati, insieme",
     "update: todos los dispositivos conectados, a la vez"},
    {"update: wait for units and update each one that is plugged in, until Ctrl+C",
     "update: auf Geräte warten und jedes angeschlossene aktualisieren, bis Strg+C",
     "update : attendre des appareils et mettre à jour chacun qui est branché, jusqu'à Ctrl+C",
     "update: attendere i dispositivi e aggiornare ognuno che viene collegato, fino a Ctrl+C",
     "update: esperar dispositivos y actualizar cada uno que se conecte, hasta Ctrl+C"},
    {"de, fr, it, es or en (default: from LC_ALL, LC_MESSAGES, LANG" DEFAULT_LANGUAGE_EN,
     "de, fr, it, es oder en (Vorgabe: aus LC_ALL, LC_MESSAGES, LANG" DEFAULT_LANGUAGE_DE,
     "de, fr, it, es ou en (par défaut : d'après LC_ALL, LC_MESSAGES, LANG" DEFAULT_LANGUAGE_FR,
     "de, fr, it, es o en (predefinita: da LC_ALL, LC_MESSAGES, LANG" DEFAULT_LANGUAGE_IT,
     "de, fr, it, es o en (por defecto: según LC_ALL, LC_MESSAGES, LANG" DEFAULT_LANGUAGE_ES},
    {"append the trace lines to FILE, each with its time, after a header that names this run",
     "die Trace-Zeilen an DATEI anhängen, jede mit ihrer Uhrzeit, nach einem Kopf, der diesen Lauf nennt",
     "ajouter les lignes de trace à FICHIER, chacune avec son heure, après un en-tête qui décrit cette exécution",
     "aggiungere le righe di traccia a FILE, ognuna con la sua ora, dopo un'intestazione che descrive questa "
     "esecuzione",
     "añadir las líneas de traza a ARCHIVO, cada una con su hora, tras una cabecera que describe esta ejecución"},
    {"one JSON object per event on standard output", "ein JSON-Objekt je Ereignis auf der Standardausgabe",
     "un objet JSON par événement sur la sortie standard", "un oggetto JSON per evento sullo standard output",
     "un objeto JSON por evento en la salida estándar"},
    {"do not ask before the update starts", "nicht fragen, bevor die Aktualisierung beginnt",
     "ne pas demander avant le début de la mise à jour", "non chiedere prima che l'aggiornamento inizi",
     "no preguntar antes de que empiece la actualización"},
    {"run against the emulated unit (DEMO_* variables) instead of USB",
     "mit dem emulierten Gerät (Variablen DEMO_*) statt über USB arbeiten",
     "utiliser l'appareil émulé (variables DEMO_*) au lieu de l'USB",
     "usare il dispositivo emulato (variabili DEMO_*) invece dell'USB",
     "usar el dispositivo emulado (variables DEMO_*) en lugar de USB"},
    {"the trace lines on standard error too, as --trace writes them",
     "die Trace-Zeilen auch auf der Standardfehlerausgabe, wie --trace sie schreibt",
     "les lignes de trace aussi sur la sortie d'erreur, comme --trace les écrit",
     "le righe di traccia anche sullo standard error, come le scrive --trace",
     "las líneas de traza también en la salida de error, como las escribe --trace"},
    {"update: show only errors and the result", "update: nur Fehler und das Ergebnis zeigen",
     "update : n'afficher que les erreurs et le résultat", "update: mostrare solo gli errori e il risultato",
     "update: mostrar solo los errores y el resultado"},
    {"list the connected units: device path, vendor:product ids and mode",
     "die angeschlossenen Geräte auflisten: Gerätepfad, Hersteller:Produkt-Kennungen und Modus",
     "lister les appareils connectés : chemin, identifiants fabricant:produit et mode",
     "elencare i dispositivi collegati: percorso, ID produttore:prodotto e modalità",
     "listar los dispositivos conectados: ruta, ID de fabricante:producto y modo"},
    {"the unit's mode, versions, slot flags and hardware id; the program's firmware",
     "Modus, Versionen, Slot-Flags und Hardware-Kennung des Geräts; die Firmware des Programms",
     "mode, versions, indicateurs des emplacements et identifiant matériel de l'appareil ; le firmware du programme",
     "modalità, versioni, flag degli slot e ID hardware del dispositivo; il firmware del programma",
     "modo, versiones, indicadores de las ranuras e ID de hardware del dispositivo; el firmware del programa"},
    {"update the unit (asks first unless --yes)", "das Gerät aktualisieren (fragt vorher, außer mit --yes)",
     "mettre à jour l'appareil (demande d'abord, sauf avec --yes)",
     "aggiornare il dispositivo (chiede prima, tranne con --yes)",
     "actualizar el dispositivo (pregunta antes, salvo con --yes)"},
    {"Usage", "Aufruf", "Utilisation ", "Uso", "Uso"},
    {"OPTIONS", "OPTIONEN", "OPTIONS", "OPZIONI", "OPCIONES"},
    {"COMMAND", "BEFEHL", "COMMANDE", "COMANDO", "COMANDO"},
    {"Options", "Optionen", "Options ", "Opzioni", "Opciones"},
    {"Commands", "Befehle", "Commandes ", "Comandi", "Comandos"},
    {"PATH", "PFAD", "CHEMIN", "PERCORSO", "RUTA"},
    {"FILE", "DATEI", "FICHIER", "FILE", "ARCHIVO"},
    {"LANG", "SPRACHE", "LANGUE", "LINGUA", "IDIOMA"},
    {"   0  done (the update completed)\n"
     "   2  usage error; several units and no --unit or --all (nothing written)\n"
     "   3  no unit found, or it could not be opened\n"
     "   5  the unit's read-back differs\n"
     "   7  the unit runs its application (switch it off and try again)\n"
     "   9  an update is already running\n"
     "  10  cancelled (Ctrl+C answered yes, the question before the update answered no,\n"
     "      or SIGTERM/SIGHUP)\n"
     "  11  failed (also: the --trace file could not be written)\n"
     "  12  the unit has newer firmware (no downgrade)\n"
     "  13  the firmware is not for this unit's hardware\n"
     "  14  several units (--all, --watch, --unit more than once): some did not complete; each unit's result line\n"
     "      (JSON: its \"result\" event) gives its own status\n",
     "   0  fertig (die Aktualisierung ist abgeschlossen)\n"
     "   2  Aufruffehler; mehrere Geräte und weder --unit noch --all (nichts geschrieben)\n"
     "   3  kein Gerät gefunden, oder es ließ sich nicht öffnen\n"
     "   5  das Zurücklesen des Geräts weicht ab\n"
     "   7  das Gerät führt seine Anwendung aus (ausschalten und erneut versuchen)\n"
     "   9  eine Aktualisierung läuft bereits\n"
     "  10  abgebrochen (Strg+C mit ja beantwortet, die Frage vor der Aktualisierung mit\n"
     "      nein, oder SIGTERM/SIGHUP)\n"
     "  11  fehlgeschlagen (auch: die Datei von --trace ließ sich nicht schreiben)\n"
     "  12  das Gerät hat neuere Firmware (kein Downgrade)\n"
     "  13  die Firmware ist nicht für die Hardware dieses Geräts\n"
     "  14  mehrere Geräte (--all, --watch, --unit mehrmals): einige wurden nicht fertig; die Ergebniszeile jedes\n"
     "      Geräts (JSON: sein \"result\"-Ereignis) nennt seinen eigenen Rückgabewert\n",
     "   0  terminé (la mise à jour est achevée)\n"
     "   2  erreur d'utilisation ; plusieurs appareils et ni --unit ni --all (rien n'est écrit)\n"
     "   3  aucun appareil trouvé, ou il n'a pas pu être ouvert\n"
     "   5  la relecture de l'appareil diffère\n"
     "   7  l'appareil exécute son application (l'éteindre et réessayer)\n"
     "   9  une mise à jour est déjà en cours\n"
     "  10  annulé (Ctrl+C avec la réponse oui, la réponse non à la question avant la mise\n"
     "      à jour, ou SIGTERM/SIGHUP)\n"
     "  11  échoué (aussi : le fichier de --trace n'a pas pu être écrit)\n"
     "  12  l'appareil a un firmware plus récent (pas de retour en arrière)\n"
     "  13  le firmware n'est pas pour le matériel de cet appareil\n"
     "  14  plusieurs appareils (--all, --watch, --unit plusieurs fois) : certains n'ont pas abouti ; la ligne de\n"
     "      résultat de chaque appareil (JSON : son événement \"result\") donne son propre code\n",
     "   0  fatto (l'aggiornamento è completato)\n"
     "   2  errore d'uso; più dispositivi e né --unit né --all (nulla è scritto)\n"
     "   3  nessun dispositivo trovato, o non è stato possibile aprirlo\n"
     "   5  la rilettura del dispositivo differisce\n"
     "   7  il dispositivo esegue la sua applicazione (spegnerlo e riprovare)\n"
     "   9  un aggiornamento è già in corso\n"
     "  10  annullato (Ctrl+C con risposta sì, risposta no alla domanda prima\n"
     "      dell'aggiornamento, o SIGTERM/SIGHUP)\n"
     "  11  non riuscito (anche: non è stato possibile scrivere il file di --trace)\n"
     "  12  il dispositivo ha un firmware più recente (nessun downgrade)\n"
     "  13  il firmware non è per l'hardware di questo dispositivo\n"
     "  14  più dispositivi (--all, --watch, --unit più volte): alcuni non sono stati completati; la riga di\n"
     "      risultato di ogni dispositivo (JSON: il suo evento \"result\") indica il suo codice\n",
     "   0  hecho (la actualización se completó)\n"
     "   2  error de uso; varios dispositivos y ni --unit ni --all (no se escribe nada)\n"
     "   3  no se encontró ningún dispositivo, o no se pudo abrir\n"
     "   5  la relectura del dispositivo difiere\n"
     "   7  el dispositivo ejecuta su aplicación (apáguelo e inténtelo de nuevo)\n"
     "   9  ya hay una actualización en curso\n"
     "  10  cancelado (Ctrl+C respondido con sí, la pregunta antes de la actualización con\n"
     "      no, o SIGTERM/SIGHUP)\n"
     "  11  fallido (también: no se pudo escribir el archivo de --trace)\n"
     "  12  el dispositivo tiene un firmware más reciente (sin downgrade)\n"
     "  13  el firmware no es para el hardware de este dispositivo\n"
     "  14  varios dispositivos (--all, --watch, --unit varias veces): algunos no se completaron; la línea de\n"
     "      resultado de cada dispositivo (JSON: su evento \"result\") da su propio código\n"},
    {"unknown command", "unbekannter Befehl", "commande inconnue", "comando sconosciuto", "comando desconocido"},
    {"a command is needed", "ein Befehl fehlt", "il faut une commande", "serve un comando", "falta un comando"},
    {"The commands are list, info and update.", "Die Befehle sind list, info und update.",
     "Les commandes sont list, info et update.", "I comandi sono list, info e update.",
     "Los comandos son list, info y update."},
    {"unknown option", "unbekannte Option", "option inconnue", "opzione sconosciuta", "opción desconocida"},
    {"unexpected argument", "unerwartetes Argument", "argument inattendu", "argomento inatteso",
     "argumento inesperado"},
    {"unknown language (de, fr, it, es or en)", "unbekannte Sprache (de, fr, it, es oder en)",
     "langue inconnue (de, fr, it, es ou en)", "lingua sconosciuta (de, fr, it, es o en)",
     "idioma desconocido (de, fr, it, es o en)"},
    {"this option needs a value", "diese Option braucht einen Wert", "cette option demande une valeur",
     "questa opzione richiede un valore", "esta opción necesita un valor"},
    {"--quiet and --verbose exclude each other", "--quiet und --verbose schließen sich aus",
     "--quiet et --verbose s'excluent", "--quiet e --verbose si escludono a vicenda",
     "--quiet y --verbose se excluyen"},
    {"--all, --watch and more than one --unit are for `update` only",
     "--all, --watch und mehr als ein --unit gibt es nur für `update`",
     "--all, --watch et plus d'un --unit ne valent que pour `update`",
     "--all, --watch e più di un --unit valgono solo per `update`",
     "--all, --watch y más de un --unit son solo para `update`"},
    {"--unit names units of its own; it goes with neither --all nor --watch",
     "--unit nennt eigene Geräte; es passt weder zu --all noch zu --watch",
     "--unit désigne ses propres appareils ; il ne va ni avec --all ni avec --watch",
     "--unit indica dispositivi propri; non va né con --all né con --watch",
     "--unit nombra sus propios dispositivos; no va con --all ni con --watch"},
    {"--all or --watch, not both", "--all oder --watch, nicht beides", "--all ou --watch, pas les deux",
     "--all o --watch, non entrambi", "--all o --watch, no ambos"},
    {"shows the options.", "zeigt die Optionen.", "affiche les options.", "mostra le opzioni.",
     "muestra las opciones."},
};

std::string Text(HelpText text, UiLanguageId language) {
  return TEXTS[static_cast<int>(text)][CliLanguageIndex(language)];
}

// The commands, as bits: which commands an option applies to.
constexpr unsigned LIST = 1;
constexpr unsigned INFO = 2;
constexpr unsigned UPDATE = 4;
constexpr unsigned EVERY_COMMAND = LIST | INFO | UPDATE;

unsigned CommandBit(const std::string& command) {
  return command == "list" ? LIST : command == "info" ? INFO : command == "update" ? UPDATE : 0;
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
    return "--lang" + colon + Text(HelpText::UnknownLanguage, language) + colon + LangValue(args);
  }
  if (name == "ArgumentMismatch") {
    const std::string what = error.what();
    return what.substr(0, what.find(':')) + colon + Text(HelpText::NeedsValue, language);
  }
  const std::vector<std::string> left = NotTaken(app);
  for (const std::string& arg : left) {
    if (!arg.empty() && arg[0] == '-') return Text(HelpText::UnknownOption, language) + colon + arg;
  }
  if (!left.empty()) {
    return Text(command.empty() ? HelpText::UnknownCommand : HelpText::UnexpectedArgument, language) + colon +
           left.front();
  }
  if (name == "RequiredError" && command.empty()) return Text(HelpText::NoCommand, language);
  return error.what();
}

// Which options go together (checked here rather than by CLI11, whose help would show it in English).
std::optional<HelpText> Conflict(const Options& options) {
  if (options.quiet && options.verbose) return HelpText::QuietAndVerbose;
  const bool tray = options.all || options.watch || options.units.size() > 1;
  if (tray && options.command != "update") return HelpText::UpdateOnly;
  if ((options.all || options.watch) && !options.units.empty()) return HelpText::UnitWithAllOrWatch;
  if (options.all && options.watch) return HelpText::AllOrWatch;
  return std::nullopt;
}

void WriteUsageError(std::ostream& err, const std::string& message, const std::string& command, UiLanguageId language) {
  err << "helmet-update" << Colon(language) << message << '\n';
  if (command.empty()) err << Text(HelpText::CommandsAre, language) << '\n';
  err << "helmet-update " << (command.empty() ? "" : command + " ") << "--help "
      << Text(HelpText::ShowsTheOptions, language) << '\n';
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
  const auto text = [language](HelpText which) { return Text(which, language); };
  ParsedCommandLine parsed;
  Options& options = parsed.options;

  CLI::App app{text(HelpText::Description), "helmet-update"};
  auto formatter = std::make_shared<CommandFormatter>();
  formatter->label("Usage", text(HelpText::Usage));
  formatter->label("OPTIONS", text(HelpText::OptionsBadge));
  formatter->label("SUBCOMMAND", text(HelpText::CommandBadge));
  app.formatter(formatter);  // before the commands are added: they take the main program's formatter
  std::string statusHeader = std::string(CliString(CliText::ExitStatus, language)) + Colon(language);
  statusHeader.pop_back();  // the blank that would part the label from a value
  app.footer(statusHeader + "\n" + text(HelpText::ExitTable));
  app.allow_windows_style_options(false);  // the same syntax on every system: "/x" is never an option
  app.option_defaults()->group(text(HelpText::OptionsGroup));
  app.set_help_flag("-h,--help", text(HelpText::HelpFlag));
  app.set_version_flag("--version", std::string("helmet-update ") + HELMET_UPDATE_VERSION,
                       text(HelpText::VersionFlag));

  std::map<const CLI::Option*, unsigned>& appliesTo = formatter->appliesTo;
  appliesTo[app.add_option("--unit", options.units, text(HelpText::Unit))
                ->take_all()
                ->option_text(text(HelpText::Path))] = INFO | UPDATE;
  appliesTo[app.add_flag("--all", options.all, text(HelpText::All))] = UPDATE;
  appliesTo[app.add_flag("--watch", options.watch, text(HelpText::Watch))] = UPDATE;
  appliesTo[app.add_option("--lang", options.lang, text(HelpText::Lang))
                ->check(CLI::IsMember({"de", "fr", "it", "es", "en"}))
                ->option_text(text(HelpText::Language))] = EVERY_COMMAND;
  appliesTo[app.add_option("--trace", options.trace, text(HelpText::Trace))->option_text(text(HelpText::File))] =
      EVERY_COMMAND;
  appliesTo[app.add_flag("--verbose", options.verbose, text(HelpText::Verbose))] = EVERY_COMMAND;
  appliesTo[app.add_flag("--quiet", options.quiet, text(HelpText::Quiet))] = UPDATE;
  appliesTo[app.add_flag("--json", options.json, text(HelpText::Json))] = EVERY_COMMAND;
  appliesTo[app.add_flag("--yes,-y", options.yes, text(HelpText::Yes))] = UPDATE;
  CLI::Option* demo = app.add_flag("--demo", options.demo, text(HelpText::Demo));
#ifdef _WIN32
  demo->group("");  // on Windows the demo is a program of its own
#else
  appliesTo[demo] = EVERY_COMMAND;
#endif
  app.fallthrough();  // the commands hand the main program's options to it: they may follow the command
  for (const auto& [name, description] : {std::pair{"list", HelpText::List}, std::pair{"info", HelpText::Info},
                                          std::pair{"update", HelpText::Update}}) {
    app.add_subcommand(name, text(description))->group(text(HelpText::CommandsGroup));
  }
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
  if (const std::optional<HelpText> conflict = Conflict(options)) {
    WriteUsageError(err, text(*conflict), options.command, language);
    parsed.exitStatus = EXIT_USAGE;
  }
  return parsed;
}
