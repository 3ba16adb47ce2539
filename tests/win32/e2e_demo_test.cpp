// End to end: the demo program (the updater on the emulated unit), and the updater itself, started as their
// own processes and driven from outside through their windows, as a user would, with the trace read from the
// debugger output.
#include <windows.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/settings_store.h"
#include "tools/demo_driver.h"
#include "ui/resource_ids.h"

namespace {

constexpr DWORD kWindowMs = 60000;
constexpr DWORD kUpdateMs = 240000;
constexpr int IDC_MESSAGE_TEXT = 0xFFFF;

const std::string kSettingsKey = std::string("software\\") + SETTINGS_COMPANY + "\\" + SETTINGS_PRODUCT;

void StoreLanguage(DWORD language) {
  RegSetKeyValueA(HKEY_CURRENT_USER, kSettingsKey.c_str(), SETTINGS_UI_LANGUAGE_VALUE, REG_DWORD, &language,
                  sizeof(language));
}

DWORD StoredLanguage() {
  DWORD language = 0;
  DWORD size = sizeof(language);
  RegGetValueA(HKEY_CURRENT_USER, kSettingsKey.c_str(), SETTINGS_UI_LANGUAGE_VALUE, RRF_RT_REG_DWORD, nullptr,
               &language, &size);
  return language;
}

// The trace texts of the process, without the prefix and the line end.
std::vector<std::string> TraceTexts(const DebugOutputCapture& capture, DWORD processId) {
  std::vector<std::string> texts;
  const std::string prefix = "[Tavik_FW_Update] ";
  for (std::string line : capture.Lines(processId)) {
    if (line.rfind(prefix, 0) != 0) continue;
    line.erase(0, prefix.size());
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    texts.push_back(line);
  }
  return texts;
}

// True when `expected` appear in `texts` in this order (other lines may come between).
bool InOrder(const std::vector<std::string>& texts, const std::vector<std::string>& expected) {
  std::size_t next = 0;
  for (const std::string& text : texts) {
    if (next < expected.size() && text == expected[next]) ++next;
  }
  return next == expected.size();
}

class EndToEnd : public ::testing::Test {
 protected:
  void TearDown() override { StoreLanguage(1033); }

  void Start(std::vector<std::pair<std::wstring, std::wstring>> environment,
             const wchar_t* program = L"HelmetUpdaterDemo.exe") {
    environment.emplace_back(L"DEMO_TIMING", L"fast");
    ASSERT_TRUE(demo_.Start(SiblingPath(program), environment)) << "the program beside the tests";
  }
  HWND MainWindow() {
    return WaitForWindow([&] { return FindMainWindow(demo_.Id()); }, kWindowMs);
  }
  HWND ProgressWindow() {
    return WaitForWindow([&] { return FindProgressWindow(demo_.Id()); }, kWindowMs);
  }
  HWND MessageBox(DWORD timeoutMs = kWindowMs) {
    return WaitForWindow([&] { return FindMessageBox(demo_.Id()); }, timeoutMs);
  }
  int Ends() {
    DWORD exitCode = 0xDEAD;
    return demo_.WaitForExit(kWindowMs, &exitCode) ? static_cast<int>(exitCode) : 0xDEAD;
  }

  DebugOutputCapture trace_;
  DrivenProcess demo_;
};

}  // namespace

