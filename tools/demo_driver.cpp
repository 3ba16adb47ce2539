#include "tools/demo_driver.h"

#include <commctrl.h>

#include <cstring>
#include <cwchar>
#include <fstream>

namespace {
constexpr DWORD kPollMs = 50;
constexpr UINT kReadTimeoutMs = 2000;
constexpr DWORD kDebugBufferSize = 4096;  // the process id, then the text

constexpr int IDB_UPDATE = 40003;
constexpr int IDC_LANGUAGE = 40004;
constexpr int IDC_BAR = 40001;
constexpr int IDC_STATUS = 40005;
constexpr int IDC_MESSAGE_TEXT = 0xFFFF;

bool IsDialogOf(HWND window, DWORD processId) {
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner != processId || !IsWindowVisible(window)) return false;
  wchar_t className[16] = {};
  GetClassNameW(window, className, 16);
  return std::wcscmp(className, L"#32770") == 0;
}

HWND FindDialog(DWORD processId, const std::function<bool(HWND)>& matches) {
  struct Search {
    DWORD processId;
    const std::function<bool(HWND)>* matches;
    HWND found;
  } search{processId, &matches, nullptr};
  EnumWindows(
      [](HWND window, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<Search*>(param);
        if (IsDialogOf(window, s->processId) && (*s->matches)(window)) {
          s->found = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

LRESULT SendQuietly(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kReadTimeoutMs, &result)) return -1;
  return static_cast<LRESULT>(result);
}

// A GDI object that is deleted when it goes.
struct GdiObject {
  HGDIOBJ object;
  ~GdiObject() {
    if (object != nullptr) DeleteObject(object);
  }
};
}  // namespace

// --- Debugger output ---------------------------------------------------------------------------------------

DebugOutputCapture::DebugOutputCapture() {
  mapping_ = OwnedHandle(
      CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kDebugBufferSize, L"DBWIN_BUFFER"));
  if (!mapping_ || GetLastError() == ERROR_ALREADY_EXISTS) return;  // another viewer reads already
  bufferReady_ = OwnedHandle(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY"));
  dataReady_ = OwnedHandle(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY"));
  if (!bufferReady_ || !dataReady_) return;
  view_ = static_cast<const char*>(MapViewOfFile(mapping_.Get(), FILE_MAP_READ, 0, 0, 0));
  if (view_ == nullptr) return;
  active_ = true;
  reader_ = std::thread([this] { Run(); });
}

DebugOutputCapture::~DebugOutputCapture() {
  InterlockedExchange(&stop_, 1);
  if (reader_.joinable()) reader_.join();
  if (view_ != nullptr) UnmapViewOfFile(view_);
}

void DebugOutputCapture::Run() {
  SetEvent(bufferReady_.Get());
  while (InterlockedCompareExchange(&stop_, 0, 0) == 0) {
    if (WaitForSingleObject(dataReady_.Get(), 100) != WAIT_OBJECT_0) continue;
    DWORD processId = 0;
    std::memcpy(&processId, view_, sizeof(processId));
    const char* text = view_ + sizeof(DWORD);
    const std::string line(text, strnlen(text, kDebugBufferSize - sizeof(DWORD)));
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.emplace_back(processId, line);
    }
    SetEvent(bufferReady_.Get());
  }
}

std::vector<std::string> DebugOutputCapture::Lines(DWORD processId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> lines;
  for (const auto& [id, line] : lines_) {
    if (processId == 0 || id == processId) lines.push_back(line);
  }
  return lines;
}

// --- The program ----------------------------------------------------------------------------------------------

DrivenProcess::~DrivenProcess() {
  if (process_ && WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT) {
    TerminateProcess(process_.Get(), 1);
    WaitForSingleObject(process_.Get(), 5000);
  }
}

std::wstring EnvironmentWith(const std::vector<std::pair<std::wstring, std::wstring>>& environment) {
  // The caller's environment without the names given, then the names given.
  std::wstring block;
  if (wchar_t* current = GetEnvironmentStringsW()) {
    for (const wchar_t* entry = current; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
      const std::wstring text(entry);
      bool replaced = false;
      for (const auto& [name, value] : environment) {
        if (_wcsnicmp(text.c_str(), (name + L"=").c_str(), name.size() + 1) == 0) replaced = true;
      }
      if (!replaced) block.append(text).push_back(L'\0');
    }
    FreeEnvironmentStringsW(current);
  }
  for (const auto& [name, value] : environment) block.append(name + L"=" + value).push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

bool DrivenProcess::Start(const std::wstring& exePath,
                          const std::vector<std::pair<std::wstring, std::wstring>>& environment) {
  std::wstring block = EnvironmentWith(environment);
  std::wstring commandLine = L"\"" + exePath + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(exePath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                      block.data(), nullptr, &startup, &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  process_ = OwnedHandle(info.hProcess);
  id_ = info.dwProcessId;
  WaitForInputIdle(info.hProcess, 10000);
  return true;
}

bool DrivenProcess::WaitForExit(DWORD timeoutMs, DWORD* exitCode) {
  if (!process_ || WaitForSingleObject(process_.Get(), timeoutMs) != WAIT_OBJECT_0) return false;
  return GetExitCodeProcess(process_.Get(), exitCode) != FALSE;
}

std::wstring SiblingPath(const wchar_t* fileName) {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  const std::size_t slash = folder.find_last_of(L"\\/");
  folder.resize(slash == std::wstring::npos ? 0 : slash + 1);
  return folder + fileName;
}

// --- Windows ----------------------------------------------------------------------------------------------------

HWND WaitForWindow(const std::function<HWND()>& find, DWORD timeoutMs) {
  HWND found = nullptr;
  WaitUntil([&] { return (found = find()) != nullptr; }, timeoutMs);
  return found;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  for (;;) {
    if (condition()) return true;
    if (GetTickCount64() >= end) return false;
    Sleep(kPollMs);
  }
}

HWND FindMainWindow(DWORD processId) {
  return FindDialog(
      processId, [](HWND w) { return GetDlgItem(w, IDB_UPDATE) != nullptr && GetDlgItem(w, IDC_LANGUAGE) != nullptr; });
}

HWND FindProgressWindow(DWORD processId) {
  return FindDialog(processId,
                    [](HWND w) { return GetDlgItem(w, IDC_BAR) != nullptr && GetDlgItem(w, IDC_STATUS) != nullptr; });
}

HWND FindMessageBox(DWORD processId) {
  // The main window's labels have the id 0xFFFF too; a message box has neither "Update!" nor a bar.
  return FindDialog(processId, [](HWND w) {
    return GetDlgItem(w, IDC_MESSAGE_TEXT) != nullptr && GetDlgItem(w, IDB_UPDATE) == nullptr &&
           GetDlgItem(w, IDC_BAR) == nullptr;
  });
}

std::wstring WindowText(HWND window) {
  if (window == nullptr) return {};
  const LRESULT length = SendQuietly(window, WM_GETTEXTLENGTH, 0, 0);
  if (length <= 0) return {};
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const LRESULT copied = SendQuietly(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  text.resize(copied > 0 ? static_cast<std::size_t>(copied) : 0);
  return text;
}

std::wstring ControlText(HWND dialog, int controlId) { return WindowText(GetDlgItem(dialog, controlId)); }

std::vector<std::wstring> ListBoxLines(HWND dialog, int listId) {
  std::vector<std::wstring> lines;
  HWND list = GetDlgItem(dialog, listId);
  if (list == nullptr) return lines;
  const LRESULT count = SendQuietly(list, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    const LRESULT length = SendQuietly(list, LB_GETTEXTLEN, i, 0);
    if (length < 0) break;
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const LRESULT copied = SendQuietly(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text.data()));
    text.resize(copied > 0 ? static_cast<std::size_t>(copied) : 0);
    lines.push_back(text);
  }
  return lines;
}

int ProgressPosition(HWND dialog, int barId) {
  HWND bar = GetDlgItem(dialog, barId);
  return bar == nullptr ? -1 : static_cast<int>(SendQuietly(bar, PBM_GETPOS, 0, 0));
}

bool ControlEnabled(HWND dialog, int controlId) {
  HWND control = GetDlgItem(dialog, controlId);
  return control != nullptr && IsWindowEnabled(control);
}

std::wstring SelectedComboText(HWND dialog, int comboId) {
  HWND combo = GetDlgItem(dialog, comboId);
  if (combo == nullptr) return {};
  const LRESULT index = SendQuietly(combo, CB_GETCURSEL, 0, 0);
  if (index < 0) return {};
  const LRESULT length = SendQuietly(combo, CB_GETLBTEXTLEN, index, 0);
  if (length < 0) return {};
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const LRESULT copied = SendQuietly(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text.data()));
  text.resize(copied > 0 ? static_cast<std::size_t>(copied) : 0);
  return text;
}

bool PressButton(HWND dialog, int buttonId) {
  HWND button = GetDlgItem(dialog, buttonId);
  return button != nullptr && PostMessageW(button, BM_CLICK, 0, 0);
}

bool ChooseLanguage(HWND mainWindow, int index) {
  HWND combo = GetDlgItem(mainWindow, IDC_LANGUAGE);
  if (combo == nullptr || SendQuietly(combo, CB_SETCURSEL, index, 0) != index) return false;
  return PostMessageW(mainWindow, WM_COMMAND, MAKEWPARAM(IDC_LANGUAGE, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
}

void RequestClose(HWND window) { PostMessageW(window, WM_CLOSE, 0, 0); }

// --- Pictures ---------------------------------------------------------------------------------------------------

bool SaveScreenshot(const std::wstring& path) {
  const int width = GetSystemMetrics(SM_CXSCREEN);
  const int height = GetSystemMetrics(SM_CYSCREEN);
  HDC screen = GetDC(nullptr);
  if (screen == nullptr) return false;
  HDC memory = CreateCompatibleDC(screen);

  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;  // bottom-up, as a BMP file stores it
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  GdiObject picture{CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0)};
  bool copied = false;
  if (memory != nullptr && picture.object != nullptr) {
    HGDIOBJ previous = SelectObject(memory, picture.object);
    copied = BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY | CAPTUREBLT) != FALSE;
    SelectObject(memory, previous);
    GdiFlush();
  }
  if (memory != nullptr) DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (!copied) return false;

  const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
  const DWORD imageSize = stride * static_cast<DWORD>(height);
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
  file.bfSize = file.bfOffBits + imageSize;
  info.bmiHeader.biSizeImage = imageSize;
  std::ofstream out(path.c_str(), std::ios::binary);
  out.write(reinterpret_cast<const char*>(&file), sizeof(file));
  out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof(BITMAPINFOHEADER));
  out.write(static_cast<const char*>(bits), imageSize);
  return static_cast<bool>(out);
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr, nullptr);
  return result;
}
