#pragma once
// What the main window's logic asks of its window. The Win32 dialog implements it; tests use a fake.

#include <cstdint>

using FontRef = void*;  // an HFONT on Windows; null: no font

class MainWindowView {
 public:
  virtual ~MainWindowView() = default;

  // The window class's large and small icons from icon group 113.
  virtual void SetIcons() = 0;
  virtual void DisableUpdateButton() = 0;

  // A copy of the version label's font with twice its height and weight 700, set on the label without
  // redrawing. Null when the label reports no font: it then keeps its default one.
  virtual FontRef CreateBannerFont() = 0;
  // The banner's font made again for the window's new `dpi` (dots per inch) and set on the label, redrawn; null
  // when none could be made (the label keeps the font it has). The label takes no part in the font update that
  // the system gives the other controls on a change of DPI.
  virtual FontRef RescaleBannerFont(std::uint32_t dpi) = 0;
  virtual void ReleaseFont(FontRef font) = 0;

  // The version label: the image's 8-bit version text, or a string loaded in the interface language
  // (a string that cannot be loaded leaves the label as it is).
  virtual void SetVersionText(const char* text) = 0;
  virtual void SetVersionTextFromString(std::uint16_t stringId) = 0;

  // The language chooser: entries appended at the end with the language identifier as item data.
  virtual void AddLanguage(const wchar_t* name, std::uint16_t languageId) = 0;
  virtual void SelectLanguage(int index) = 0;
  // The item data of the selected entry; false when nothing is selected or the data cannot be read.
  virtual bool SelectedLanguage(std::uintptr_t* itemData) = 0;

  // Adds "About ..." with the given command to the system menu; false when the window has none.
  virtual bool AddAboutMenuItem(std::uint32_t command) = 0;
  // The About box, modal, owned by the window.
  virtual void ShowAboutBox() = 0;

  // A message box owned by the window, texts by string id in the interface language; the button pressed or 0.
  virtual int ShowMessage(std::uint16_t textId, std::uint16_t captionId, std::uint32_t style) = 0;

  virtual void Destroy() = 0;
  virtual void PostQuit(int exitCode) = 0;
};
