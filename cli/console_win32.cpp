#include <windows.h>

#include <condition_variable>
#include <deque>
#include <iostream>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>

#include "cli/console.h"
#include "cli/utf8.h"

namespace {
std::atomic<int>* g_presses = nullptr;
TerminationRequest* g_terminations = nullptr;

// The longest the handler holds the system's end of the process back: Windows gives a console's close about
// 5 s before it ends the process anyway. Cancelling an update takes about 3 s: the block in flight, the wait of
// a confirmed cancel, the reset and its pause.
constexpr DWORD TERMINATION_WAIT_MS = 4500;

const char* TerminationName(DWORD event) {
  switch (event) {
    case CTRL_CLOSE_EVENT:
      return "the console was closed";
    case CTRL_LOGOFF_EVENT:
      return "logoff";
    case CTRL_SHUTDOWN_EVENT:
      return "shutdown";
    default:
      return nullptr;
  }
}

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI OnControl(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    if (g_presses != nullptr) g_presses->fetch_add(1);
    return TRUE;
  }
  const char* name = TerminationName(event);
  if (name == nullptr || g_terminations == nullptr) return FALSE;  // the system's way
  g_terminations->Note(name);
  // The system ends the process as soon as this returns: the main thread cancels the update and resets the unit
  // meanwhile, then ends the process itself (with its own status), which ends this thread too.
  Sleep(TERMINATION_WAIT_MS);
  return TRUE;
}

// The handler is in the system's list once, whichever of Ctrl+C and the ends was asked for first.
void HandleControlEvents() {
  static const bool added = SetConsoleCtrlHandler(OnControl, TRUE) != 0;
  (void)added;
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

// Standard output or error on a console: the program's UTF-8 text goes to the console as UTF-16
// (WriteConsoleW), whatever the console's code page, and a character split between two writes is kept whole.
class ConsoleBuffer final : public std::streambuf {
 public:
  explicit ConsoleBuffer(HANDLE console) : console_(console) {}

 protected:
  int_type overflow(int_type c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    pending_.push_back(static_cast<char>(c));
    if (c == '\n' || pending_.size() >= 1024) Flush();
    return c;
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    pending_.append(text, static_cast<std::size_t>(count));
    if (pending_.size() >= 1024 || pending_.find('\n') != std::string::npos) Flush();
    return count;
  }
  int sync() override {
    Flush();
    return 0;
  }

 private:
  void Flush() {
    // Only whole characters: one whose last bytes have not come yet waits for them.
    const std::size_t whole = WholeUtf8Prefix(pending_);
    if (whole == 0) return;
    const int units = MultiByteToWideChar(CP_UTF8, 0, pending_.data(), static_cast<int>(whole), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(units > 0 ? units : 0), L'\0');
    if (units > 0) MultiByteToWideChar(CP_UTF8, 0, pending_.data(), static_cast<int>(whole), wide.data(), units);
    DWORD written = 0;
    WriteConsoleW(console_, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    pending_.erase(0, whole);
  }

  HANDLE console_;
  std::string pending_;
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

std::size_t TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
  return static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1);
}

bool TerminalMovesCursor() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(out, &mode)) return false;
  return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
         SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void CountInterrupts(std::atomic<int>& presses) {
  g_presses = &presses;
  HandleControlEvents();
}

// A second event while the update is cancelled starts another handler thread that waits as well.
void CountTerminations(TerminationRequest& request) {
  g_terminations = &request;
  HandleControlEvents();
}

void PrepareConsoleOutput() {
  // Into a file or a pipe the UTF-8 bytes go as they are. The buffers are never freed: the streams flush them
  // at the very end of the process.
  if (IsConsole(STD_OUTPUT_HANDLE)) std::cout.rdbuf(new ConsoleBuffer(GetStdHandle(STD_OUTPUT_HANDLE)));
  if (IsConsole(STD_ERROR_HANDLE)) std::cerr.rdbuf(new ConsoleBuffer(GetStdHandle(STD_ERROR_HANDLE)));
}

// The live line is rewritten with a carriage return and blanks, which every console understands.
bool OutputIsTerminal() { return IsConsole(STD_OUTPUT_HANDLE); }
bool InputIsTerminal() { return IsConsole(STD_INPUT_HANDLE); }

std::optional<std::string> ReadTerminalLine() { return Reader().Take(); }
