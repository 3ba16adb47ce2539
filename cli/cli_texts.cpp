#include "cli/cli_texts.h"

#include <algorithm>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// English, German, French, Italian, Spanish.
constexpr const char* TEXTS[static_cast<int>(CliText::Count)][5] = {
    {"Write the firmware to the unit now? Do not switch the unit off or unplug it during the update.",
     "Firmware jetzt auf das Gerät schreiben? Das Gerät während der Aktualisierung nicht ausschalten oder abziehen.",
     "Écrire le firmware sur l'appareil maintenant ? Ne pas éteindre ni débrancher l'appareil pendant la mise à jour.",
     "Scrivere ora il firmware sul dispositivo? Non spegnere né scollegare il dispositivo durante l'aggiornamento.",
     "¿Escribir ahora el firmware en el dispositivo? No apague ni desconecte el dispositivo durante la actualización."},
    {"y", "j", "o", "s", "s"},
    {"[y/N]", "[j/N]", "[o/N]", "[s/N]", "[s/N]"},
    {"(Ctrl+C again: yes)", "(Erneut Strg+C: ja)", "(Ctrl+C à nouveau : oui)", "(Ctrl+C di nuovo: sì)",
     "(Ctrl+C de nuevo: sí)"},
    {"No unit found.", "Kein Gerät gefunden.", "Aucun appareil trouvé.", "Nessun dispositivo trovato.",
     "No se encontró ningún dispositivo."},
    {"Several units are connected; choose one with --unit PATH:",
     "Mehrere Geräte sind angeschlossen; wählen Sie eines mit --unit PFAD:",
     "Plusieurs appareils sont connectés ; choisissez-en un avec --unit CHEMIN :",
     "Sono collegati più dispositivi; sceglierne uno con --unit PERCORSO:",
     "Hay varios dispositivos conectados; elija uno con --unit RUTA:"},
    {"No unit with this path is connected:", "Kein Gerät mit diesem Pfad ist angeschlossen:",
     "Aucun appareil connecté n'a ce chemin :", "Nessun dispositivo collegato ha questo percorso:",
     "Ningún dispositivo conectado tiene esta ruta:"},
    {"Mode", "Modus", "Mode", "Modalità", "Modo"},
    {"bootloader", "Bootloader", "chargeur d'amorçage", "bootloader", "cargador de arranque"},
    {"application", "Anwendung", "application", "applicazione", "aplicación"},
    {"old application", "alte Anwendung", "ancienne application", "vecchia applicazione", "aplicación antigua"},
    {"unknown", "unbekannt", "inconnu", "sconosciuto", "desconocido"},
    {"Application", "Applikation", "Application", "Applicazione", "Aplicación"},
    {"Bootloader", "Bootloader", "Chargeur d'amorçage", "Bootloader", "Cargador de arranque"},
    {"Valid flags (application, bootloader 1, bootloader 2)",
     "Gültig-Flags (Applikation, Bootloader 1, Bootloader 2)",
     "Indicateurs valides (application, chargeur 1, chargeur 2)",
     "Flag validi (applicazione, bootloader 1, bootloader 2)",
     "Indicadores válidos (aplicación, cargador 1, cargador 2)"},
    {"Hardware id", "Hardware-Kennung", "Identifiant matériel", "ID hardware", "ID de hardware"},
    {"Application image in this program", "Applikations-Image in diesem Programm",
     "Image d'application de ce programme", "Immagine dell'applicazione in questo programma",
     "Imagen de aplicación de este programa"},
    {"Bootloader image in this program", "Bootloader-Image in diesem Programm",
     "Image du chargeur d'amorçage de ce programme", "Immagine del bootloader in questo programma",
     "Imagen del cargador de arranque de este programa"},
    {"hardware", "Hardware", "matériel", "hardware", "hardware"},
    {"next step in", "nächster Schritt in", "étape suivante dans", "passo successivo tra", "siguiente paso en"},
    {"left", "verbleibend", "restant", "rimanente", "restante"},
    {"Exit status", "Rückgabewert", "Code de sortie", "Codice di uscita", "Código de salida"},
    {"done", "fertig", "terminé", "completato", "completado"},
    {"failed", "fehlgeschlagen", "échoué", "non riuscito", "fallido"},
    {"refused", "abgelehnt", "refusé", "rifiutato", "rechazado"},
    {"cancelled", "abgebrochen", "annulé", "annullato", "cancelado"},
    {"running", "läuft", "en cours", "in corso", "en curso"},
    {"These units will be written:", "Diese Geräte werden beschrieben:", "Ces appareils seront écrits :",
     "Questi dispositivi verranno scritti:", "Se escribirán estos dispositivos:"},
    {"No unit can be updated: nothing was written.", "Kein Gerät kann aktualisiert werden: nichts wurde geschrieben.",
     "Aucun appareil ne peut être mis à jour : rien n'a été écrit.",
     "Nessun dispositivo può essere aggiornato: non è stato scritto nulla.",
     "Ningún dispositivo se puede actualizar: no se escribió nada."},
    {"Waiting for units (Ctrl+C ends the waiting).", "Warte auf Geräte (Strg+C beendet das Warten).",
     "En attente d'appareils (Ctrl+C arrête l'attente).", "In attesa di dispositivi (Ctrl+C termina l'attesa).",
     "Esperando dispositivos (Ctrl+C termina la espera)."},
    {"No more units are taken; the running updates finish (Ctrl+C again: cancel them).",
     "Keine weiteren Geräte; laufende Aktualisierungen werden beendet (erneut Strg+C: abbrechen).",
     "Plus aucun appareil n'est pris ; les mises à jour en cours se terminent (Ctrl+C à nouveau : les annuler).",
     "Non si accettano altri dispositivi; gli aggiornamenti in corso terminano (Ctrl+C di nuovo: annullarli).",
     "No se toman más dispositivos; las actualizaciones en curso terminan (Ctrl+C de nuevo: cancelarlas)."},
    {"Unit connected:", "Gerät angeschlossen:", "Appareil connecté :", "Dispositivo collegato:",
     "Dispositivo conectado:"},
    {"This unit will be written:", "Dieses Gerät wird beschrieben:", "Cet appareil sera écrit :",
     "Questo dispositivo verrà scritto:", "Se escribirá este dispositivo:"},
    {"No terminal to answer on: add --yes to update without the question.",
     "Kein Terminal für die Antwort: mit --yes wird ohne die Frage aktualisiert.",
     "Aucun terminal pour répondre : ajoutez --yes pour mettre à jour sans la question.",
     "Nessun terminale su cui rispondere: aggiungere --yes per aggiornare senza la domanda.",
     "No hay terminal para responder: añada --yes para actualizar sin la pregunta."},
    {"Update", "Aktualisierung", "Mise à jour", "Aggiornamento", "Actualización"},
    {"possible", "möglich", "possible", "possibile", "posible"},
    {"refused", "abgelehnt", "refusée", "rifiutato", "rechazada"},
    {"Unit now", "Gerät jetzt", "Appareil maintenant", "Dispositivo ora", "Dispositivo ahora"},
    {"unchanged, nothing was written.", "unverändert, nichts wurde geschrieben.", "inchangé, rien n'a été écrit.",
     "invariato, non è stato scritto nulla.", "sin cambios, no se escribió nada."},
    {"its previous bootloader (the new copy is unfinished).",
     "sein bisheriger Bootloader (die neue Kopie ist unvollständig).",
     "son chargeur d'amorçage précédent (la nouvelle copie est inachevée).",
     "il bootloader precedente (la nuova copia è incompleta).",
     "su cargador de arranque anterior (la nueva copia está incompleta)."},
    {"one new bootloader copy, the previous application.", "eine neue Bootloader-Kopie, die bisherige Applikation.",
     "une nouvelle copie du chargeur d'amorçage, l'application précédente.",
     "una nuova copia del bootloader, l'applicazione precedente.",
     "una nueva copia del cargador de arranque, la aplicación anterior."},
    {"the new bootloader, the previous or an unfinished application.",
     "der neue Bootloader, die bisherige oder eine unvollständige Applikation.",
     "le nouveau chargeur d'amorçage, l'application précédente ou inachevée.",
     "il nuovo bootloader, l'applicazione precedente o incompleta.",
     "el nuevo cargador de arranque, la aplicación anterior o incompleta."},
    {"the new firmware.", "die neue Firmware.", "le nouveau firmware.", "il nuovo firmware.", "el nuevo firmware."},
    {"It starts in its bootloader: run the update again.", "Es startet im Bootloader: Aktualisierung erneut ausführen.",
     "Il démarre sur son chargeur d'amorçage : relancez la mise à jour.",
     "Si avvia nel bootloader: eseguire di nuovo l'aggiornamento.",
     "Arranca en su cargador de arranque: ejecute de nuevo la actualización."},
};


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

