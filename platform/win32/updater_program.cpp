#include "platform/win32/updater_program.h"

#include <commctrl.h>

#include <cstdint>
#include <cwchar>

#include "app/registry_check.h"
#include "app/settings_store.h"
#include "app/startup.h"
#include "app/trace.h"
#include "platform/win32/main_window_dialog.h"
#include "ui/ui_language.h"
#include "ui/update_controller.h"

namespace {

class Win32Startup final : public StartupPlatform {
 public:
  Win32Startup(const PlatformContext& context, SettingsStore& settings, UpdateController& controller,
               std::int32_t& restartFlag)
      : context_(context), settings_(settings), services_(context, settings, controller), restartFlag_(restartFlag) {}

  int CheckTavikRegistry() override { return ::CheckTavikRegistry(*context_.registry, *context_.registryCheck); }
  std::uint16_t ReadUiLanguage() override { return settings_.ReadUiLanguage(); }
  void SetInterfaceLanguage(std::uint16_t languageId) override { SetUiLanguage(languageId); }
  bool CreateMainWindow() override {
    HWND window = ::CreateMainWindow(services_, restartFlag_);
    if (window == nullptr) return false;
    ShowWindow(window, SW_SHOWNORMAL);  // whatever show command the process was given
    return true;
  }
  void RunMessageLoop() override { RunDialogMessageLoop(); }

 private:
  const PlatformContext& context_;
  SettingsStore& settings_;
  ProgramMainWindowServices services_;
  std::int32_t& restartFlag_;
};

// The dialog a message is for, if it belongs to one: its top-level window of the dialog class.
HWND DialogOf(HWND window) {
  if (window == nullptr) return nullptr;
  HWND root = GetAncestor(window, GA_ROOT);
  wchar_t className[8] = {};
  if (root == nullptr || GetClassNameW(root, className, 8) == 0) return nullptr;
  return std::wcscmp(className, L"#32770") == 0 ? root : nullptr;
}

}  // namespace

void RunDialogMessageLoop() {
  MSG message;
  // -1 is an error that would only repeat: it ends the loop like the quit message.
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    HWND dialog = DialogOf(message.hwnd);
    if (dialog != nullptr && IsDialogMessageW(dialog, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

int RunUpdaterProgram(const PlatformContext& context) {
  // The progress window's bar is a common control.
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);

  // The process's one trace, settings store and update controller, on the context's parts; the controller
  // outlives every main window.
  StartTrace(context.trace);
  static UpdateController controller(*context.progressView, context.keepAwake, context.unitLocks,
                                     context.updateCaptures);
  static SettingsStore settings(*context.registry);

  static std::int32_t restartFlag = 0;  // shared with the main window
  Win32Startup platform(context, settings, controller, restartFlag);
  return RunApplication(platform, restartFlag);
}
