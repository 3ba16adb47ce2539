// The three dialog templates in the five languages: their bytes against the layouts, and the windows that the
// real dialog manager makes of them.

#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32/ui_dialog.h"
#include "ui/resource_ids.h"
#include "ui/ui_language.h"
#include "win32/ui_dialog_template.h"

namespace {

constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;

struct ExpectedControl {
  int id;  // -1: no identifier
  const wchar_t* className;
  DWORD style;
  short x, y, cx, cy;
};

struct ExpectedDialog {
  bool extended;
  DWORD style;
  DWORD exStyle;
  short cx, cy;
  WORD weight;  // extended templates
  std::vector<ExpectedControl> controls;
};

ExpectedDialog ExpectedMainWindow(UiLanguageId language) {
  ExpectedDialog dialog{
      false,
      0x90C808CC,
      WS_EX_APPWINDOW,
      340,
      193,
      0,
      {
          {-1, L"Static", kChild | SS_LEFT, 5, 137, 225, 16},
          {-1, L"Static", kChild | SS_LEFT, 7, 101, 232, 34},
          {-1, L"Static", kChild | SS_LEFT, 5, 87, 326, 10},
          {IDC_VERSION_LABEL, L"Static", kChild | SS_CENTER, 5, 55, 326, 16},
          {-1, L"Static", kChild | SS_CENTER, 6, 10, 326, 35},
          {IDCANCEL, L"Button", kChild | BS_PUSHBUTTON | WS_TABSTOP, 4, 159, 68, 16},
          {IDC_SELECT_LANG, L"ComboBox", kChild | CBS_DROPDOWNLIST | CBS_HASSTRINGS | WS_VSCROLL, 251, 160, 73, 62},
          {IDB_RESOURCE, L"Button", kChild | BS_DEFPUSHBUTTON | WS_TABSTOP, 249, 101, 75, 40},
      }};
  ExpectedControl label{-1, L"Static", kChild | SS_LEFT, 182, 164, 58, 8};
  switch (language) {
    case UILANG_GERMAN:
      label.x = 183;
      break;
    case UILANG_FRENCH:
      label.x = 186;
      break;
    case UILANG_ITALIAN:
      label.x = 187, label.y = 162;
      break;
    case UILANG_SPANISH:
      label.x = 187;
      break;
  }
  // "Change language" comes last in English, first in the other languages.
  if (language == UILANG_ENGLISH)
    dialog.controls.push_back(label);
  else
    dialog.controls.insert(dialog.controls.begin(), label);
  return dialog;
}

ExpectedDialog ExpectedProgressWindow(UiLanguageId language) {
  ExpectedDialog dialog{
      true,
      0x80C808C8,
      0,
      277,
      157,
      400,
      {
          {IDCANCEL, L"Button", kChild | BS_PUSHBUTTON | WS_TABSTOP, 113, 133, 50, 14},
          {IDC_PROGRESS_BAR, L"msctls_progress32", kChild | PBS_SMOOTH, 10, 50, 257, 14},
          {-1, L"Static", kChild | SS_CENTER, 29, 11, 219, 32},
          {IDC_STATUS_LIST, L"ListBox", kChild | LBS_NOSEL | LBS_NOINTEGRALHEIGHT | WS_VSCROLL, 10, 70, 257, 57},
      }};
  if (language == UILANG_GERMAN) dialog.controls[2].y = 6, dialog.controls[2].cy = 35;
  return dialog;
}

ExpectedDialog ExpectedAboutBox(UiLanguageId language) {
  ExpectedDialog dialog{true,
                        0x80C800C8,
                        0,
                        346,
                        55,
                        0,
                        {
                            {-1, L"Static", kChild | SS_ICON, 12, 10, 21, 20},
                            {-1, L"Static", kChild | SS_LEFT | SS_NOPREFIX, 43, 9, 258, 8},
                            {-1, L"Static", kChild | SS_LEFT, 43, 25, 203, 20},
                            {IDOK, L"Button", kChild | BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP, 288, 35, 50, 14},
                        }};
  ExpectedControl& product = dialog.controls[1];
  ExpectedControl& notice = dialog.controls[2];
  switch (language) {
    case UILANG_ENGLISH:
      notice.y = 26, notice.cx = 194, notice.cy = 21;
      break;
    case UILANG_GERMAN:
      product.cx = 250;
      break;
    case UILANG_FRENCH:
      dialog.cx = 358, product.cx = 282;
      break;
    case UILANG_ITALIAN:
      product.cx = 296;
      break;
    case UILANG_SPANISH:
      dialog.cx = 390, product.cx = 316, dialog.controls[3].x = 333;
      break;
  }
  return dialog;
}

struct TemplateCase {
  int id;
  ExpectedDialog (*expected)(UiLanguageId);
};
const TemplateCase kTemplates[] = {
    {IDD_MAIN_WINDOW, ExpectedMainWindow},
    {IDD_PROGRESS_WINDOW, ExpectedProgressWindow},
    {IDD_ABOUTBOX, ExpectedAboutBox},
};

DialogTemplate ReadTemplate(int id, UiLanguageId language) {
  const ResourceBytes bytes = FindResourceBytes(RT_DIALOG, static_cast<WORD>(id), language);
  std::optional<DialogTemplate> dialog = ParseDialogTemplate(bytes.data, bytes.size);
  EXPECT_TRUE(dialog.has_value()) << "template " << id << " in language " << language;
  return dialog.value_or(DialogTemplate{});
}

TEST(UiDialogTemplates, MatchTheLayoutsInEveryLanguage) {
  for (const UiLanguageEntry& language : UI_LANGUAGES) {
    for (const TemplateCase& test : kTemplates) {
      SCOPED_TRACE(testing::Message() << "template " << test.id << ", language " << language.id);
      const ExpectedDialog expected = test.expected(language.id);
      const DialogTemplate dialog = ReadTemplate(test.id, language.id);
      EXPECT_EQ(dialog.extended, expected.extended);
      EXPECT_EQ(dialog.style, expected.style);
      EXPECT_EQ(dialog.exStyle, expected.exStyle);
      EXPECT_EQ(dialog.cx, expected.cx);
      EXPECT_EQ(dialog.cy, expected.cy);
      EXPECT_EQ(dialog.typeface, L"Tahoma");
      EXPECT_EQ(dialog.pointSize, 10);
      if (expected.extended) {
        EXPECT_EQ(dialog.weight, expected.weight);
        EXPECT_EQ(dialog.italic, 0);
        EXPECT_EQ(dialog.charset, DEFAULT_CHARSET);
      }
      ASSERT_EQ(dialog.controls.size(), expected.controls.size());
      for (std::size_t i = 0; i < expected.controls.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "control " << i + 1);
        const TemplateControl& control = dialog.controls[i];
        const ExpectedControl& want = expected.controls[i];
        // -1 is written 0xFFFF in a plain template, 0xFFFFFFFF in an extended one.
        const DWORD id = dialog.extended ? static_cast<DWORD>(want.id) : static_cast<WORD>(want.id);
        EXPECT_EQ(control.id, id);
        // The resource compiler writes the progress bar's class name in capitals; class names ignore case.
        EXPECT_EQ(_wcsicmp(control.className.c_str(), want.className), 0) << "class " << control.className.size();
        EXPECT_EQ(control.style, want.style);
        EXPECT_EQ(control.exStyle, 0u);
        EXPECT_EQ(control.x, want.x);
        EXPECT_EQ(control.y, want.y);
        EXPECT_EQ(control.cx, want.cx);
        EXPECT_EQ(control.cy, want.cy);
      }
    }
  }
}

