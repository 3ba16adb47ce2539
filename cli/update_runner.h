#pragma once
// The event loop of the terminal updater: it opens the progress "window" of the controller, hands the loader's
// posted notifications to the controller, fires the armed step timers once the clock has passed them (the
// five-second pauses, shown as a countdown), and turns Ctrl+C into the controller's cancel question. It ends
// when the window is gone and no worker writes any more, so the process never ends in the middle of a block.

#include <atomic>
#include <functional>

#include "app/clock.h"
#include "app/message_poster.h"

class TerminalView;
class UpdateController;
class UsbFwLoader;
struct FirmwareImageInfo;

struct RunnerHooks {
  std::atomic<int>* interrupts = nullptr;  // Ctrl+C presses so far (the signal handler counts them)
  std::function<void()> afterEvent;        // after each notification or timer (tests inject Ctrl+C here)
};

// Runs one whole update; returns the exit status (0 completed, else the result code it ended with).
int RunUpdate(UpdateController& controller, TerminalView& view, UsbFwLoader& loader, const FirmwareImageInfo& image,
              PostedMessageQueue& queue, Clock& clock, const RunnerHooks& hooks);
