// The main window for real: dialog 117 from the resources, its controls, message boxes and the About box,
// driven through its messages. Message boxes are answered from a second thread, as a user would.
#include "platform/win32/main_window_dialog.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "app/clock.h"
#include "app/message_poster.h"
#include "emu/emulated_usb.h"
#include "image/image_resources.h"
#include "platform/program_context.h"
#include "platform/win32/updater_program.h"
#include "support/fake_main_window_services.h"
#include "support/trace_capture.h"
#include "tools/demo_driver.h"
#include "ui/ui_language.h"
#include "usb/usb_fw_loader.h"

using ::testing::Contains;

namespace {

struct Counts {
  int loadersMade = 0;
  int loadersDeleted = 0;
};

// The program's services but for the images' verdict, the stored language and the sequencer; the bus has no
// unit on it.
struct EmptyBus {
  VirtualClock clock;
  EmulatedUsb bus{clock};
  DeviceLinkContext context{&bus, &clock, &PlatformMessagePoster(), &ProgramResources()};
};

class TestServices final : private EmptyBus, public FakeMainWindowServices<Counts> {
 public:
  TestServices() : FakeMainWindowServices<Counts>(counts, context) {}
  Counts counts;
};

struct SeenBox {
  std::wstring caption;
  std::wstring text;
  int defaultButton = 0;
  bool topmost = false;
};

// Waits on its own thread for the boxes of this process and presses one button in each, in turn.
class BoxAnswerer {
 public:
  explicit BoxAnswerer(std::vector<int> buttons) : buttons_(std::move(buttons)) {
    thread_ = std::thread([this] {
      for (int button : buttons_) {
        HWND box = WaitForWindow([] { return FindMessageBox(GetCurrentProcessId()); }, 20000);
        if (box == nullptr) return;
        SeenBox seen;
        seen.caption = WindowText(box);
        seen.text = ControlText(box, 0xFFFF);
        for (int id : {IDOK, IDYES, IDNO}) {
          HWND button = GetDlgItem(box, id);
          const LONG_PTR style = button != nullptr ? GetWindowLongPtrW(button, GWL_STYLE) : 0;
          if ((style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) seen.defaultButton = id;
        }
        seen.topmost = (GetWindowLongPtrW(box, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
        seen_.push_back(seen);
        PressButton(box, button);
        WaitUntil([box] { return !IsWindow(box); }, 20000);
      }
    });
  }
  ~BoxAnswerer() { Join(); }
  const std::vector<SeenBox>& Seen() {
    Join();
    return seen_;
  }

 private:
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  std::vector<int> buttons_;
  std::vector<SeenBox> seen_;
  std::thread thread_;
};

// True when a quit message was waiting (and takes it away, so that no later box or loop sees it).
bool TakeQuit() {
  MSG message;
  return PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
}

// A visible dialog that `owner` owns.
HWND OwnedDialog(HWND owner) {
  struct Search {
    HWND owner;
    HWND found;
  } search{owner, nullptr};
  EnumWindows(
      [](HWND window, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<Search*>(param);
        wchar_t className[16] = {};
        GetClassNameW(window, className, 16);
        if (GetWindow(window, GW_OWNER) == s->owner && IsWindowVisible(window) &&
            std::wcscmp(className, L"#32770") == 0) {
          s->found = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::wstring Text(HWND window, int id) {
  wchar_t text[256] = {};
  GetDlgItemTextW(window, id, text, 256);
  return text;
}

class Win32MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousLanguage_ = GetUiLanguage();
    TakeQuit();
  }
  void TearDown() override {
    if (window_ != nullptr && IsWindow(window_)) DestroyWindow(window_);
    TakeQuit();
    SetUiLanguage(previousLanguage_);
  }

  HWND Open(std::uint16_t language) {
    SetUiLanguage(language);
    services_.language = language;
    window_ = CreateMainWindow(services_, restartFlag_);
    return window_;
  }

  void Choose(int index) {
    HWND combo = GetDlgItem(window_, IDC_SELECT_LANG);
    SendMessageW(combo, CB_SETCURSEL, index, 0);
    SendMessageW(window_, WM_COMMAND, MAKEWPARAM(IDC_SELECT_LANG, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
  }

  TestServices services_;
  std::int32_t restartFlag_ = 0;
  HWND window_ = nullptr;
  UiLanguageId previousLanguage_ = UILANG_ENGLISH;
};

}  // namespace

TEST_F(Win32MainWindowTest, ComesUpInTheInterfaceLanguageWithVersionChooserMenuAndIcons) {
  ASSERT_NE(Open(UILANG_GERMAN), nullptr);
  EXPECT_EQ(Text(window_, IDB_RESOURCE), L"Aktualisieren!");
  EXPECT_EQ(Text(window_, IDC_VERSION_LABEL), L"001.005.019");
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window_, IDB_RESOURCE)));
  EXPECT_EQ(SelectedComboText(window_, IDC_SELECT_LANG), L"Deutsch");

  HWND combo = GetDlgItem(window_, IDC_SELECT_LANG);
  ASSERT_EQ(SendMessageW(combo, CB_GETCOUNT, 0, 0), 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(SendMessageW(combo, CB_GETITEMDATA, i, 0), UI_LANGUAGES[i].id) << i;
    wchar_t name[32] = {};
    SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(name));
    EXPECT_STREQ(name, UI_LANGUAGES[i].name);
  }

  wchar_t item[32] = {};
  GetMenuStringW(GetSystemMenu(window_, FALSE), IDD_ABOUTBOX, item, 32, MF_BYCOMMAND);
  EXPECT_STREQ(item, L"About ...");
  EXPECT_NE(GetClassLongPtrW(window_, GCLP_HICON), 0);
  EXPECT_NE(GetClassLongPtrW(window_, GCLP_HICONSM), 0);

  // The banner: the dialog's font at twice the height, bold.
  LOGFONTW dialogFont{}, bannerFont{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(window_, WM_GETFONT, 0, 0)), sizeof(dialogFont), &dialogFont);
  GetObjectW(reinterpret_cast<HFONT>(SendDlgItemMessageW(window_, IDC_VERSION_LABEL, WM_GETFONT, 0, 0)),
             sizeof(bannerFont), &bannerFont);
  EXPECT_EQ(bannerFont.lfHeight, 2 * dialogFont.lfHeight);
  EXPECT_EQ(bannerFont.lfWeight, FW_BOLD);
  EXPECT_EQ(services_.counts.loadersMade, 1);
}

// Moved to monitors of other scales: each time the banner is made again for the new DPI (the plain font's height
// scaled to it, twice that, bold, the same face), and the font it replaces is given back.
TEST_F(Win32MainWindowTest, AChangeOfDpiMakesTheBannerAgainForTheNewDpi) {
  ASSERT_NE(Open(UILANG_ENGLISH), nullptr);
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  const auto getDpi = reinterpret_cast<GetDpiForWindowFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  ASSERT_NE(getDpi, nullptr);
  const int openedAt = static_cast<int>(getDpi(window_));
  ASSERT_GT(openedAt, 0);
  LOGFONTW plain{};
  ASSERT_NE(GetObjectW(reinterpret_cast<HFONT>(SendMessageW(window_, WM_GETFONT, 0, 0)), sizeof(plain), &plain), 0);
  auto bannerHandle = [this] {
    return reinterpret_cast<HFONT>(SendDlgItemMessageW(window_, IDC_VERSION_LABEL, WM_GETFONT, 0, 0));
  };

  HFONT previous = bannerHandle();
  for (int dpi : {192, 144, 96, 120}) {
    SCOPED_TRACE(testing::Message() << "DPI " << dpi);
    RECT suggested{};
    GetWindowRect(window_, &suggested);
    SendMessageW(window_, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
    const HFONT banner = bannerHandle();
    ASSERT_NE(banner, nullptr);
    EXPECT_NE(banner, previous);
    LOGFONTW font{};
    EXPECT_EQ(GetObjectW(previous, sizeof(font), &font), 0) << "the font replaced is given back";
    ASSERT_NE(GetObjectW(banner, sizeof(font), &font), 0);
    EXPECT_EQ(font.lfWeight, FW_BOLD);
    EXPECT_EQ(font.lfHeight, 2 * MulDiv(plain.lfHeight, dpi, openedAt));
    EXPECT_STREQ(font.lfFaceName, plain.lfFaceName);
    EXPECT_EQ(Text(window_, IDC_VERSION_LABEL), L"001.005.019");
    previous = banner;
  }
  EXPECT_TRUE(IsWindow(window_));
}

TEST_F(Win32MainWindowTest, ACorruptedImageWarnsAndShowsInvalidInTheInterfaceLanguage) {
  const struct {
    UiLanguageId language;
    const wchar_t* caption;
    const wchar_t* text;
    const wchar_t* label;
  } cases[] = {
      {UILANG_ENGLISH, L"Update error", L"Firmware image is corrupted.", L"Invalid!"},
      {UILANG_GERMAN, L"Update-Fehler", L"Firmware-Image ist besch\u00e4digt.", L"Ung\u00fcltig!"},
  };
  for (const auto& c : cases) {
    services_.imagesValid = false;
    BoxAnswerer answerer({IDOK});
    ASSERT_NE(Open(c.language), nullptr);
    const auto& seen = answerer.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].caption, c.caption);
    EXPECT_EQ(seen[0].text, c.text);
    EXPECT_EQ(Text(window_, IDC_VERSION_LABEL), c.label);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window_, IDB_RESOURCE)));
    // The rest works: Exit closes.
    SendMessageW(window_, WM_COMMAND, IDCANCEL, 0);
    EXPECT_FALSE(IsWindow(window_));
    EXPECT_TRUE(TakeQuit());
  }
}

