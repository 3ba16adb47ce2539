#include "ui/main_window.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/clock.h"
#include "app/message_poster.h"
#include "support/fake_main_window_services.h"
#include "support/trace_capture.h"
#include "usb/device_link_context.h"
#include "usb/usb_fw_loader.h"
#include "usb/usb_platform.h"

using ::testing::ElementsAre;

namespace {

// No unit is ever plugged in: the main window only makes, holds and deletes loaders.
class NoUnitUsb final : public UsbPlatform {
 public:
  UsbDeviceList GetClassDevs(const Guid&) override { return nullptr; }
  bool EnumDeviceInterfaces(UsbDeviceList, const Guid&, std::uint32_t, UsbInterfaceRef*) override { return false; }
  bool GetDeviceInterfaceDetail(UsbDeviceList, const UsbInterfaceRef&, void*, std::uint32_t, std::uint32_t*,
                                UsbDeviceRef*) override {
    return false;
  }
  const char* DetailDevicePath(const void*) override { return ""; }
  bool GetDeviceLocation(UsbDeviceList, const UsbDeviceRef&, void*, std::uint32_t, std::uint32_t*) override {
    return false;
  }
  bool GetDeviceIds(UsbDeviceList, const UsbDeviceRef&, UsbDeviceIds*) override { return false; }
  void DestroyDeviceInfoList(UsbDeviceList) override {}
  UsbFileHandle OpenDeviceFile(const char*) override { return UsbInvalidHandle(); }
  bool CloseDeviceFile(UsbFileHandle) override { return false; }
  bool InitializeInterface(UsbFileHandle, UsbInterfaceHandle*) override { return false; }
  bool QueryInterfaceSettings(UsbInterfaceHandle, std::uint8_t, UsbInterfaceDescriptor*) override { return false; }
  bool QueryPipe(UsbInterfaceHandle, std::uint8_t, std::uint8_t, UsbPipeInformation*) override { return false; }
  bool SetPipePolicy(UsbInterfaceHandle, std::uint8_t, std::uint32_t, std::uint32_t, const void*) override {
    return false;
  }
  bool WritePipe(UsbInterfaceHandle, std::uint8_t, const std::uint8_t*, std::uint32_t, std::uint32_t*) override {
    return false;
  }
  bool ReadPipe(UsbInterfaceHandle, std::uint8_t, std::uint8_t*, std::uint32_t, std::uint32_t*) override {
    return false;
  }
  bool AbortPipe(UsbInterfaceHandle, std::uint8_t) override { return false; }
  bool FreeInterface(UsbInterfaceHandle) override { return false; }
  std::uint32_t LastError() override { return WIN_ERROR_NO_MORE_ITEMS; }
};

struct Counts {
  int loadersMade = 0;
  int loadersDeleted = 0;
  int fontsMade = 0;
  int fontsReleased = 0;
};

struct Message {
  std::uint16_t text;
  std::uint16_t caption;
  std::uint32_t style;
  friend bool operator==(const Message&, const Message&) = default;
};

// Records what the logic does to its window. Destroy() runs the destruction at once, as DestroyWindow does.
class FakeView final : public MainWindowView {
 public:
  explicit FakeView(Counts& counts) : counts_(counts) {}
  MainWindow* window = nullptr;

  bool labelHasFont = true;
  bool rescaleWorks = true;
  std::vector<std::uint32_t> rescaledTo;
  bool hasSystemMenu = true;
  bool selectionReadable = true;
  int answer = 0;  // the button that every message box returns
  std::uintptr_t itemDataOverride = 0;

  bool iconsSet = false;
  bool updateDisabled = false;
  std::string versionText;
  std::uint16_t versionStringId = 0;
  std::vector<std::pair<std::wstring, std::uint16_t>> languages;
  int selected = -1;
  std::vector<std::uint32_t> menuItems;
  int aboutBoxes = 0;
  std::vector<Message> messages;
  int destroyed = 0;
  std::vector<int> quits;

