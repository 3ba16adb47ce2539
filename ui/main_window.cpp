#include "ui/main_window.h"

#include <new>

#include "app/trace.h"
#include "usb/usb_fw_loader.h"

MainWindow::MainWindow(WindowRef window, MainWindowView& view, MainWindowServices& services, std::int32_t& restartFlag)
    : window_(window), view_(view), services_(services), restartFlag_(restartFlag) {}

// A window that never saw its destruction message still gives back what it holds.
MainWindow::~MainWindow() { ReleaseResources(); }

void MainWindow::OnOpened() {
  Trace("Message: WM_INITDIALOG");
  view_.SetIcons();

  const bool imagesValid = services_.ValidateFirmwareImages();
  if (!imagesValid) {
    view_.ShowMessage(IDS_IMAGE_CORRUPTED, IDS_CAPTION_ERROR, WIN_MB_ICONWARNING);
    view_.DisableUpdateButton();
  }

  bannerFont_ = view_.CreateBannerFont();
  if (imagesValid) {
    view_.SetVersionText(services_.ApplicationVersion());
  } else {
    view_.SetVersionTextFromString(IDS_VERSION_INVALID);
  }

  const std::uint16_t current = services_.ReadUiLanguage();
  int index = 0;
  for (const UiLanguageEntry& language : UI_LANGUAGES) {
    view_.AddLanguage(language.name, language.id);
    if (language.id == current) view_.SelectLanguage(index);
    ++index;
  }

  view_.AddAboutMenuItem(IDD_ABOUTBOX);

  loader_.reset(services_.CreateLoader());
  if (!loader_) view_.Destroy();
}

void MainWindow::OnCloseAsked() {
  Trace("Message: WM_CLOSE");
  CloseRequest();
  restartFlag_ = 0;
}

void MainWindow::OnExitPressed() {
  Trace("Message: WM_COMMAND -> IDCANCEL");
  CloseRequest();
  restartFlag_ = 0;
}

void MainWindow::OnUpdatePressed() {
  Trace("Message: WM_COMMAND -> IDB_RESOURCE");
  if (loader_) services_.OpenProgressWindow(window_, loader_.get());
}

void MainWindow::OnLanguageChosen() {
  Trace("Message: WM_COMMAND -> IDC_SELECT_LANG -> CBN_SELCHANGE");
  ApplyLanguageChoice();
}

void MainWindow::OnUnknownCommand(std::uint16_t id) { Trace("Message: WM_COMMAND -> Unknown %d", id); }

void MainWindow::OnAboutAsked() {
  Trace("Message: WM_SYSCOMMAND -> IDD_ABOUTBOX");
  view_.ShowAboutBox();
}

void MainWindow::OnDestroyed() {
  Trace("Message: WM_DESTROY\n");
  ReleaseResources();
  view_.PostQuit(0);
}

// While an update runs the user is asked first; only "No" keeps the window.
void MainWindow::CloseRequest() {
  if (loader_ && loader_->IsBusy()) {
    const int answer = view_.ShowMessage(IDS_CONFIRM_QUIT, IDS_CAPTION_INFORMATION, MAIN_QUIT_QUESTION_STYLE);
    if (answer == WIN_IDNO) return;
  }
  view_.Destroy();
}

// A new language takes effect by recreating the window: start-up sees the restart flag.
void MainWindow::ApplyLanguageChoice() {
  std::uintptr_t itemData = 0;
  if (!view_.SelectedLanguage(&itemData)) return;
  const auto chosen = static_cast<std::uint16_t>(itemData);
  if (chosen == services_.ReadUiLanguage()) return;
  services_.WriteUiLanguage(chosen);
  restartFlag_ = 1;
  view_.Destroy();
}

void MainWindow::OnDpiChanged(std::uint32_t dpi) {
  if (bannerFont_ == nullptr) return;  // a label without a font of its own keeps the system's
  FontRef rescaled = view_.RescaleBannerFont(dpi);
  if (rescaled == nullptr) return;
  view_.ReleaseFont(bannerFont_);  // the label no longer holds it
  bannerFont_ = rescaled;
}

// The loader's destructor stops a running worker before anything it uses goes.
void MainWindow::ReleaseResources() {
  if (bannerFont_ != nullptr) {
    view_.ReleaseFont(bannerFont_);
    bannerFont_ = nullptr;
  }
  loader_.reset();
}