TEST_F(Win32MainWindowTest, ChoosingTheLanguageAlreadySetKeepsTheWindow) {
  ASSERT_NE(Open(UILANG_FRENCH), nullptr);
  Choose(2);
  EXPECT_TRUE(IsWindow(window_));
  EXPECT_TRUE(services_.written.empty());
  EXPECT_EQ(restartFlag_, 0);
  EXPECT_FALSE(TakeQuit());
}

TEST_F(Win32MainWindowTest, ChoosingAnotherLanguageEndsTheWindowForARestart) {
  ASSERT_NE(Open(UILANG_ENGLISH), nullptr);
  TraceCapture trace;
  Choose(4);
  EXPECT_FALSE(IsWindow(window_));
  EXPECT_THAT(services_.written, ::testing::ElementsAre(UILANG_SPANISH));
  EXPECT_EQ(restartFlag_, 1);
  EXPECT_TRUE(TakeQuit());
  EXPECT_THAT(trace.Texts(), Contains("Message: WM_COMMAND -> IDC_SELECT_LANG -> CBN_SELCHANGE"));
}

TEST_F(Win32MainWindowTest, ExitWithoutAnUpdateClosesWithoutAQuestion) {
  ASSERT_NE(Open(UILANG_ENGLISH), nullptr);
  restartFlag_ = 1;
  TraceCapture trace;
  SendMessageW(window_, WM_COMMAND, IDCANCEL, 0);
  EXPECT_FALSE(IsWindow(window_));
  EXPECT_EQ(restartFlag_, 0);
  EXPECT_TRUE(TakeQuit());
  EXPECT_THAT(trace.Texts(), ::testing::ElementsAre("Message: WM_COMMAND -> IDCANCEL", "Message: WM_DESTROY",
                                                    "FirmwareUpdateCleanup for unknown Firmware Source!"));
  EXPECT_EQ(services_.counts.loadersDeleted, 1);
}