  void SetIcons() override { iconsSet = true; }
  void DisableUpdateButton() override { updateDisabled = true; }
  FontRef CreateBannerFont() override {
    if (!labelHasFont) return nullptr;
    ++counts_.fontsMade;
    return &counts_;
  }
  FontRef RescaleBannerFont(std::uint32_t dpi) override {
    rescaledTo.push_back(dpi);
    if (!rescaleWorks) return nullptr;
    ++counts_.fontsMade;
    return &counts_;
  }
  void ReleaseFont(FontRef font) override {
    EXPECT_EQ(font, &counts_);
    ++counts_.fontsReleased;
  }
  void SetVersionText(const char* text) override { versionText = text; }
  void SetVersionTextFromString(std::uint16_t stringId) override { versionStringId = stringId; }
  void AddLanguage(const wchar_t* name, std::uint16_t languageId) override { languages.emplace_back(name, languageId); }
  void SelectLanguage(int index) override { selected = index; }
  bool SelectedLanguage(std::uintptr_t* itemData) override {
    if (selected < 0 || !selectionReadable) return false;
    *itemData = itemDataOverride != 0 ? itemDataOverride : languages.at(static_cast<std::size_t>(selected)).second;
    return true;
  }
  bool AddAboutMenuItem(std::uint32_t command) override {
    if (!hasSystemMenu) return false;
    menuItems.push_back(command);
    return true;
  }
  void ShowAboutBox() override { ++aboutBoxes; }
  int ShowMessage(std::uint16_t text, std::uint16_t caption, std::uint32_t style) override {
    messages.push_back({text, caption, style});
    return answer;
  }
  void Destroy() override {
    ++destroyed;
    if (window != nullptr) window->OnDestroyed();
  }
  void PostQuit(int exitCode) override { quits.push_back(exitCode); }

 private:
  Counts& counts_;
};

// The portable tests' bus: no unit on it.
struct NoUnitLink {
  NoUnitUsb usb;
  VirtualClock clock;
  PostedMessageQueue poster;
  DeviceLinkContext context{&usb, &clock, &poster, nullptr};
};

class FakeServices final : private NoUnitLink, public FakeMainWindowServices<Counts> {
 public:
  explicit FakeServices(Counts& counts) : FakeMainWindowServices<Counts>(counts, context) {}
};

int g_windowToken;
WindowRef const kWindow = &g_windowToken;

class MainWindowTest : public ::testing::Test {
 protected:
  Counts counts;
  FakeView view{counts};
  FakeServices services{counts};
  std::int32_t restartFlag = 0;
  MainWindow window{kWindow, view, services, restartFlag};

  void SetUp() override { view.window = &window; }

  void SelectEntry(int index) {
    view.selected = index;
    window.OnLanguageChosen();
  }
};

}  // namespace

TEST_F(MainWindowTest, InitialisationShowsVersionLanguagesMenuAndMakesTheLoader) {
  TraceCapture trace;
  window.OnOpened();

  EXPECT_THAT(trace.Texts(), ElementsAre("Message: WM_INITDIALOG"));
  EXPECT_TRUE(view.iconsSet);
  EXPECT_TRUE(view.messages.empty());
  EXPECT_FALSE(view.updateDisabled);
  EXPECT_EQ(view.versionText, "001.005.019");
  EXPECT_EQ(view.versionStringId, 0);
  const std::vector<std::pair<std::wstring, std::uint16_t>> expected = {
      {L"English", 1033}, {L"Deutsch", 1031}, {L"Fran\u00e7ais", 1036}, {L"Italiano", 1040}, {L"Espa\u00f1ol", 3082}};
  EXPECT_EQ(view.languages, expected);
  EXPECT_EQ(view.selected, 0);
  EXPECT_THAT(view.menuItems, ElementsAre(116u));
  EXPECT_NE(window.Loader(), nullptr);
  EXPECT_EQ(counts.loadersMade, 1);
  EXPECT_EQ(counts.fontsMade, 1);
  EXPECT_EQ(view.destroyed, 0);
}

