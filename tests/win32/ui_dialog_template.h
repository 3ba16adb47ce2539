#pragma once
// Reads a dialog template (plain or extended) back from its bytes, for the tests of the program's layouts.

#include <windows.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

struct TemplateControl {
  DWORD id = 0;  // 16 bits in a plain template, 32 in an extended one
  DWORD style = 0;
  DWORD exStyle = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  std::wstring className;  // predefined classes by name ("Button", "Static", ...)
  std::wstring text;       // empty if the title is an ordinal
  int textOrdinal = -1;    // e.g. the icon id of an SS_ICON static, else -1
};

struct DialogTemplate {
  bool extended = false;
  DWORD style = 0;
  DWORD exStyle = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  std::wstring title;
  WORD pointSize = 0;
  WORD weight = 0;   // extended templates only
  BYTE italic = 0;   // extended templates only
  BYTE charset = 0;  // extended templates only
  std::wstring typeface;
  std::vector<TemplateControl> controls;
};

// Empty if the bytes are not a whole template.
std::optional<DialogTemplate> ParseDialogTemplate(const void* bytes, std::size_t size);

// The raw resource of `type`/`id` in exactly `language`, or {nullptr, 0}.
struct ResourceBytes {
  const void* data = nullptr;
  std::size_t size = 0;
};
ResourceBytes FindResourceBytes(LPCWSTR type, WORD id, WORD language);

// The languages in which the program holds resource `type`/`id`, in ascending order.
std::vector<WORD> ResourceLanguages(LPCWSTR type, WORD id);