TEST_F(EndToEnd, GermanUpdateFromStartToTheFinalBox) {
  ASSERT_TRUE(trace_.Active()) << "the debugger output cannot be read";
  StoreLanguage(1033);
  Start({{L"DEMO_BOOT2_FLAG", L"1"}});

  HWND english = MainWindow();
  ASSERT_NE(english, nullptr);
  EXPECT_EQ(ControlText(english, IDB_RESOURCE), L"Update!");
  EXPECT_EQ(SelectedComboText(english, IDC_SELECT_LANG), L"English");

  // Deutsch: the window goes and comes back in German; the program goes on.
  ASSERT_TRUE(ChooseLanguage(english, 1));
  ASSERT_TRUE(WaitUntil([&] { return !IsWindow(english); }, kWindowMs));
  HWND german = MainWindow();
  ASSERT_NE(german, nullptr);
  EXPECT_EQ(ControlText(german, IDB_RESOURCE), L"Aktualisieren!");
  EXPECT_EQ(SelectedComboText(german, IDC_SELECT_LANG), L"Deutsch");
  EXPECT_EQ(ControlText(german, IDC_VERSION_LABEL), L"001.005.019");
  EXPECT_EQ(StoredLanguage(), 1031u);

  ASSERT_TRUE(PressButton(german, IDB_RESOURCE));
  HWND progress = ProgressWindow();
  ASSERT_NE(progress, nullptr);
  EXPECT_FALSE(IsWindowEnabled(german));

  HWND box = MessageBox(kUpdateMs);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(WindowText(box), L"Update-Informationen");
  EXPECT_EQ(ControlText(box, IDC_MESSAGE_TEXT), L"Firmware Aktualisierung erfolgreich beendet!");
  EXPECT_EQ(ListBoxLines(progress, IDC_STATUS_LIST),
            (std::vector<std::wstring>{L"Start Firmware Aktualisierung!", L"Programmiere Bootloader 1!",
                                       L"Programmiere Bootloader 2!", L"Programmiere die Applikation!",
                                       L"Verifiziere Ger\u00e4t!", L"Firmware Aktualisierung erfolgreich beendet!"}));
  EXPECT_EQ(ProgressPosition(progress, IDC_PROGRESS_BAR), 100);

  PressButton(box, IDOK);
  ASSERT_TRUE(WaitUntil([&] { return !IsWindow(progress) && IsWindowEnabled(german); }, kWindowMs));
  PressButton(german, IDCANCEL);
  EXPECT_EQ(Ends(), 0);

  EXPECT_TRUE(
      InOrder(TraceTexts(trace_, demo_.Id()),
              {"Start Application", "Message: WM_INITDIALOG", "Message: WM_COMMAND -> IDC_SELECT_LANG -> CBN_SELCHANGE",
               "Message: WM_DESTROY", "Message: WM_INITDIALOG", "Message: WM_COMMAND -> IDB_RESOURCE",
               "Update Firmware from ID(110) to Flash(0x00020000), Size(156400)",
               "Update Firmware from ID(110) to Flash(0x00080000), Size(156400)",
               "Update Firmware from ID(109) to Flash(0x00100000), Size(2633516)", "SendUpdateResult = 0",
               "Message: WM_COMMAND -> IDCANCEL", "Message: WM_DESTROY", "Exit Application: rc = 0"}))
      << ::testing::PrintToString(TraceTexts(trace_, demo_.Id()));
}

TEST_F(EndToEnd, ClosingTheMainWindowDuringAnUpdateAsksFirst) {
  StoreLanguage(1031);
  // A slow erase keeps the first step running for eight seconds: time enough to ask twice.
  Start({{L"DEMO_FAULT", L"slowerase=8000"}});
  HWND main = MainWindow();
  ASSERT_NE(main, nullptr);
  ASSERT_TRUE(PressButton(main, IDB_RESOURCE));
  HWND progress = ProgressWindow();
  ASSERT_NE(progress, nullptr);

  RequestClose(main);
  HWND question = MessageBox();
  ASSERT_NE(question, nullptr);
  EXPECT_EQ(WindowText(question), L"Update-Informationen");
  EXPECT_EQ(ControlText(question, IDC_MESSAGE_TEXT),
            L"Firmware-Aktualisierung wird ausgef\u00fchrt\nM\u00f6chten Sie wirklich das Aktualisierungsprogramm "
            L"beenden?");
  PressButton(question, IDNO);
  ASSERT_TRUE(WaitUntil([&] { return !IsWindow(question); }, kWindowMs));
  EXPECT_TRUE(IsWindow(main));
  EXPECT_TRUE(IsWindow(progress)) << "\"No\" keeps the update going";

  RequestClose(main);
  question = MessageBox();
  ASSERT_NE(question, nullptr);
  PressButton(question, IDYES);
  EXPECT_EQ(Ends(), 0);
  if (trace_.Active()) {
    EXPECT_TRUE(InOrder(TraceTexts(trace_, demo_.Id()),
                        {"Message: WM_CLOSE", "Message: WM_CLOSE", "Message: WM_DESTROY", "Exit Application: rc = 0"}))
        << ::testing::PrintToString(TraceTexts(trace_, demo_.Id()));
  }
}

