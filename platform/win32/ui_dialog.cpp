#include "platform/win32/ui_dialog.h"

#include <commctrl.h>

#include "ui/ui_language.h"

namespace {
// The progress window holds a progress bar: its class must be registered before a template names it.
void RegisterControlClasses() {
  static const bool registered = [] {
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    return InitCommonControlsEx(&controls) != FALSE;
  }();
  (void)registered;
}
}  // namespace

const DLGTEMPLATE* FindUiDialogTemplate(int templateId) {
  if (templateId <= 0 || templateId > 0xFFFF) return nullptr;
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC info = FindResourceExW(module, RT_DIALOG, MAKEINTRESOURCEW(templateId), ResourceLanguageFor(GetUiLanguage()));
  if (info == nullptr) return nullptr;
  HGLOBAL handle = LoadResource(module, info);
  return handle != nullptr ? static_cast<const DLGTEMPLATE*>(LockResource(handle)) : nullptr;
}

HWND CreateUiDialog(int templateId, HWND owner, DLGPROC procedure, LPARAM parameter) {
  const DLGTEMPLATE* dialog = FindUiDialogTemplate(templateId);
  if (dialog == nullptr) return nullptr;
  RegisterControlClasses();
  return CreateDialogIndirectParamW(GetModuleHandleW(nullptr), dialog, owner, procedure, parameter);
}

INT_PTR ShowUiDialog(int templateId, HWND owner, DLGPROC procedure, LPARAM parameter) {
  const DLGTEMPLATE* dialog = FindUiDialogTemplate(templateId);
  if (dialog == nullptr) return -1;
  RegisterControlClasses();
  return DialogBoxIndirectParamW(GetModuleHandleW(nullptr), dialog, owner, procedure, parameter);
}
