#pragma once
// The main window's services for its tests: the images' verdict, the stored language and the loaders are the
// test's to set and read; a loader counts its life in the test's record (see counting_loader.h) and works on the
// bus the test gives; an opened progress window is only recorded.

#include <cstdint>
#include <utility>
#include <vector>

#include "support/counting_loader.h"
#include "ui/main_window.h"
#include "usb/usb_fw_loader.h"

template <typename Counts>
class FakeMainWindowServices : public MainWindowServices {
 public:
  FakeMainWindowServices(Counts& counts, const DeviceLinkContext& context) : counts_(counts), context_(context) {}

  bool imagesValid = true;
  bool loaderFails = false;
  std::uint16_t language = 1033;
  std::vector<std::uint16_t> written;
  std::vector<std::pair<WindowRef, UsbFwLoader*>> progressWindows;
  UsbFwLoader* lastLoader = nullptr;

  bool ValidateFirmwareImages() override { return imagesValid; }
  const char* ApplicationVersion() override { return "001.005.019"; }
  std::uint16_t ReadUiLanguage() override { return language; }
  void WriteUiLanguage(std::uint16_t languageId) override {
    written.push_back(languageId);
    language = languageId;
  }
  UsbFwLoader* CreateLoader() override {
    lastLoader = loaderFails ? nullptr : new CountingLoader<Counts>(context_, counts_);
    return lastLoader;
  }
  void OpenProgressWindow(WindowRef mainWindow, UsbFwLoader* loader) override {
    progressWindows.emplace_back(mainWindow, loader);
  }

 private:
  Counts& counts_;
  DeviceLinkContext context_;
};