TEST_F(Win32MainWindowTest, CloseDuringAnUpdateAsksAndNoKeepsTheWindow) {
  ASSERT_NE(Open(UILANG_GERMAN), nullptr);
  services_.lastLoader->busy.store(1);  // as the worker holds it while an update runs
  BoxAnswerer answerer({IDNO, IDYES});
  SendMessageW(window_, WM_CLOSE, 0, 0);
  EXPECT_TRUE(IsWindow(window_));
  EXPECT_EQ(restartFlag_, 0);
  SendMessageW(window_, WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindow(window_));
  EXPECT_TRUE(TakeQuit());

  const auto& seen = answerer.Seen();
  ASSERT_EQ(seen.size(), 2u);
  for (const SeenBox& box : seen) {
    EXPECT_EQ(box.caption, L"Update-Informationen");
    EXPECT_EQ(box.text,
              L"Firmware-Aktualisierung wird ausgef\u00fchrt\nM\u00f6chten Sie wirklich das "
              L"Aktualisierungsprogramm beenden?");
    EXPECT_EQ(box.defaultButton, IDNO);
    EXPECT_TRUE(box.topmost);  // system-modal
  }
}

TEST_F(Win32MainWindowTest, ManyLanguageChangesLeakNeitherFontsNorLoaders) {
  std::vector<HFONT> banners;
  for (int round = 0; round < 20; ++round) {
    ASSERT_NE(Open(UI_LANGUAGES[round % 5].id), nullptr) << round;
    banners.push_back(reinterpret_cast<HFONT>(SendDlgItemMessageW(window_, IDC_VERSION_LABEL, WM_GETFONT, 0, 0)));
    Choose((round + 1) % 5);
    ASSERT_FALSE(IsWindow(window_)) << round;
    EXPECT_TRUE(TakeQuit());
  }
  EXPECT_EQ(services_.counts.loadersMade, 20);
  EXPECT_EQ(services_.counts.loadersDeleted, 20);
  for (HFONT banner : banners) EXPECT_EQ(GetObjectType(banner), 0u) << "a banner font outlived its window";
}

TEST_F(Win32MainWindowTest, NoLoaderMeansNoWindow) {
  services_.loaderFails = true;
  EXPECT_EQ(Open(UILANG_ENGLISH), nullptr);
  EXPECT_TRUE(TakeQuit());
}

