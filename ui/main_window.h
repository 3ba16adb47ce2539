#pragma once
// The main window's logic: initialisation, the close request, "Update!", the language chooser, the About
// box and destruction, with their trace lines. Platform-free: it talks to a MainWindowView for the window
// and to MainWindowServices for the other parts of the program.

#include <cstdint>
#include <memory>

#include "app/message_poster.h"
#include "ui/main_window_view.h"
#include "ui/progress_window_view.h"
#include "ui/resource_ids.h"
#include "ui/ui_language.h"

class UsbFwLoader;

// The question before quitting during an update: a question that stays above every window.
inline constexpr std::uint32_t MAIN_QUIT_QUESTION_STYLE = UI_QUESTION_STYLE | WIN_MB_SYSTEMMODAL;

// What the main window calls in the other parts of the program.
class MainWindowServices {
 public:
  virtual ~MainWindowServices() = default;
  // Checks both embedded images; fills the application image's record.
  virtual bool ValidateFirmwareImages() = 0;
  // The application image's version text (8-bit), valid after a successful validation.
  virtual const char* ApplicationVersion() = 0;
  virtual std::uint16_t ReadUiLanguage() = 0;
  virtual void WriteUiLanguage(std::uint16_t languageId) = 0;
  // A new loader, or null when none can be made.
  virtual UsbFwLoader* CreateLoader() = 0;
  // Hands the update to the sequencer: the progress window, owned by the main window.
  virtual void OpenProgressWindow(WindowRef mainWindow, UsbFwLoader* loader) = 0;
};

class MainWindow {
 public:
  // `restartFlag` is start-up's flag: 1 when the window ends for a change of language, else 0.
  MainWindow(WindowRef window, MainWindowView& view, MainWindowServices& services, std::int32_t& restartFlag);
  ~MainWindow();
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // What happened to the window, as its view reports it.
  void OnOpened();                          // made, being initialised
  void OnCloseAsked();                      // the caption's close button or the system menu's "Close"
  void OnExitPressed();                     // "Exit" (or Esc)
  void OnUpdatePressed();                   // "Update!"
  void OnLanguageChosen();                  // the chooser's selection changed
  void OnUnknownCommand(std::uint16_t id);  // any other command (left unhandled)
  void OnAboutAsked();                      // the system menu's "About ..."
  void OnDpiChanged(std::uint32_t dpi);     // moved to a monitor of another scale (no trace line)
  void OnDestroyed();

  UsbFwLoader* Loader() const { return loader_.get(); }
  FontRef BannerFont() const { return bannerFont_; }

 private:
  void CloseRequest();
  void ApplyLanguageChoice();
  void ReleaseResources();

  WindowRef window_;
  MainWindowView& view_;
  MainWindowServices& services_;
  std::int32_t& restartFlag_;
  std::unique_ptr<UsbFwLoader> loader_;
  FontRef bannerFont_ = nullptr;
};
