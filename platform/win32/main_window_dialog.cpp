#include "platform/win32/main_window_dialog.h"

#include <new>

#include "app/settings_store.h"
#include "image/firmware_image.h"
#include "platform/win32/main_window_shell.h"
#include "platform/win32/message_box.h"
#include "platform/win32/ui_dialog.h"
#include "ui/ui_language.h"
#include "ui/update_controller.h"
#include "usb/usb_fw_loader.h"

static_assert(sizeof(wchar_t) == 2, "Win32 texts are UTF-16");

namespace {

const wchar_t ABOUT_MENU_TEXT[] = L"About ...";

// The DPI of the window's monitor (Windows 10 1607 and later), else of the screen.
UINT WindowDpi(HWND window) {
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  const auto getDpi = reinterpret_cast<GetDpiForWindowFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (getDpi != nullptr) {
    const UINT dpi = getDpi(window);
    if (dpi != 0) return dpi;
  }
  HDC screen = GetDC(nullptr);
  const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
  if (screen != nullptr) ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : USER_DEFAULT_SCREEN_DPI;
}

// On a change of DPI the dialog manager gives every control the dialog's font made anew (Windows 10 1703 and
// later, per-monitor v2): the banner would fall back to the plain font. Earlier systems send no such update.
void KeepOutOfDpiFontUpdate(HWND control) {
  using SetBehaviorFn = BOOL(WINAPI*)(HWND, DIALOG_CONTROL_DPI_CHANGE_BEHAVIORS, DIALOG_CONTROL_DPI_CHANGE_BEHAVIORS);
  const auto setBehavior = reinterpret_cast<SetBehaviorFn>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetDialogControlDpiChangeBehavior")));
  if (setBehavior != nullptr && control != nullptr) {
    setBehavior(control, DCDC_DISABLE_FONT_UPDATE, DCDC_DISABLE_FONT_UPDATE);
  }
}

// The window's side of the logic: every call goes straight to the dialog and its controls.
class Win32MainWindowView final : public MainWindowView {
 public:
  explicit Win32MainWindowView(HWND window) : window_(window) {}

  void SetIcons() override {
    // Shared icons belong to the system's cache: they are never destroyed by us.
    HINSTANCE module = GetModuleHandleW(nullptr);
    auto load = [module](int sizeX, int sizeY) {
      return LoadImageW(module, MAKEINTRESOURCEW(IDI_UPDATER), IMAGE_ICON, GetSystemMetrics(sizeX),
                        GetSystemMetrics(sizeY), LR_SHARED);
    };
    SetClassLongPtrW(window_, GCLP_HICON, reinterpret_cast<LONG_PTR>(load(SM_CXICON, SM_CYICON)));
    SetClassLongPtrW(window_, GCLP_HICONSM, reinterpret_cast<LONG_PTR>(load(SM_CXSMICON, SM_CYSMICON)));
  }

  void DisableUpdateButton() override { EnableWindow(GetDlgItem(window_, IDB_RESOURCE), FALSE); }

  FontRef CreateBannerFont() override {
    auto labelFont = reinterpret_cast<HFONT>(SendDlgItemMessageW(window_, IDC_VERSION_LABEL, WM_GETFONT, 0, 0));
    if (labelFont == nullptr) return nullptr;
    if (GetObjectW(labelFont, sizeof(plainFont_), &plainFont_) == 0) return nullptr;
    plainDpi_ = WindowDpi(window_);
    KeepOutOfDpiFontUpdate(GetDlgItem(window_, IDC_VERSION_LABEL));
    return SetBanner(plainFont_.lfHeight, FALSE);
  }

  FontRef RescaleBannerFont(std::uint32_t dpi) override {
    if (dpi == 0 || plainDpi_ == 0) return nullptr;
    return SetBanner(MulDiv(plainFont_.lfHeight, static_cast<int>(dpi), static_cast<int>(plainDpi_)), TRUE);
  }

  void ReleaseFont(FontRef font) override { DeleteObject(static_cast<HFONT>(font)); }

  void SetVersionText(const char* text) override { SetDlgItemTextA(window_, IDC_VERSION_LABEL, text); }

  void SetVersionTextFromString(std::uint16_t stringId) override {
    wchar_t text[UI_TEXT_CAPACITY];
    if (LoadUiString(stringId, text) > 0) SetDlgItemTextW(window_, IDC_VERSION_LABEL, text);
  }