// The message table as the dialog manager sees it: what counts as handled, and what else happens.
TEST_F(Win32MainWindowTest, TheTableLeavesOtherNotificationsCommandsAndSystemCommandsUnhandled) {
  ASSERT_NE(Open(UILANG_ENGLISH), nullptr);
  const auto proc = reinterpret_cast<DLGPROC>(GetWindowLongPtrW(window_, DWLP_DLGPROC));
  ASSERT_NE(proc, nullptr);
  TraceCapture trace;
  SendDlgItemMessageW(window_, IDC_SELECT_LANG, CB_SETCURSEL, 1, 0);
  for (WORD notification : {0, 2, 3, 4, 7, 9, 10}) {
    EXPECT_EQ(proc(window_, WM_COMMAND, MAKEWPARAM(IDC_SELECT_LANG, notification), 0), FALSE) << notification;
  }
  EXPECT_EQ(proc(window_, WM_SYSCOMMAND, SC_CLOSE, 0), FALSE);
  EXPECT_EQ(proc(window_, WM_SYSCOMMAND, IDD_ABOUTBOX | 2, 0), FALSE);  // the value exactly
  EXPECT_EQ(proc(window_, WM_COMMAND, IDOK, 0), FALSE);
  EXPECT_EQ(proc(window_, WM_COMMAND, IDC_STATUS_LIST, 0), FALSE);
  EXPECT_THAT(trace.Texts(),
              ::testing::ElementsAre("Message: WM_COMMAND -> Unknown 1", "Message: WM_COMMAND -> Unknown 40005"));
  EXPECT_TRUE(services_.written.empty());
  EXPECT_TRUE(IsWindow(window_));
}

TEST_F(Win32MainWindowTest, TheAboutBoxOpensFromTheSystemMenuAndClosesWithOk) {
  ASSERT_NE(Open(UILANG_ENGLISH), nullptr);
  TraceCapture trace;
  std::atomic<bool> aboutSeen{false};
  std::thread user([&] {
    HWND about = WaitForWindow([&] { return OwnedDialog(window_); }, 20000);
    if (about == nullptr) return;
    aboutSeen = GetDlgItem(about, IDOK) != nullptr;
    PressButton(about, IDOK);
  });
  SendMessageW(window_, WM_SYSCOMMAND, IDD_ABOUTBOX, 0);
  user.join();
  EXPECT_TRUE(aboutSeen);
  EXPECT_THAT(trace.Texts(), ::testing::ElementsAre("Message: WM_SYSCOMMAND -> IDD_ABOUTBOX"));
  EXPECT_TRUE(IsWindow(window_));
}

// The About box handles every command but closes only on "Ok" and on its close button.
TEST_F(Win32MainWindowTest, TheAboutBoxStaysOnOtherCommandsAndClosesOnItsCloseButton) {
  ASSERT_NE(Open(UILANG_ENGLISH), nullptr);
  std::atomic<bool> stayedOnCancel{false};
  std::atomic<bool> closed{false};
  std::thread user([&] {
    HWND about = WaitForWindow([&] { return OwnedDialog(window_); }, 20000);
    if (about == nullptr) return;
    SendMessageW(about, WM_COMMAND, IDCANCEL, 0);
    SendMessageW(about, WM_COMMAND, 40003, 0);
    stayedOnCancel = IsWindow(about) && IsWindowVisible(about);
    PostMessageW(about, WM_CLOSE, 0, 0);
    closed = WaitUntil([about] { return !IsWindow(about); }, 20000);
  });
  SendMessageW(window_, WM_SYSCOMMAND, IDD_ABOUTBOX, 0);
  user.join();
  EXPECT_TRUE(stayedOnCancel);
  EXPECT_TRUE(closed);
  EXPECT_TRUE(IsWindow(window_));
  EXPECT_TRUE(IsWindowEnabled(window_));
}

// Without the dialog's keyboard handling in the loop, Esc and Enter would reach the focused control only.
TEST_F(Win32MainWindowTest, TheLoopGivesTheWindowItsKeyboard) {
  ASSERT_NE(Open(UILANG_ENGLISH), nullptr);
  HWND combo = GetDlgItem(window_, IDC_SELECT_LANG);
  PostMessageW(combo, WM_KEYDOWN, VK_RETURN, 0);
  PostMessageW(combo, WM_KEYUP, VK_RETURN, 0);
  PostQuitMessage(0);  // ends the loop once the keys are handled
  RunDialogMessageLoop();
  EXPECT_EQ(services_.progressWindows.size(), 1u) << "Enter presses the default button, \"Update!\"";
  ASSERT_TRUE(IsWindow(window_));

  PostMessageW(combo, WM_KEYDOWN, VK_ESCAPE, 0);
  PostMessageW(combo, WM_KEYUP, VK_ESCAPE, 0);
  PostQuitMessage(0);
  RunDialogMessageLoop();
  EXPECT_FALSE(IsWindow(window_)) << "Esc is the Exit button";
}
