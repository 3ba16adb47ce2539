#include "platform/win32/message_box.h"

#include "ui/ui_language.h"

int MessageBoxFromIds(HWND owner, UINT textId, UINT captionId, UINT style) {
  wchar_t caption[UI_TEXT_CAPACITY];
  wchar_t text[UI_TEXT_CAPACITY];
  const bool hasCaption = LoadUiString(captionId, caption) > 0;
  if (LoadUiString(textId, text) <= 0) return 0;
  return MessageBoxW(owner, text, hasCaption ? caption : nullptr, style);
}
