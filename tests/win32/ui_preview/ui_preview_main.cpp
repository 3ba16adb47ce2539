// Shows one of the program's windows in one language, filled as it looks while in use, so that a screenshot
// can be taken of it (tests/win32/ui_screenshots.sh).
//
//   ui_preview.exe <language id> <117 | 119 | 116 | box> <marker file>
//
// Once the window is drawn the marker file is written; the program ends three seconds later.

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstdlib>
#include <cwchar>
#include <initializer_list>

#include "platform/win32/message_box.h"
#include "platform/win32/ui_dialog.h"
#include "ui/resource_ids.h"
#include "ui/ui_language.h"

namespace {

constexpr UINT_PTR kReadyTimer = 1;
constexpr UINT_PTR kEndTimer = 2;
const wchar_t* markerPath = nullptr;
HFONT bannerFont = nullptr;

void WriteMarker() {
  HANDLE file = CreateFileW(markerPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

void AddStatusLine(HWND list, unsigned id) {
  wchar_t text[UI_TEXT_CAPACITY];
  if (LoadUiString(id, text) > 0) SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}

// What the main window shows once it runs: icon, version banner in a bold font twice the height, languages.
void FillMainWindow(HWND window) {
  HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_UPDATER));
  SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  HWND label = GetDlgItem(window, IDC_VERSION_LABEL);
  if (auto font = reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0))) {
    LOGFONTW banner{};
    GetObjectW(font, sizeof(banner), &banner);
    banner.lfHeight *= 2;
    banner.lfWeight = FW_BOLD;
    bannerFont = CreateFontIndirectW(&banner);
    SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(bannerFont), FALSE);
  }
  SetWindowTextW(label, L"001.005.019");
  HWND chooser = GetDlgItem(window, IDC_SELECT_LANG);
  for (const UiLanguageEntry& language : UI_LANGUAGES) {
    const LRESULT index = SendMessageW(chooser, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(language.name));
    if (language.id == GetUiLanguage()) SendMessageW(chooser, CB_SETCURSEL, index, 0);
  }
}

// The progress window late in an update: every status line that an update can add, the bar at 85 %.
void FillProgressWindow(HWND window) {
  HWND list = GetDlgItem(window, IDC_STATUS_LIST);
  for (unsigned id : {IDS_UPDATE_STARTED, IDS_PROGRAM_BOOTLOADER1, IDS_PROGRAM_BOOTLOADER2, IDS_PROGRAM_APPLICATION,
                      IDS_VERIFY_DEVICE, IDS_UPDATE_COMPLETED}) {
    AddStatusLine(list, id);
  }
  SendMessageW(GetDlgItem(window, IDC_PROGRESS_BAR), PBM_SETPOS, 85, 0);
}

INT_PTR CALLBACK PreviewProcedure(HWND window, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      SetTimer(window, kReadyTimer, 1000, nullptr);
      return TRUE;
    case WM_TIMER:
      if (wParam == kReadyTimer) {
        KillTimer(window, kReadyTimer);
        WriteMarker();
        SetTimer(window, kEndTimer, 3000, nullptr);
      } else {
        DestroyWindow(window);
      }
      return TRUE;
    case WM_DESTROY:
      if (bannerFont != nullptr) DeleteObject(bannerFont);
      PostQuitMessage(0);
      return TRUE;
  }
  return FALSE;
}

// A message box cannot carry our timers: a thread timer marks it drawn and ends it from its own loop.
void CALLBACK BoxTimer(HWND, UINT, UINT_PTR timer, DWORD) {
  static int ticks = 0;
  if (++ticks == 1) {
    WriteMarker();
  } else if (ticks == 4) {
    KillTimer(nullptr, timer);
    if (HWND box = GetActiveWindow()) PostMessageW(box, WM_COMMAND, IDOK, 0);
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr || count != 4) return 2;
  SetUiLanguage(static_cast<UiLanguageId>(std::wcstoul(arguments[1], nullptr, 10)));
  markerPath = arguments[3];

  if (std::wcscmp(arguments[2], L"box") == 0) {
    // The longest text of all, German 40013, shown as the update shows it.
    SetTimer(nullptr, 0, 1000, BoxTimer);
    MessageBoxFromIds(nullptr, IDS_DEVICE_NOT_FOUND, IDS_CAPTION_ERROR, MB_ICONERROR);
    return 0;
  }

  const int templateId = static_cast<int>(std::wcstol(arguments[2], nullptr, 10));
  HWND window = CreateUiDialog(templateId, nullptr, PreviewProcedure);
  if (window == nullptr) return 1;
  if (templateId == IDD_MAIN_WINDOW) FillMainWindow(window);
  if (templateId == IDD_PROGRESS_WINDOW) FillProgressWindow(window);
  ShowWindow(window, SW_SHOWNORMAL);

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (!IsDialogMessageW(window, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  LocalFree(arguments);
  return 0;
}
