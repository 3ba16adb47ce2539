#pragma once
// The main window on Win32: dialog 117 in the interface language, modeless and without owner, driven by the
// platform-free MainWindow logic. Also the program's own services of the main window (the real image
// catalogue, settings store, loader and sequencer).

#include <windows.h>

#include <cstdint>

#include "app/platform_context.h"
#include "ui/main_window.h"

class SettingsStore;
class UpdateController;

// The other parts of the program as the updater and its demo have them; the loader runs on `context`
// (the real USB stack for the updater, the emulated unit for the demo).
class ProgramMainWindowServices final : public MainWindowServices {
 public:
  ProgramMainWindowServices(const PlatformContext& context, SettingsStore& settings, UpdateController& controller)
      : context_(context), settings_(settings), controller_(controller) {}
  bool ValidateFirmwareImages() override;
  const char* ApplicationVersion() override;
  std::uint16_t ReadUiLanguage() override;
  void WriteUiLanguage(std::uint16_t languageId) override;
  UsbFwLoader* CreateLoader() override;
  void OpenProgressWindow(WindowRef mainWindow, UsbFwLoader* loader) override;

 private:
  PlatformContext context_;
  SettingsStore& settings_;
  UpdateController& controller_;
};

// Creates the main window; null if it could not be created (or ended while it started, for want of a
// loader). `services` and `restartFlag` must outlive the window.
HWND CreateMainWindow(MainWindowServices& services, std::int32_t& restartFlag);

// The About box's dialog procedure (template 116).
INT_PTR CALLBACK AboutBoxProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