// Exactly the five languages: a neutral copy would be what an explicit lookup silently falls back to.
TEST(UiDialogTemplates, ExistInTheFiveLanguagesOnly) {
  const std::vector<WORD> five = {UILANG_GERMAN, UILANG_ENGLISH, UILANG_FRENCH, UILANG_ITALIAN, UILANG_SPANISH};
  for (const TemplateCase& test : kTemplates) {
    EXPECT_EQ(ResourceLanguages(RT_DIALOG, static_cast<WORD>(test.id)), five) << "template " << test.id;
  }
}

// The texts of the windows that change with the language.
struct Caption {
  UiLanguageId language;
  const wchar_t* mainTitle;
  const wchar_t* update;
  const wchar_t* exit;
  const wchar_t* changeLanguage;
  const wchar_t* progressTitle;
  const wchar_t* cancel;
  const wchar_t* aboutTitle;
  const wchar_t* howToStart;
  const wchar_t* product;
};

const Caption kCaptions[] = {
    {UILANG_ENGLISH, L"Velmora communication system software update", L"Update!", L"Exit", L"Change language",
     L"Updating software...", L"Cancel", L"Info about the Velmora communication system software update",
     L"2. Press the Update! button to start the update process",
     L"Velmora communication system software update Version 1.1"},
    {UILANG_GERMAN, L"Velmora Kommunikationssystem Software Aktualisierung", L"Aktualisieren!", L"Verlassen",
     L"Sprache \u00E4ndern", L"Aktualisiere Software...", L"Abbrechen",
     L"Information zur Velmora Kommunikationssystem Software Aktualisierung",
     L"2. Dr\u00FCcken Sie Aktualisieren! um den Prozess zu starten",
     L"Velmora Kommunikationssystem Software Aktualisierung Version 1.1"},
    {UILANG_FRENCH, L"Mise \u00E0 jour du logiciel du syst\u00E8me de communication Velmora",
     L"Mettre \u00E0 jour\u00A0!", L"Quitter", L"Changer langue", L"Mise \u00E0 jour du logiciel...", L"Annuler",
     L"Information sur la mise \u00E0 jour du logiciel du syst\u00E8me de communication Velmora",
     L"2. Appuyez sur Mettre \u00E0 jour ! pour d\u00E9marrer le processus",
     L"Mise \u00E0 jour du logiciel du syst\u00E8me de communication Velmora version 1.1"},
    {UILANG_ITALIAN, L"Aggiornamento software del sistema di comunicazione Velmora", L"Aggiornamento!", L"Esci",
     L"Modifica lingua", L"Aggiornamento del software...", L"Annulla",
     L"Informativa sull'aggiornamento software del sistema di comunicazione Velmora",
     L"2. Premere Aggiornamento! per avviare il processo",
     L"Aggiornamento software del sistema di comunicazione Velmora versione 1.1"},
    {UILANG_SPANISH, L"Actualizaci\u00F3n del software para el sistema de comunicaci\u00F3n de Velmora",
     L"\u00A1Actualizar!", L"Salir", L"Cambiar idioma", L"Actualizando software...", L"Cancelar",
     L"Informaci\u00F3n sobre la actualizaci\u00F3n del software para el sistema de comunicaci\u00F3n de Velmora",
     L"2. Pulse \u00A1Actualizar! para iniciar el proceso",
     L"Actualizaci\u00F3n del software para el sistema de comunicaci\u00F3n de Velmora, versi\u00F3n 1.1"},
};