TEST_F(MainWindowTest, TheStoredLanguageIsSelectedAndAForeignOneLeavesNoSelection) {
  const struct {
    std::uint16_t stored;
    int selected;
  } cases[] = {{1033, 0}, {1031, 1}, {1036, 2}, {1040, 3}, {3082, 4}, {2057, -1}};
  for (const auto& c : cases) {
    Counts counts;
    FakeView view(counts);
    FakeServices services(counts);
    services.language = c.stored;
    std::int32_t flag = 0;
    MainWindow w(kWindow, view, services, flag);
    view.window = &w;
    w.OnOpened();
    EXPECT_EQ(view.selected, c.selected) << c.stored;
  }
}

TEST_F(MainWindowTest, CorruptedImageWarnsShowsInvalidAndDisablesUpdate) {
  services.imagesValid = false;
  window.OnOpened();

  EXPECT_THAT(view.messages, ElementsAre(Message{40020, 40010, 0x30}));
  EXPECT_TRUE(view.updateDisabled);
  EXPECT_EQ(view.versionStringId, 40021);
  EXPECT_EQ(view.versionText, "");
  // The rest of the window works.
  EXPECT_NE(window.Loader(), nullptr);
  EXPECT_EQ(view.languages.size(), 5u);
  window.OnAboutAsked();
  EXPECT_EQ(view.aboutBoxes, 1);
}

TEST_F(MainWindowTest, ALabelWithoutFontKeepsItsOwnAndNothingIsReleased) {
  view.labelHasFont = false;
  window.OnOpened();
  EXPECT_EQ(window.BannerFont(), nullptr);
  window.OnDestroyed();
  EXPECT_EQ(counts.fontsReleased, 0);
}

