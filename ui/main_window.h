#pragma once
// The main window's logic: initialisation, the close request, "Update!", the language chooser, the About
// box and destruction, with their trace lines. Platform-free: it talks to a MainWindowView for the window
// and to MainWindowServices for the other parts of the program.

#include <cstdint>
#include <memory>

#include "app/message_poster.h"
#include "ui/main_window_view.h"
#include "ui/resource_ids.h"
#include "ui/ui_language.h"

class UsbFwLoader;

// The dialog's "Exit" button and the chooser's selection notification (the Win32 values).
inline constexpr std::uint16_t MAIN_ID_CANCEL = 2;  // IDCANCEL
inline constexpr std::uint16_t MAIN_CBN_SELCHANGE = 1;

// Message box styles and answers (the Win32 values).
inline constexpr std::uint32_t MAIN_STYLE_WARNING = 0x30;  // MB_ICONWARNING
inline constexpr std::uint32_t MAIN_STYLE_QUIT_QUESTION =
    0x1124;                               // MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON2|MB_SYSTEMMODAL
inline constexpr int MAIN_ANSWER_NO = 7;  // IDNO

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

  // Each returns true when it handled the message.
  bool OnInitDialog();
  bool OnClose();
  bool OnCommand(std::uint16_t id, std::uint16_t notification);
  bool OnSysCommand(std::uintptr_t command);
  bool OnDestroy();

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
