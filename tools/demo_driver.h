#pragma once
// Drives the demo program from outside, as a user would: starts it, finds its windows by class and control
// ids, reads their texts, presses buttons, takes screenshots, and collects its trace lines from the debugger
// output. Used by the end-to-end tests and by the unattended demo run.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// A handle that is closed when it goes.
class OwnedHandle {
 public:
  OwnedHandle() = default;
  explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
  ~OwnedHandle() { Reset(); }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  OwnedHandle(OwnedHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  OwnedHandle& operator=(OwnedHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  HANDLE Get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  void Reset() {
    if (*this) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

// The trace lines of every process of the session, caught from the debugger output as a debug-output
// viewer does (the shared buffer and its two events). One capture per session at a time.
class DebugOutputCapture {
 public:
  DebugOutputCapture();
  ~DebugOutputCapture();
  DebugOutputCapture(const DebugOutputCapture&) = delete;
  DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

  bool Active() const { return active_; }
  // The lines written so far by the process `processId` (0: by any), each as it was handed over.
  std::vector<std::string> Lines(DWORD processId = 0) const;

 private:
  void Run();

  OwnedHandle mapping_;
  OwnedHandle bufferReady_;
  OwnedHandle dataReady_;
  const char* view_ = nullptr;
  bool active_ = false;
  volatile LONG stop_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::pair<DWORD, std::string>> lines_;
  std::thread reader_;
};

// A started program; ended by force if it still runs when this goes.
class DrivenProcess {
 public:
  DrivenProcess() = default;
  ~DrivenProcess();
  DrivenProcess(const DrivenProcess&) = delete;
  DrivenProcess& operator=(const DrivenProcess&) = delete;

  // Starts `exePath` with the caller's environment plus `environment` (name, value).
  bool Start(const std::wstring& exePath, const std::vector<std::pair<std::wstring, std::wstring>>& environment);
  DWORD Id() const { return id_; }
  // True when the program ended within the time; its exit code then in `exitCode`.
  bool WaitForExit(DWORD timeoutMs, DWORD* exitCode);

 private:
  OwnedHandle process_;
  DWORD id_ = 0;
};

// An environment block for CreateProcessW (CREATE_UNICODE_ENVIRONMENT): the caller's environment with
// `environment` (name, value) put in place of the same names.
std::wstring EnvironmentWith(const std::vector<std::pair<std::wstring, std::wstring>>& environment);

// The path of a file next to the running program.
std::wstring SiblingPath(const wchar_t* fileName);

// Waits, looking every 50 ms, until `find` gives a window or the time is up (null then).
HWND WaitForWindow(const std::function<HWND()>& find, DWORD timeoutMs);
// Waits until `condition` holds or the time is up; false then.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs);

// Visible top-level dialogs of the process, recognised by their controls.
HWND FindMainWindow(DWORD processId);      // "Update!" 40003 and the language chooser 40004
HWND FindProgressWindow(DWORD processId);  // the bar 40001 and the status list 40005
HWND FindMessageBox(DWORD processId);      // a message box: its text control 0xFFFF

std::wstring WindowText(HWND window);  // caption or text, read across processes
std::wstring ControlText(HWND dialog, int controlId);
std::vector<std::wstring> ListBoxLines(HWND dialog, int listId);
int ProgressPosition(HWND dialog, int barId);
bool ControlEnabled(HWND dialog, int controlId);
std::wstring SelectedComboText(HWND dialog, int comboId);

// Presses a button of a dialog (a posted BM_CLICK, so that the caller never waits on the program).
bool PressButton(HWND dialog, int buttonId);
// Picks an entry of the language chooser and tells the window, as a selection by the user does.
bool ChooseLanguage(HWND mainWindow, int index);
// Asks a window to close, as another program (a task list) does; this reaches a disabled window too, whose
// caption's close button does nothing.
void RequestClose(HWND window);

// The whole screen as a 24-bit BMP file.
bool SaveScreenshot(const std::wstring& path);

// UTF-8 of a UTF-16 text, for messages and files.
std::string Utf8(const std::wstring& text);
