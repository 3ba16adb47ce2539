#include "cli/console.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>

namespace {
std::atomic<int>* g_presses = nullptr;
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler may only touch lock-free atomics");

extern "C" void OnInterrupt(int) {
  if (g_presses != nullptr) g_presses->fetch_add(1);
}
}  // namespace

void CountInterrupts(std::atomic<int>& presses) {
  g_presses = &presses;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);  // no SA_RESTART: a wait on the terminal returns at once
}

void PrepareConsoleOutput() {}

bool OutputIsTerminal() { return isatty(STDOUT_FILENO) != 0; }
std::size_t TerminalColumns() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

bool TerminalMovesCursor() {
  const char* term = std::getenv("TERM");
  return term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

bool InputIsTerminal() { return isatty(STDIN_FILENO) != 0; }

std::optional<std::string> ReadTerminalLine() {
  pollfd in{STDIN_FILENO, POLLIN, 0};
  if (poll(&in, 1, 200) <= 0) return std::nullopt;
  std::string line;
  if (!std::getline(std::cin, line)) {
    std::cin.clear();
    return std::string();
  }
  return line;
}
