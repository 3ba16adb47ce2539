#include "cli/console.h"

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <iostream>
#include <mutex>
#include <thread>

namespace {
std::atomic<int>* g_presses = nullptr;
bool g_sequences = false;  // the console rewrites the line on "\r\033[K"

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI OnControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;  // closing, logoff: the system's way
  if (g_presses != nullptr) g_presses->fetch_add(1);
  return TRUE;
}

bool IsConsole(DWORD which) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

int Presses() { return g_presses != nullptr ? g_presses->load() : 0; }

// The console echoes and edits a line only while a read waits on it, so a thread of its own reads the lines and
// the caller waits on them with a time limit. The thread may outlive main: it and its state are never freed.
struct LineReader {
  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<std::string> lines;
  bool ended = false;

  void Run() {
    for (;;) {
      const int pressesBefore = Presses();
      std::string line;
      if (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Push(std::move(line), false);
        continue;
      }
      std::cin.clear();
      // Ctrl+C also ends the console's read; its handler runs on another thread, a moment later.
      Sleep(100);
      if (Presses() != pressesBefore) continue;
      Push(std::string(), true);
      return;
    }
  }

  void Push(std::string line, bool end) {
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back(std::move(line));
    ended = end;
    arrived.notify_all();
  }

  std::optional<std::string> Take() {
    std::unique_lock<std::mutex> lock(mutex);
    if (!arrived.wait_for(lock, std::chrono::milliseconds(200), [this] { return !lines.empty() || ended; })) {
      return std::nullopt;
    }
    if (lines.empty()) return std::string();  // end of input: every later question reads no
    std::string line = std::move(lines.front());
    lines.pop_front();
    return line;
  }
};

LineReader& Reader() {
  static LineReader* reader = [] {
    auto* made = new LineReader;
    std::thread([made] { made->Run(); }).detach();
    return made;
  }();
  return *reader;
}
}  // namespace

void CountInterrupts(std::atomic<int>& presses) {
  g_presses = &presses;
  SetConsoleCtrlHandler(OnControl, TRUE);
}

void PrepareConsoleOutput() {
  SetConsoleOutputCP(CP_UTF8);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode) != 0) {
    g_sequences = (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
                  SetConsoleMode(out, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
  }
}

// A console that cannot rewrite a line gets the plain lines, as a file would.
bool OutputIsTerminal() { return IsConsole(STD_OUTPUT_HANDLE) && g_sequences; }
bool InputIsTerminal() { return IsConsole(STD_INPUT_HANDLE); }

std::optional<std::string> ReadTerminalLine() { return Reader().Take(); }
