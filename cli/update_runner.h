#pragma once
// The event loop of the terminal updater: it begins the session, hands it the loader's posted notifications,
// lets its pauses pass on the clock (shown as a countdown), turns Ctrl+C into its cancel question and a request
// to end the program (termination.h) into a confirmed cancel. It ends when the session has ended and no worker
// writes any more, so the process never ends in the middle of a block.

#include <atomic>
#include <functional>

#include "app/clock.h"
#include "app/message_poster.h"
#include "cli/termination.h"

class TerminalView;
class UpdateSession;

struct RunnerHooks {
  std::atomic<int>* interrupts = nullptr;      // Ctrl+C presses so far (the signal handler counts them)
  std::function<void()> afterEvent;            // after each notification or pause slice (tests inject Ctrl+C here)
  TerminationRequest* terminations = nullptr;  // SIGTERM, SIGHUP, a closed console: ends the update as "Cancel"
};

// Runs one whole update; returns the result code it ended with (0: completed).
int RunUpdate(UpdateSession& session, TerminalView& view, PostedMessageQueue& queue, Clock& clock,
              const RunnerHooks& hooks);

// Hands the session what happened meanwhile (the notifications posted, a pause that is over), as a message box's
// own loop does while a question is open; true when the session has ended (the question is moot then).
bool AdvanceSession(UpdateSession& session, PostedMessageQueue& queue);

// The trace line of an update cancelled because the program was asked to end.
void TraceTermination(const TerminationRequest& request);
