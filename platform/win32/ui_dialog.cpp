#include "platform/win32/ui_dialog.h"

#include "ui/ui_language.h"

const DLGTEMPLATE* FindUiDialogTemplate(int templateId) {
  if (templateId <= 0 || templateId > 0xFFFF) return nullptr;
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC info = FindResourceExW(module, RT_DIALOG, MAKEINTRESOURCEW(templateId),
                               ResourceLanguageFor(GetUiLanguage()));
  if (info == nullptr) return nullptr;
  HGLOBAL handle = LoadResource(module, info);
  return handle != nullptr ? static_cast<const DLGTEMPLATE*>(LockResource(handle)) : nullptr;
}

HWND CreateUiDialog(int templateId, HWND owner, DLGPROC procedure, LPARAM parameter) {
  const DLGTEMPLATE* dialog = FindUiDialogTemplate(templateId);
  if (dialog == nullptr) return nullptr;
  return CreateDialogIndirectParamW(GetModuleHandleW(nullptr), dialog, owner, procedure, parameter);
}

INT_PTR ShowUiDialog(int templateId, HWND owner, DLGPROC procedure, LPARAM parameter) {
  const DLGTEMPLATE* dialog = FindUiDialogTemplate(templateId);
  if (dialog == nullptr) return -1;
  return DialogBoxIndirectParamW(GetModuleHandleW(nullptr), dialog, owner, procedure, parameter);
}
