// The main window's ties to the shell on the real window (dialog 117): the trace folder item of its system
// menu and the taskbar's message, neither of which reaches the main window logic.

#include <windows.h>
#include <gtest/gtest.h>

#include "app/clock.h"
#include "app/message_poster.h"
#include "emu/emulated_usb.h"
#include "image/image_resources.h"
#include "platform/program_context.h"
#include "platform/win32/main_window_dialog.h"
#include "platform/win32/taskbar_progress.h"
#include "platform/win32/trace_folder_menu.h"
#include "support/trace_capture.h"
#include "ui/resource_ids.h"
#include "ui/ui_language.h"
#include "usb/usb_fw_loader.h"

namespace {

class ShellTestServices final : public MainWindowServices {
 public:
  bool ValidateFirmwareImages() override { return true; }
  const char* ApplicationVersion() override { return "001.005.019"; }
  std::uint16_t ReadUiLanguage() override { return UILANG_ENGLISH; }
  void WriteUiLanguage(std::uint16_t) override {}
  UsbFwLoader* CreateLoader() override { return loaderFails ? nullptr : new UsbFwLoader(context_); }
  void OpenProgressWindow(WindowRef, UsbFwLoader*) override {}

  bool loaderFails = false;

 private:
  VirtualClock clock_;
  EmulatedUsb bus_{clock_};
  DeviceLinkContext context_{&bus_, &clock_, &PlatformMessagePoster(), &ProgramResources()};
};

class MainWindowShellTest : public ::testing::Test {
 protected:
  void SetUp() override { SetUiLanguage(UILANG_ENGLISH); }
  void TearDown() override {
    if (window != nullptr && IsWindow(window)) DestroyWindow(window);
    MSG message;
    PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);  // the window's quit message
  }

  ShellTestServices services;
  std::int32_t restartFlag = 0;
  HWND window = nullptr;
};

TEST_F(MainWindowShellTest, TheSystemMenuOffersTheTraceFolderRightAfterAbout) {
  window = CreateMainWindow(services, restartFlag);
  ASSERT_NE(window, nullptr);
  HMENU menu = GetSystemMenu(window, FALSE);
  ASSERT_NE(menu, nullptr);
  int about = -1;
  for (int i = 0; i < GetMenuItemCount(menu); ++i) {
    if (GetMenuItemID(menu, i) == IDD_ABOUTBOX) about = i;
  }
  ASSERT_GE(about, 0);
  EXPECT_EQ(GetMenuItemID(menu, about + 1), IDM_OPEN_TRACE_FOLDER);
  wchar_t text[64] = {};
  GetMenuStringW(menu, IDM_OPEN_TRACE_FOLDER, text, 64, MF_BYCOMMAND);
  EXPECT_STREQ(text, L"Open trace folder ...");
  GetMenuStringW(menu, IDD_ABOUTBOX, text, 64, MF_BYCOMMAND);
  EXPECT_STREQ(text, L"About ...");
}

// The item speaks the interface language of the window, from the string table ("About ..." stays as it is).
TEST_F(MainWindowShellTest, TheTraceFolderItemIsInTheInterfaceLanguage) {
  const struct {
    UiLanguageId language;
    const wchar_t* text;
  } rows[] = {
      {UILANG_ENGLISH, L"Open trace folder ..."},
      {UILANG_GERMAN, L"Protokollordner \u00F6ffnen ..."},
      {UILANG_FRENCH, L"Ouvrir le dossier du journal ..."},
      {UILANG_ITALIAN, L"Apri la cartella dei log ..."},
      {UILANG_SPANISH, L"Abrir la carpeta de registros ..."},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "language " << row.language);
    SetUiLanguage(row.language);
    window = CreateMainWindow(services, restartFlag);
    ASSERT_NE(window, nullptr);
    wchar_t text[64] = {};
    GetMenuStringW(GetSystemMenu(window, FALSE), IDM_OPEN_TRACE_FOLDER, text, 64, MF_BYCOMMAND);
    EXPECT_STREQ(text, row.text);
    DestroyWindow(window);
    window = nullptr;
    MSG message;
    PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
  }
}

TEST_F(MainWindowShellTest, TheTaskbarsMessageIsTakenWithoutAWordFromTheLogic) {
  window = CreateMainWindow(services, restartFlag);
  ASSERT_NE(window, nullptr);
  TraceCapture trace;
  SendMessageW(window, TaskbarButtonCreatedMessage(), 0, 0);
  SendMessageW(window, TaskbarButtonCreatedMessage(), 0, 0);
  EXPECT_TRUE(IsWindow(window));
  EXPECT_TRUE(trace.Lines().empty());
}

TEST_F(MainWindowShellTest, AWindowThatEndsInItsInitialisationGetsNoItem) {
  services.loaderFails = true;
  EXPECT_EQ(CreateMainWindow(services, restartFlag), nullptr);
}

}  // namespace