// A change of DPI makes the banner's font anew and gives back the one it replaces; no font to replace, or none
// made, leaves the banner as it is. Nothing is traced and nothing leaks.
TEST(MainWindowDpi, TheBannerIsMadeAgainForTheNewDpi) {
  const struct {
    const char* what;
    bool labelHasFont;
    bool rescaleWorks;
    std::vector<std::uint32_t> askedFor;
    int madeAfterChanges;
    int releasedAfterChanges;
  } cases[] = {
      {"banner rescaled twice", true, true, {144, 96}, 3, 2},
      {"no font could be made", true, false, {144, 96}, 1, 0},
      {"label without a font", false, true, {}, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Counts counts;
    FakeView view{counts};
    view.labelHasFont = c.labelHasFont;
    view.rescaleWorks = c.rescaleWorks;
    FakeServices services{counts};
    std::int32_t restartFlag = 0;
    MainWindow window{kWindow, view, services, restartFlag};
    view.window = &window;
    window.OnOpened();
    TraceCapture trace;
    window.OnDpiChanged(144);
    window.OnDpiChanged(96);
    EXPECT_TRUE(trace.Lines().empty());
    EXPECT_EQ(view.rescaledTo, c.askedFor);
    EXPECT_EQ(counts.fontsMade, c.madeAfterChanges);
    EXPECT_EQ(counts.fontsReleased, c.releasedAfterChanges);
    EXPECT_EQ(window.BannerFont() != nullptr, c.labelHasFont);
    window.OnDestroyed();
    EXPECT_EQ(counts.fontsReleased, counts.fontsMade);
  }
}

TEST_F(MainWindowTest, AWindowWithoutSystemMenuStillStarts) {
  view.hasSystemMenu = false;
  window.OnOpened();
  EXPECT_TRUE(view.menuItems.empty());
  EXPECT_NE(window.Loader(), nullptr);
}

TEST_F(MainWindowTest, NoLoaderDestroysTheWindowAtOnce) {
  services.loaderFails = true;
  restartFlag = 1;
  TraceCapture trace;
  window.OnOpened();
  EXPECT_EQ(view.destroyed, 1);
  EXPECT_THAT(view.quits, ElementsAre(0));
  EXPECT_EQ(counts.fontsMade, counts.fontsReleased);
  EXPECT_THAT(trace.Texts(), ElementsAre("Message: WM_INITDIALOG", "Message: WM_DESTROY"));
}

TEST_F(MainWindowTest, ChoosingTheLanguageAlreadySetChangesNothing) {
  window.OnOpened();
  TraceCapture trace;
  SelectEntry(0);
  EXPECT_THAT(trace.Texts(), ElementsAre("Message: WM_COMMAND -> IDC_SELECT_LANG -> CBN_SELCHANGE"));
  EXPECT_TRUE(services.written.empty());
  EXPECT_EQ(view.destroyed, 0);
  EXPECT_EQ(restartFlag, 0);
  EXPECT_NE(window.Loader(), nullptr);
}

TEST_F(MainWindowTest, ChoosingAnotherLanguageStoresItAndRestarts) {
  window.OnOpened();
  TraceCapture trace;
  SelectEntry(1);
  EXPECT_THAT(services.written, ElementsAre(1031));
  EXPECT_EQ(restartFlag, 1);
  EXPECT_EQ(view.destroyed, 1);
  EXPECT_THAT(view.quits, ElementsAre(0));
  EXPECT_EQ(window.Loader(), nullptr);
  EXPECT_EQ(counts.loadersDeleted, 1);
  EXPECT_EQ(counts.fontsReleased, 1);
  EXPECT_THAT(trace.Texts(), ElementsAre("Message: WM_COMMAND -> IDC_SELECT_LANG -> CBN_SELCHANGE",
                                         "Message: WM_DESTROY", "FirmwareUpdateCleanup for unknown Firmware Source!"));
}

TEST_F(MainWindowTest, ItemDataIsComparedAsSixteenBits) {
  window.OnOpened();
  services.language = 1031;
  view.itemDataOverride = 0x10000 + 1031;  // the high bits do not count
  SelectEntry(0);
  EXPECT_TRUE(services.written.empty());
}

TEST_F(MainWindowTest, NoSelectionOrUnreadableDataChangesNothing) {
  window.OnOpened();
  SelectEntry(-1);
  view.selectionReadable = false;
  SelectEntry(2);
  EXPECT_TRUE(services.written.empty());
  EXPECT_EQ(view.destroyed, 0);
}

TEST_F(MainWindowTest, ExitOrCloseWithoutAnUpdateClosesAtOnce) {
  const struct {
    bool viaExit;
    const char* line;
  } cases[] = {{true, "Message: WM_COMMAND -> IDCANCEL"}, {false, "Message: WM_CLOSE"}};
  for (const auto& c : cases) {
    Counts counts;
    FakeView view(counts);
    FakeServices services(counts);
    std::int32_t flag = 1;
    MainWindow w(kWindow, view, services, flag);
    view.window = &w;
    w.OnOpened();
    TraceCapture trace;
    c.viaExit ? w.OnExitPressed() : w.OnCloseAsked();
    EXPECT_TRUE(view.messages.empty()) << c.line;
    EXPECT_EQ(view.destroyed, 1) << c.line;
    EXPECT_EQ(flag, 0) << c.line;
    EXPECT_THAT(trace.Texts(),
                ElementsAre(c.line, "Message: WM_DESTROY", "FirmwareUpdateCleanup for unknown Firmware Source!"));
  }
}

TEST_F(MainWindowTest, CloseDuringAnUpdateAsksAndOnlyNoKeepsTheWindow) {
  const struct {
    int answer;
    int destroyed;
  } cases[] = {{7, 0}, {6, 1}, {0, 1}};  // No, Yes, a box that could not be shown
  for (const auto& c : cases) {
    for (bool viaExit : {true, false}) {
      Counts counts;
      FakeView view(counts);
      FakeServices services(counts);
      std::int32_t flag = 1;
      MainWindow w(kWindow, view, services, flag);
      view.window = &w;
      w.OnOpened();
      view.answer = c.answer;
      w.Loader()->busy.store(1);  // as the worker sets it while an update runs
      viaExit ? w.OnExitPressed() : w.OnCloseAsked();
      EXPECT_THAT(view.messages, ElementsAre(Message{40017, 40009, 0x1124})) << c.answer;
      EXPECT_EQ(view.destroyed, c.destroyed) << c.answer;
      EXPECT_EQ(w.Loader() == nullptr, c.destroyed == 1) << c.answer;
      EXPECT_EQ(flag, 0) << c.answer;
    }
  }
}

TEST_F(MainWindowTest, UpdateHandsTheLoaderToTheSequencer) {
  window.OnOpened();
  TraceCapture trace;
  window.OnUpdatePressed();
  EXPECT_THAT(trace.Texts(), ElementsAre("Message: WM_COMMAND -> IDB_RESOURCE"));
  ASSERT_EQ(services.progressWindows.size(), 1u);
  EXPECT_EQ(services.progressWindows[0].first, kWindow);
  EXPECT_EQ(services.progressWindows[0].second, window.Loader());
}

TEST_F(MainWindowTest, UnknownCommandsAreTraced) {
  window.OnOpened();
  TraceCapture trace;
  window.OnUnknownCommand(1);
  window.OnUnknownCommand(40005);
  EXPECT_THAT(trace.Texts(), ElementsAre("Message: WM_COMMAND -> Unknown 1", "Message: WM_COMMAND -> Unknown 40005"));
}

TEST_F(MainWindowTest, AboutOpensTheAboutBox) {
  window.OnOpened();
  TraceCapture trace;
  window.OnAboutAsked();
  EXPECT_EQ(view.aboutBoxes, 1);
  EXPECT_THAT(trace.Texts(), ElementsAre("Message: WM_SYSCOMMAND -> IDD_ABOUTBOX"));
}

TEST(MainWindowLifetime, ManyLanguageChangesLeakNeitherFontsNorLoaders) {
  Counts counts;
  FakeServices services(counts);
  std::int32_t flag = 0;
  for (int round = 0; round < 50; ++round) {
    FakeView view(counts);
    MainWindow w(kWindow, view, services, flag);
    view.window = &w;
    w.OnOpened();
    view.selected = (round + 1) % 5;
    if (view.languages[static_cast<std::size_t>(view.selected)].second == services.language) view.selected = 0;
    w.OnLanguageChosen();
    ASSERT_EQ(flag, 1) << round;
    EXPECT_EQ(counts.fontsMade, counts.fontsReleased) << round;
    EXPECT_EQ(counts.loadersMade, counts.loadersDeleted) << round;
  }
  EXPECT_EQ(counts.fontsMade, 50);
  EXPECT_EQ(counts.loadersMade, 50);
}

TEST(MainWindowLifetime, AWindowDroppedWithoutDestructionStillReleases) {
  Counts counts;
  FakeServices services(counts);
  std::int32_t flag = 0;
  {
    FakeView view(counts);
    MainWindow w(kWindow, view, services, flag);
    w.OnOpened();
  }
  EXPECT_EQ(counts.fontsReleased, 1);
  EXPECT_EQ(counts.loadersDeleted, 1);
}

TEST_F(MainWindowTest, TheTraceOfAWholeLife) {
  TraceCapture trace;
  window.OnOpened();
  window.OnAboutAsked();
  window.OnLanguageChosen();  // the language already set: nothing happens
  window.OnExitPressed();
  EXPECT_THAT(
      trace.Lines(),
      ElementsAre("[Tavik_FW_Update] Message: WM_INITDIALOG\r\n",
                  "[Tavik_FW_Update] Message: WM_SYSCOMMAND -> IDD_ABOUTBOX\r\n",
                  "[Tavik_FW_Update] Message: WM_COMMAND -> IDC_SELECT_LANG -> CBN_SELCHANGE\r\n",
                  "[Tavik_FW_Update] Message: WM_COMMAND -> IDCANCEL\r\n", "[Tavik_FW_Update] Message: WM_DESTROY\r\n",
                  "[Tavik_FW_Update] FirmwareUpdateCleanup for unknown Firmware Source!\r\n"));
}
