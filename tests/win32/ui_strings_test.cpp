// The string table in the five languages, read through the program's own lookup by language.

#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/resource_ids.h"
#include "ui/ui_language.h"
#include "win32/ui_dialog_template.h"

namespace {

class UiStrings : public ::testing::Test {
 protected:
  void TearDown() override { SetUiLanguage(UILANG_ENGLISH); }

  static std::wstring Load(UiLanguageId language, unsigned id) {
    SetUiLanguage(language);
    wchar_t buffer[UI_TEXT_CAPACITY];
    const int length = LoadUiString(id, buffer);
    return length > 0 ? std::wstring(buffer, static_cast<std::size_t>(length)) : std::wstring();
  }
};

// The whole stored length of string `id`, read from its block without any buffer in between; -1 if absent.
int StoredLength(UiLanguageId language, unsigned id) {
  const ResourceBytes block = FindResourceBytes(RT_STRING, static_cast<WORD>(id / 16 + 1), language);
  const auto* units = static_cast<const WORD*>(block.data);
  const std::size_t count = block.size / 2;
  std::size_t position = 0;
  for (unsigned i = 0; i < id % 16; ++i) {
    if (position >= count) return -1;
    position += 1 + units[position];
  }
  return position < count ? units[position] : -1;
}

TEST_F(UiStrings, EveryIdIsInEveryLanguageAndFitsTheBuffer) {
  int longest = 0;
  for (const UiLanguageEntry& language : UI_LANGUAGES) {
    for (unsigned id = IDS_FIRST; id <= IDS_LAST; ++id) {
      SCOPED_TRACE(testing::Message() << "language " << language.id << ", string " << id);
      const int stored = StoredLength(language.id, id);
      ASSERT_GT(stored, 0);
      EXPECT_LE(stored, UI_TEXT_CAPACITY - 1);
      longest = std::max(longest, stored);
      const std::wstring text = Load(language.id, id);
      EXPECT_EQ(static_cast<int>(text.size()), stored);
      // A line feed is the only control character of the texts.
      for (wchar_t unit : text) EXPECT_TRUE(unit >= 0x20 || unit == L'\n') << "unit " << static_cast<int>(unit);
    }
  }
  EXPECT_EQ(longest, 117);
  EXPECT_EQ(StoredLength(UILANG_GERMAN, IDS_DEVICE_NOT_FOUND), 117);
}

// Exactly the five languages: a neutral copy would be what an explicit lookup silently falls back to.
TEST_F(UiStrings, BlocksExistInTheFiveLanguagesOnly) {
  const std::vector<WORD> five = {UILANG_GERMAN, UILANG_ENGLISH, UILANG_FRENCH, UILANG_ITALIAN, UILANG_SPANISH};
  for (WORD block = IDS_FIRST / 16 + 1; block <= IDS_LAST / 16 + 1; ++block) {
    EXPECT_EQ(ResourceLanguages(RT_STRING, block), five) << "block " << block;
  }
}

TEST_F(UiStrings, SharedAndRepeatedTexts) {
  for (const UiLanguageEntry& language : UI_LANGUAGES) {
    SCOPED_TRACE(testing::Message() << "language " << language.id);
    EXPECT_EQ(Load(language.id, IDS_APP_KEY), L"TAVIK_FW_UPDATE");
    EXPECT_EQ(Load(language.id, IDS_APP_NAME), L"Tavik_FW_Update");
    EXPECT_EQ(Load(language.id, IDS_UPDATE_FAILED_UNUSED), Load(language.id, IDS_UPDATE_FAILED));
  }
}

struct TellingRow {
  UiLanguageId language;
  unsigned id;
  const wchar_t* text;
};

// Typos and odd spacing are the program's own and stay.
const TellingRow kTellingRows[] = {
    {UILANG_ENGLISH, IDS_UPDATE_RUNNING, L"Firmware update ist already running!"},
    {UILANG_ENGLISH, IDS_DEVICE_IN_APP_MODE,
     L"The device is in application mode.\nPlease switch off the system and try again."},
    {UILANG_ENGLISH, IDS_CAPTION_INFORMATION, L"Update information"},
    {UILANG_ENGLISH, IDS_VERSION_INVALID, L"Invalid!"},
    {UILANG_GERMAN, IDS_DEVICE_NOT_FOUND,
     L"Ger\u00E4t nicht gefunden.\nAchten Sie darauf, dass das USB-Kabel an den PC und das Kommunikationssystem "
     L"angeschlossen ist."},
    {UILANG_GERMAN, IDS_CONFIRM_QUIT,
     L"Firmware-Aktualisierung wird ausgef\u00FChrt\nM\u00F6chten Sie wirklich das Aktualisierungsprogramm beenden?"},
    {UILANG_GERMAN, IDS_CAPTION_ERROR, L"Update-Fehler"},
    // French: a no-break space before "!" and "?" in most texts, an ordinary one in 40005, 40006 and 40012.
    {UILANG_FRENCH, IDS_UPDATE_STARTED, L"Lancer la mise \u00E0 jour du firmware\u00A0!"},
    {UILANG_FRENCH, IDS_PROGRAM_BOOTLOADER1, L"Programmer bootloader 1\u00A0!"},
    {UILANG_FRENCH, IDS_PROGRAM_BOOTLOADER2, L"Programmer bootloader 2 !"},
    {UILANG_FRENCH, IDS_VERIFY_DEVICE, L"V\u00E9rifier l'appareil !"},
    {UILANG_FRENCH, IDS_UPDATE_RUNNING,
     L"La mise \u00E0 jour du firmware est d\u00E9j\u00E0 en cours d'ex\u00E9cution !"},
    {UILANG_FRENCH, IDS_CONFIRM_ABORT,
     L"La mise \u00E0 jour du firmware est en cours d'ex\u00E9cution.\nVoulez-vous vraiment interrompre le processus "
     L"de mise \u00E0 jour\u00A0?"},
    {UILANG_FRENCH, IDS_VERSION_INVALID, L"Invalide\u00A0!"},
    {UILANG_FRENCH, IDS_CAPTION_INFORMATION, L"Informations de mise \u00E0 jour"},
    {UILANG_ITALIAN, IDS_CAPTION_INFORMATION, L"Aggiorna informazioni"},
    {UILANG_ITALIAN, IDS_CAPTION_ERROR, L"Errore di aggiornamento"},
    {UILANG_ITALIAN, IDS_CONFIRM_ABORT,
     L"L'aggiornamento del firmware \u00E8 in esecuzione.\nInterrompere il processo di aggiornamento?"},
    // Spanish opens exclamations and questions, also on a second line.
    {UILANG_SPANISH, IDS_UPDATE_STARTED, L"\u00A1Iniciar la actualizaci\u00F3n del firmware!"},
    {UILANG_SPANISH, IDS_FIRMWARE_DATA_INVALID,
     L"Datos de firmware no v\u00E1lidos.\n\u00A1La actualizaci\u00F3n del firmware no se ha iniciado!"},
    {UILANG_SPANISH, IDS_CONFIRM_ABORT,
     L"La actualizaci\u00F3n de firmware se est\u00E1 ejecutando.\n\u00BFRealmente desea cancelar el proceso de "
     L"actualizaci\u00F3n?"},
    {UILANG_SPANISH, IDS_CAPTION_ERROR, L"Error de actualizaci\u00F3n"},
    {UILANG_SPANISH, IDS_VERSION_INVALID, L"\u00A1Inv\u00E1lido!"},
};

TEST_F(UiStrings, TellingRowsInEachLanguage) {
  for (const TellingRow& row : kTellingRows) {
    SCOPED_TRACE(testing::Message() << "language " << row.language << ", string " << row.id);
    EXPECT_EQ(Load(row.language, row.id), row.text);
  }
}

TEST_F(UiStrings, TextsFollowTheLanguageSetLast) {
  EXPECT_EQ(Load(UILANG_GERMAN, IDS_UPDATE_FAILED), L"Firmware Aktualisierung fehlgeschlagen!");
  EXPECT_EQ(Load(UILANG_ENGLISH, IDS_UPDATE_FAILED), L"Firmware update failed!");
  EXPECT_EQ(GetUiLanguage(), UILANG_ENGLISH);
}

TEST_F(UiStrings, ALanguageTheProgramDoesNotSpeakGivesEnglish) {
  const UiLanguageId russian = MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT);
  EXPECT_EQ(Load(russian, IDS_UPDATE_FAILED), L"Firmware update failed!");
  EXPECT_EQ(GetUiLanguage(), russian);  // kept as set: the chooser then shows no selection
}

TEST_F(UiStrings, AMissingTextHasNoLengthAndAnEmptyBuffer) {
  SetUiLanguage(UILANG_GERMAN);
  for (unsigned id : {0, 1, IDS_FIRST - 1, IDS_LAST + 1, 40031, 0xFFFF, 0x10000, 0x10000 + IDS_FIRST}) {
    SCOPED_TRACE(testing::Message() << "string " << id);
    wchar_t buffer[UI_TEXT_CAPACITY];
    buffer[0] = L'x';
    EXPECT_LE(LoadUiString(id, buffer), 0);
    EXPECT_EQ(buffer[0], L'\0');
  }
}

}  // namespace
