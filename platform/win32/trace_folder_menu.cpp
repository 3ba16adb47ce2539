#include "platform/win32/trace_folder_menu.h"

#include "platform/win32/trace_file_storage.h"
#include "ui/resource_ids.h"
#include "ui/ui_language.h"

namespace {
bool IsFolder(const std::wstring& folder) {
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}
}  // namespace

bool AddTraceFolderMenuItem(HMENU menu, UINT afterCommand) {
  if (menu == nullptr) return false;
  const int count = GetMenuItemCount(menu);
  for (int position = 0; position < count; ++position) {
    if (GetMenuItemID(menu, position) != afterCommand) continue;
    // In the interface language; the English words if the string table has none.
    wchar_t text[UI_TEXT_CAPACITY];
    const wchar_t* shown = LoadUiString(IDS_OPEN_TRACE_FOLDER, text) > 0 ? text : OPEN_TRACE_FOLDER_MENU_TEXT;
    return InsertMenuW(menu, static_cast<UINT>(position + 1), MF_BYPOSITION | MF_STRING, IDM_OPEN_TRACE_FOLDER,
                       shown) != FALSE;
  }
  return false;
}

bool OpenTraceFolder(HWND owner, const std::wstring& folder, ShellOpenFn open, bool mayMakeFolder) {
  // The folder is made with the first trace line; one that could not be made then is tried once more.
  if (mayMakeFolder ? !MakeTraceFolder(folder) : !IsFolder(folder)) return false;
  // The shell reports success with a value above 32.
  const auto result = reinterpret_cast<INT_PTR>(open(owner, L"open", folder.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  return result > 32;
}