TEST_F(EndToEnd, AfterAPowerCutTheUnitComesBackAndAFreshUpdateCompletes) {
  StoreLanguage(1033);
  // The power fails while bootloader copy 1 is written; the unit is back three seconds later.
  Start({{L"DEMO_FAULT", L"powerloss@1000"}});
  HWND main = MainWindow();
  ASSERT_NE(main, nullptr);
  ASSERT_TRUE(PressButton(main, IDB_RESOURCE));
  HWND progress = ProgressWindow();
  ASSERT_NE(progress, nullptr);
  HWND box = MessageBox(kUpdateMs);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(ControlText(box, IDC_MESSAGE_TEXT), L"Firmware update failed!");
  PressButton(box, IDOK);
  ASSERT_TRUE(WaitUntil([&] { return !IsWindow(progress) && IsWindowEnabled(main); }, kWindowMs));

  // Until the unit is back, "Update!" finds no unit: that box is confirmed and the button pressed again.
  bool completed = false;
  for (int attempt = 0; attempt < 20 && !completed; ++attempt) {
    ASSERT_TRUE(PressButton(main, IDB_RESOURCE));
    HWND window = WaitForWindow(
        [&] {
          HWND found = FindProgressWindow(demo_.Id());
          return found != nullptr ? found : FindMessageBox(demo_.Id());
        },
        kWindowMs);
    ASSERT_NE(window, nullptr);
    if (GetDlgItem(window, IDC_PROGRESS_BAR) == nullptr) {  // a box, not the progress window
      EXPECT_EQ(ControlText(window, IDC_MESSAGE_TEXT).rfind(L"Device not found.", 0), 0u);
      PressButton(window, IDOK);
      ASSERT_TRUE(WaitUntil([&] { return !IsWindow(window) && IsWindowEnabled(main); }, kWindowMs));
      Sleep(500);  // the unit's way back takes real time
      continue;
    }
    HWND last = MessageBox(kUpdateMs);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(ControlText(last, IDC_MESSAGE_TEXT), L"Firmware update completed successfully!");
    PressButton(last, IDOK);
    completed = true;
  }
  EXPECT_TRUE(completed);
  ASSERT_TRUE(WaitUntil([&] { return FindProgressWindow(demo_.Id()) == nullptr && IsWindowEnabled(main); }, kWindowMs));
  PressButton(main, IDCANCEL);
  EXPECT_EQ(Ends(), 0);
}

// The updater itself, on the system's USB stack, where Wine lists no unit.
TEST_F(EndToEnd, TheUpdaterWithoutAUnitSaysDeviceNotFound) {
  StoreLanguage(1033);
  Start({}, L"HelmetUpdater.exe");
  HWND main = MainWindow();
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(ControlText(main, IDC_VERSION_LABEL), L"001.005.019");
  ASSERT_TRUE(PressButton(main, IDB_RESOURCE));
  HWND box = MessageBox();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(WindowText(box), L"Update error");
  EXPECT_EQ(ControlText(box, IDC_MESSAGE_TEXT),
            L"Device not found.\nBe sure that the USB cable is connected to PC and communication system.");
  PressButton(box, IDOK);
  ASSERT_TRUE(WaitUntil([&] { return !IsWindow(box) && IsWindowEnabled(main); }, kWindowMs));
  EXPECT_EQ(FindProgressWindow(demo_.Id()), nullptr);
  PressButton(main, IDCANCEL);
  EXPECT_EQ(Ends(), 0);
}