  void AddLanguage(const wchar_t* name, std::uint16_t languageId) override {
    const LRESULT index =
        SendDlgItemMessageW(window_, IDC_SELECT_LANG, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    if (index >= 0) SendDlgItemMessageW(window_, IDC_SELECT_LANG, CB_SETITEMDATA, index, languageId);
  }

  void SelectLanguage(int index) override { SendDlgItemMessageW(window_, IDC_SELECT_LANG, CB_SETCURSEL, index, 0); }

  bool SelectedLanguage(std::uintptr_t* itemData) override {
    const LRESULT index = SendDlgItemMessageW(window_, IDC_SELECT_LANG, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) return false;
    const LRESULT data = SendDlgItemMessageW(window_, IDC_SELECT_LANG, CB_GETITEMDATA, index, 0);
    if (data == CB_ERR) return false;
    *itemData = static_cast<std::uintptr_t>(data);
    return true;
  }

  bool AddAboutMenuItem(std::uint32_t command) override {
    HMENU menu = GetSystemMenu(window_, FALSE);
    if (menu == nullptr) return false;
    return InsertMenuW(menu, 0, MF_BYCOMMAND | MF_STRING, command, ABOUT_MENU_TEXT) != FALSE;
  }

  void ShowAboutBox() override { ShowUiDialog(IDD_ABOUTBOX, window_, AboutBoxProc); }

  int ShowMessage(std::uint16_t textId, std::uint16_t captionId, std::uint32_t style) override {
    return MessageBoxFromIds(window_, textId, captionId, style);
  }

  void Destroy() override { DestroyWindow(window_); }
  void PostQuit(int exitCode) override { PostQuitMessage(exitCode); }

 private:
  // The label's plain font at `plainHeight`, twice as high and bold, set on the label.
  HFONT SetBanner(LONG plainHeight, BOOL redraw) {
    LOGFONTW font = plainFont_;
    font.lfHeight = plainHeight * 2;
    font.lfWeight = FW_BOLD;
    HFONT banner = CreateFontIndirectW(&font);
    if (banner != nullptr) {
      SendDlgItemMessageW(window_, IDC_VERSION_LABEL, WM_SETFONT, reinterpret_cast<WPARAM>(banner), redraw);
    }
    return banner;
  }

  HWND window_;
  LOGFONTW plainFont_{};  // the label's font as the dialog made it
  UINT plainDpi_ = 0;     // the DPI it was made for
};

// What the dialog procedure keeps per window, from WM_INITDIALOG to WM_NCDESTROY.
struct MainWindowSetup {
  MainWindowServices* services;
  std::int32_t* restartFlag;
};

class Win32MainWindow {
 public:
  Win32MainWindow(HWND window, const MainWindowSetup& setup)
      : view_(window), logic_(window, view_, *setup.services, *setup.restartFlag) {}
  MainWindow& Logic() { return logic_; }

  // The logic destroys the window from inside its own handlers; the object goes only once the outermost
  // handler has returned.
  int depth = 0;
  bool ended = false;

 private:
  Win32MainWindowView view_;
  MainWindow logic_;  // after the view: it releases the font through the view when it goes
};

// The main window's message table: each message becomes the event it stands for; returns whether the message
// counts as handled.
bool Dispatch(MainWindow& logic, UINT message, WPARAM wParam) {
  switch (message) {
    case WM_INITDIALOG:
      logic.OnOpened();
      return true;
    case WM_CLOSE:
      logic.OnCloseAsked();
      return true;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDCANCEL:
          logic.OnExitPressed();
          return true;
        case IDB_RESOURCE:
          logic.OnUpdatePressed();
          return true;
        case IDC_SELECT_LANG:
          // The chooser's other notifications (focus, drop-down) are not ours.
          if (HIWORD(wParam) != CBN_SELCHANGE) return false;
          logic.OnLanguageChosen();
          return true;
        default:
          logic.OnUnknownCommand(LOWORD(wParam));
          return false;
      }
    case WM_SYSCOMMAND:
      if (wParam != IDD_ABOUTBOX) return false;  // the value exactly: other system commands are the system's
      logic.OnAboutAsked();
      return true;
    case WM_DESTROY:
      logic.OnDestroyed();
      return true;
    case WM_DPICHANGED:
      logic.OnDpiChanged(HIWORD(wParam));  // the vertical DPI: the font's height
      return false;                        // the dialog manager still scales the window and its controls
    default:
      return false;
  }
}

INT_PTR CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<Win32MainWindow*>(GetWindowLongPtrW(window, DWLP_USER));
  if (message == WM_INITDIALOG) {
    self = new (std::nothrow) Win32MainWindow(window, *reinterpret_cast<const MainWindowSetup*>(lParam));
    if (self == nullptr) {
      DestroyWindow(window);
      return TRUE;
    }
    SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
  }
  if (self == nullptr) return FALSE;
  // The shell's messages (trace folder item, taskbar button) never reach the logic.
  if (HandleMainWindowShellMessage(window, message, wParam)) return TRUE;

  ++self->depth;
  const bool handled = Dispatch(self->Logic(), message, wParam);
  --self->depth;
  if (message == WM_INITDIALOG) InitMainWindowShell(window);
  // After its destruction message the window has nothing more for the logic.
  if (message == WM_DESTROY) {
    SetWindowLongPtrW(window, DWLP_USER, 0);
    self->ended = true;
  }
  if (self->ended && self->depth == 0) delete self;
  return handled ? TRUE : FALSE;
}

}  // namespace

bool ProgramMainWindowServices::ValidateFirmwareImages() { return ::ValidateFirmwareImages(*context_.resources) != 0; }

const char* ProgramMainWindowServices::ApplicationVersion() { return ApplicationImageInfo.version; }

std::uint16_t ProgramMainWindowServices::ReadUiLanguage() { return settings_.ReadUiLanguage(); }

void ProgramMainWindowServices::WriteUiLanguage(std::uint16_t languageId) { settings_.WriteUiLanguage(languageId); }

UsbFwLoader* ProgramMainWindowServices::CreateLoader() { return new (std::nothrow) UsbFwLoader(context_.DeviceLink()); }

void ProgramMainWindowServices::OpenProgressWindow(WindowRef mainWindow, UsbFwLoader* loader) {
  controller_.OpenProgressWindow(mainWindow, loader, &ApplicationImageInfo);
}

HWND CreateMainWindow(MainWindowServices& services, std::int32_t& restartFlag) {
  MainWindowSetup setup{&services, &restartFlag};
  HWND window = CreateUiDialog(IDD_MAIN_WINDOW, nullptr, MainWindowProc, reinterpret_cast<LPARAM>(&setup));
  // A window that ended during its initialisation is no window (not every dialog manager returns null then).
  return window != nullptr && IsWindow(window) ? window : nullptr;
}

// Closes on its close button and on "Ok"; every command counts as handled.
INT_PTR CALLBACK AboutBoxProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_CLOSE:
      EndDialog(window, 0);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK) EndDialog(window, 0);
      return TRUE;
    default:
      return FALSE;
  }
}
