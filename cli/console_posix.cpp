#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "cli/console.h"

namespace {
std::atomic<int>* g_presses = nullptr;
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler may only touch lock-free atomics");

TerminationRequest* g_terminations = nullptr;

extern "C" void OnInterrupt(int) {
  if (g_presses != nullptr) g_presses->fetch_add(1);
}

extern "C" void OnTermination(int signal) {
  if (g_terminations != nullptr) g_terminations->Note(signal == SIGHUP ? "SIGHUP" : "SIGTERM");
}

// No SA_RESTART: a wait on the terminal returns at once.
void Catch(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
}
}  // namespace

void CountInterrupts(std::atomic<int>& presses) {
  g_presses = &presses;
  Catch(SIGINT, OnInterrupt);
}

// The handler stays: a second signal while the update is cancelled is noted, never the end of the program.
void CountTerminations(TerminationRequest& request) {
  g_terminations = &request;
  Catch(SIGTERM, OnTermination);
  Catch(SIGHUP, OnTermination);
}

// Output to a pipe whose reader has gone (`| head`) fails with EPIPE instead of ending the program: the stream
// drops the rest and the update goes on to its own end.
void PrepareConsoleOutput() { std::signal(SIGPIPE, SIG_IGN); }

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