// What the dialog manager made of a template: the window and its controls in their order.
struct ChildWindow {
  int id;
  std::wstring className;
  DWORD style;
  std::wstring text;
  RECT rect;  // in the dialog's client coordinates
  HWND window;
};

struct DialogWindow {
  std::wstring title;
  DWORD style;
  DWORD exStyle;
  HWND owner;
  std::vector<ChildWindow> children;
};

std::wstring WindowText(HWND window) {
  wchar_t text[1024];
  const int length = GetWindowTextW(window, text, 1024);
  return std::wstring(text, static_cast<std::size_t>(std::max(length, 0)));
}

DialogWindow Inspect(HWND dialog) {
  DialogWindow result{WindowText(dialog),
                      static_cast<DWORD>(GetWindowLongW(dialog, GWL_STYLE)),
                      static_cast<DWORD>(GetWindowLongW(dialog, GWL_EXSTYLE)),
                      GetWindow(dialog, GW_OWNER),
                      {}};
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t className[64] = {};
    GetClassNameW(child, className, 64);
    RECT rect{};
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
    result.children.push_back({GetDlgCtrlID(child), className, static_cast<DWORD>(GetWindowLongW(child, GWL_STYLE)),
                               WindowText(child), rect, child});
  }
  return result;
}

struct WindowCloser {
  void operator()(HWND window) const { DestroyWindow(window); }
};
using UniqueWindow = std::unique_ptr<std::remove_pointer_t<HWND>, WindowCloser>;

