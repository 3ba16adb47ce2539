#include "cli/update_runner.h"

#include <algorithm>
#include <chrono>

#include "cli/terminal_view.h"
#include "ui/update_controller.h"
#include "usb/result_code.h"
#include "usb/usb_fw_loader.h"

namespace {
// How long the loop waits for a post before it redraws the line and looks at Ctrl+C (real time).
constexpr std::chrono::milliseconds POLL{100};
// The slice of a pause between two redraws of the countdown (clock time).
constexpr std::uint64_t PAUSE_SLICE_MS = 250;
const WindowRef PARENT = reinterpret_cast<WindowRef>(0x1);
}  // namespace

int RunUpdate(UpdateController& controller, TerminalView& view, UsbFwLoader& loader, const FirmwareImageInfo& image,
              PostedMessageQueue& queue, Clock& clock, const RunnerHooks& hooks) {
  int interruptsSeen = hooks.interrupts != nullptr ? hooks.interrupts->load() : 0;
  controller.OpenProgressWindow(PARENT, &loader, &image);
  for (;;) {
    // Ctrl+C asks as "Cancel" does; a second one while the question is open answers it (the view's ask).
    if (hooks.interrupts != nullptr && hooks.interrupts->load() != interruptsSeen) {
      interruptsSeen = hooks.interrupts->load();
      if (view.IsOpen()) controller.OnCancelAsked(view.Window());
      interruptsSeen = hooks.interrupts->load();
    }
    // Busy is read before the queue: a worker posts its last notification before it clears busy.
    const bool busy = loader.IsBusy();
    std::optional<PostedMessage> message = queue.TryTake();
    if (!message && busy) message = queue.WaitTake(POLL);
    if (message) {
      if (message->message == WM_UPDATE_NOTIFY && view.IsOpen() && message->window == view.Window()) {
        const auto code = static_cast<ResultCode>(message->lParam);
        view.NoteNotification(code);
        controller.OnUpdateNotify(view.Window(), code);
      }  // else dropped, as a window system drops the messages of a window that is gone
      if (hooks.afterEvent) hooks.afterEvent();
      continue;
    }
    if (busy) {
      view.Refresh();
      continue;
    }
    std::uintptr_t timer = 0;
    std::uint64_t due = 0;
    if (!view.IsOpen() || !view.NextTimer(&timer, &due)) break;
    const std::uint64_t now = clock.NowMs();
    if (now >= due) {
      view.ShowPause(0);
      controller.OnStepTimer(view.Window(), timer);
      if (hooks.afterEvent) hooks.afterEvent();
      continue;
    }
    view.ShowPause(due - now);
    clock.SleepMs(static_cast<std::uint32_t>(std::min<std::uint64_t>(due - now, PAUSE_SLICE_MS)));
    if (hooks.afterEvent) hooks.afterEvent();
  }
  // Nothing decided the outcome (the window went without a word): a failure.
  const int result = view.Result();
  return result < 0 ? FWL_ERR_FAILED : result;
}