CliText OutcomeText(UpdateEnding ending, int result) {
  if (result < 0) return CliText::OutcomeRunning;
  switch (ending) {
    case UpdateEnding::Completed:
      return CliText::OutcomeDone;
    case UpdateEnding::Failed:
      return CliText::OutcomeFailed;
    case UpdateEnding::Cancelled:
      return CliText::OutcomeCancelled;
    case UpdateEnding::NotStarted:
      break;
  }
  return result == FWL_ABORTED ? CliText::OutcomeCancelled : CliText::OutcomeRefused;
}

int CliLanguageIndex(UiLanguageId language) {
  switch (language) {
    case UILANG_GERMAN:
      return 1;
    case UILANG_FRENCH:
      return 2;
    case UILANG_ITALIAN:
      return 3;
    case UILANG_SPANISH:
      return 4;
    default:
      return 0;
  }
}

const char* CliString(CliText text, UiLanguageId language) {
  return TEXTS[static_cast<int>(text)][CliLanguageIndex(language)];
}

const char* Colon(UiLanguageId language) { return language == UILANG_FRENCH ? " : " : ": "; }

UiLanguageId LanguageFromCode(const std::string& code) {
  const std::string two = code.substr(0, 2);
  if (two == "en") return UILANG_ENGLISH;
  if (two == "de") return UILANG_GERMAN;
  if (two == "fr") return UILANG_FRENCH;
  if (two == "it") return UILANG_ITALIAN;
  if (two == "es") return UILANG_SPANISH;
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
  switch (PRIMARYLANGID(GetUserDefaultUILanguage())) {
    case LANG_GERMAN:
      return UILANG_GERMAN;
    case LANG_FRENCH:
      return UILANG_FRENCH;
    case LANG_ITALIAN:
      return UILANG_ITALIAN;
    case LANG_SPANISH:
      return UILANG_SPANISH;
    default:
      break;
  }
#endif
  return UILANG_ENGLISH;
}

std::string UiText(unsigned id) {
  wchar_t buffer[UI_TEXT_CAPACITY];
  if (LoadUiString(id, buffer) <= 0) return {};
  return Utf8(buffer);
}