// A control's rectangle in pixels, mapped as the dialog manager maps it: position and size each on its own.
RECT MapControlRect(HWND dialog, const TemplateControl& control) {
  RECT mapped{control.x, control.y, control.cx, control.cy};
  MapDialogRect(dialog, &mapped);
  return {mapped.left, mapped.top, mapped.left + mapped.right, mapped.top + mapped.bottom};
}

INT_PTR CALLBACK ModelessProcedure(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

// The About box is modal: it is inspected while it initialises and ends itself at once.
struct ModalInspection {
  DialogWindow window;
  std::vector<RECT> templateRects;  // the template's rectangles mapped to pixels by the live dialog
  HICON icon = nullptr;
};

class UiDialogs : public ::testing::Test {
 protected:
  void TearDown() override { SetUiLanguage(UILANG_ENGLISH); }

  // Compares a live dialog with the template of the same language, read from its bytes.
  static void ExpectMatchesTemplate(const DialogWindow& window, const DialogTemplate& dialog,
                                    const std::vector<RECT>& templateRects) {
    EXPECT_EQ(window.title, dialog.title);
    ASSERT_EQ(window.children.size(), dialog.controls.size());
    for (std::size_t i = 0; i < dialog.controls.size(); ++i) {
      SCOPED_TRACE(testing::Message() << "control " << i + 1);
      const ChildWindow& child = window.children[i];
      const TemplateControl& control = dialog.controls[i];
      EXPECT_EQ(static_cast<DWORD>(child.id), dialog.extended ? control.id : static_cast<DWORD>(control.id));
      EXPECT_EQ(_wcsicmp(child.className.c_str(), control.className.c_str()), 0);
      // Combo and list boxes show their scroll bar (WS_VSCROLL) only when their list needs it.
      const DWORD style = control.style & ~static_cast<DWORD>(WS_VSCROLL);
      EXPECT_EQ(child.style & style, style);
      if (control.textOrdinal < 0) {
        EXPECT_EQ(child.text, control.text);
      }
      // The icon static takes the icon's size and the combo box's height includes its dropped list.
      EXPECT_EQ(child.rect.left, templateRects[i].left);
      EXPECT_EQ(child.rect.top, templateRects[i].top);
      if (control.className != L"ComboBox" && (control.style & SS_TYPEMASK) != SS_ICON) {
        EXPECT_EQ(child.rect.right, templateRects[i].right);
        EXPECT_EQ(child.rect.bottom, templateRects[i].bottom);
      }
    }
  }

  static std::vector<RECT> MapTemplateRects(HWND dialog, const DialogTemplate& dialogTemplate) {
    std::vector<RECT> rects;
    for (const TemplateControl& control : dialogTemplate.controls) rects.push_back(MapControlRect(dialog, control));
    return rects;
  }
};

INT_PTR CALLBACK AboutProcedure(HWND dialog, UINT message, WPARAM, LPARAM parameter) {
  if (message != WM_INITDIALOG) return FALSE;
  auto* inspection = reinterpret_cast<ModalInspection*>(parameter);
  inspection->window = Inspect(dialog);
  if (!inspection->window.children.empty()) {
    inspection->icon =
        reinterpret_cast<HICON>(SendMessageW(inspection->window.children.front().window, STM_GETICON, 0, 0));
  }
  const std::optional<DialogTemplate> about = [&] {
    const ResourceBytes bytes = FindResourceBytes(RT_DIALOG, IDD_ABOUTBOX, ResourceLanguageFor(GetUiLanguage()));
    return ParseDialogTemplate(bytes.data, bytes.size);
  }();
  if (about) {
    for (const TemplateControl& control : about->controls) {
      inspection->templateRects.push_back(MapControlRect(dialog, control));
    }
  }
  EndDialog(dialog, 42);
  return TRUE;
}

TEST_F(UiDialogs, MainAndProgressWindowsInEveryLanguage) {
  for (const Caption& caption : kCaptions) {
    SCOPED_TRACE(testing::Message() << "language " << caption.language);
    SetUiLanguage(caption.language);
    UniqueWindow main(CreateUiDialog(IDD_MAIN_WINDOW, nullptr, ModelessProcedure));
    ASSERT_NE(main, nullptr);
    UniqueWindow progress(CreateUiDialog(IDD_PROGRESS_WINDOW, main.get(), ModelessProcedure));
    ASSERT_NE(progress, nullptr);

    const DialogWindow mainWindow = Inspect(main.get());
    const DialogTemplate mainTemplate = ReadTemplate(IDD_MAIN_WINDOW, caption.language);
    ExpectMatchesTemplate(mainWindow, mainTemplate, MapTemplateRects(main.get(), mainTemplate));
    EXPECT_EQ(mainWindow.title, caption.mainTitle);
    EXPECT_TRUE(mainWindow.style & WS_VISIBLE);
    EXPECT_TRUE(mainWindow.exStyle & WS_EX_APPWINDOW);
    EXPECT_EQ(mainWindow.owner, nullptr);
    EXPECT_EQ(WindowText(GetDlgItem(main.get(), IDB_RESOURCE)), caption.update);
    EXPECT_EQ(WindowText(GetDlgItem(main.get(), IDCANCEL)), caption.exit);
    EXPECT_EQ(WindowText(GetDlgItem(main.get(), IDC_VERSION_LABEL)), L"Statisch");
    const std::size_t label = caption.language == UILANG_ENGLISH ? mainWindow.children.size() - 1 : 0;
    EXPECT_EQ(mainWindow.children[label].text, caption.changeLanguage);
    const std::size_t howToStart = caption.language == UILANG_ENGLISH ? 0 : 1;
    EXPECT_EQ(mainWindow.children[howToStart].text, caption.howToStart);

    const DialogWindow progressWindow = Inspect(progress.get());
    const DialogTemplate progressTemplate = ReadTemplate(IDD_PROGRESS_WINDOW, caption.language);
    ExpectMatchesTemplate(progressWindow, progressTemplate, MapTemplateRects(progress.get(), progressTemplate));
    EXPECT_EQ(progressWindow.title, caption.progressTitle);
    EXPECT_FALSE(progressWindow.style & WS_VISIBLE);  // shown after its initialisation
    EXPECT_EQ(progressWindow.owner, main.get());
    EXPECT_EQ(WindowText(GetDlgItem(progress.get(), IDCANCEL)), caption.cancel);
    // The progress bar keeps its default range and the status list starts empty.
    EXPECT_EQ(SendMessageW(GetDlgItem(progress.get(), IDC_PROGRESS_BAR), PBM_GETRANGE, FALSE, 0), 100);
    EXPECT_EQ(SendMessageW(GetDlgItem(progress.get(), IDC_STATUS_LIST), LB_GETCOUNT, 0, 0), 0);
  }
}

TEST_F(UiDialogs, AboutBoxIsModalInEveryLanguage) {
  for (const Caption& caption : kCaptions) {
    SCOPED_TRACE(testing::Message() << "language " << caption.language);
    SetUiLanguage(caption.language);
    UniqueWindow owner(CreateUiDialog(IDD_MAIN_WINDOW, nullptr, ModelessProcedure));
    ASSERT_NE(owner, nullptr);
    ModalInspection inspection;
    EXPECT_EQ(ShowUiDialog(IDD_ABOUTBOX, owner.get(), AboutProcedure, reinterpret_cast<LPARAM>(&inspection)), 42);

    const DialogTemplate about = ReadTemplate(IDD_ABOUTBOX, caption.language);
    ExpectMatchesTemplate(inspection.window, about, inspection.templateRects);
    EXPECT_EQ(inspection.window.title, caption.aboutTitle);
    EXPECT_EQ(inspection.window.owner, owner.get());
    EXPECT_NE(inspection.icon, nullptr);  // icon group 120
    ASSERT_EQ(inspection.window.children.size(), 4u);
    EXPECT_EQ(inspection.window.children[1].text, caption.product);
    EXPECT_EQ(inspection.window.children[3].text, L"Ok");
    // The ownership notice has two lines.
    EXPECT_NE(inspection.window.children[2].text.find(L'\n'), std::wstring::npos);
  }
}

// Texts whose line breaks and spaces differ between the languages.
TEST_F(UiDialogs, LongTextsKeepTheirLineBreaks) {
  struct Row {
    UiLanguageId language;
    int templateId;
    std::size_t control;  // index in the template
    const wchar_t* text;
  };
  const Row rows[] = {
      {UILANG_ENGLISH, IDD_MAIN_WINDOW, 4,
       L"Welcome to the Velmora communication system update application!\r\n\r\nThis application will upgrade the "
       L"software of your helmet to\r\n the following version:"},
      {UILANG_FRENCH, IDD_MAIN_WINDOW, 5,
       L"Bienvenue dans la mise \u00E0 jour du logiciel du syst\u00E8me de communication Velmora !\r\n\r\nCette "
       L"application met \u00E0 jour le logiciel de votre syst\u00E8me de communication\n \u00E0 la version "
       L"suivante\u00A0:"},
      {UILANG_SPANISH, IDD_MAIN_WINDOW, 2,
       L"- El sistema de comunicaci\u00F3n debe estar apagado\n- El cable USB est\u00E1 conectado a su PC\n- El cable "
       L"USB est\u00E1 conectado al sistema de comunicaci\u00F3n"},
      {UILANG_FRENCH, IDD_MAIN_WINDOW, 3, L"1.Veuillez v\u00E9rifier si les conditions suivantes sont remplies :"},
      {UILANG_GERMAN, IDD_PROGRESS_WINDOW, 2,
       L"Bitte schalten Sie das Kommunikationssystem w\u00E4hrend der Aktualisierung nicht aus und ziehen Sie das "
       L"Kabel nicht ab!\nBitte schlie\u00DFen Sie das Aktualisierungsprogramm nicht und schalten Sie den Computer "
       L"nicht aus!"},
      {UILANG_ITALIAN, IDD_PROGRESS_WINDOW, 2,
       L"Si prega di non spegnere il sistema di comunicazione durante l'aggiornamento e di non staccare il "
       L"cavo!\nSi prega di non chiudere il programma di aggiornamento e di non spegnere il computer!"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "template " << row.templateId << ", language " << row.language);
    const DialogTemplate dialog = ReadTemplate(row.templateId, row.language);
    ASSERT_LT(row.control, dialog.controls.size());
    EXPECT_EQ(dialog.controls[row.control].text, row.text);
  }
}

TEST_F(UiDialogs, FoundInTheInterfaceLanguage) {
  for (const UiLanguageEntry& language : UI_LANGUAGES) {
    SetUiLanguage(language.id);
    for (const TemplateCase& test : kTemplates) {
      EXPECT_EQ(FindUiDialogTemplate(test.id),
                FindResourceBytes(RT_DIALOG, static_cast<WORD>(test.id), language.id).data);
    }
  }
}

TEST_F(UiDialogs, ALanguageTheProgramDoesNotSpeakGivesEnglish) {
  SetUiLanguage(MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT));
  UniqueWindow main(CreateUiDialog(IDD_MAIN_WINDOW, nullptr, ModelessProcedure));
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(WindowText(main.get()), kCaptions[0].mainTitle);
}

TEST_F(UiDialogs, AnUnknownTemplateMakesNoWindow) {
  EXPECT_EQ(FindUiDialogTemplate(118), nullptr);
  EXPECT_EQ(CreateUiDialog(118, nullptr, ModelessProcedure), nullptr);
  EXPECT_EQ(ShowUiDialog(118, nullptr, ModelessProcedure), -1);
  EXPECT_EQ(FindUiDialogTemplate(0), nullptr);
  EXPECT_EQ(FindUiDialogTemplate(0x10000 + IDD_ABOUTBOX), nullptr);
}

}  // namespace
