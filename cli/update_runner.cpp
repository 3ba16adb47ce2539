#include "cli/update_runner.h"

#include <algorithm>
#include <chrono>

#include "app/trace.h"
#include "cli/terminal_view.h"
#include "ui/update_session.h"
#include "usb/result_code.h"

namespace {
// How long the loop waits for a post before it redraws the line and looks at Ctrl+C (real time).
constexpr std::chrono::milliseconds POLL{100};
// The slice of a pause between two redraws of the countdown (clock time).
constexpr std::uint64_t PAUSE_SLICE_MS = 250;
}  // namespace

bool AdvanceSession(UpdateSession& session, PostedMessageQueue& queue) {
  while (std::optional<PostedMessage> message = queue.TryTake()) session.Deliver(*message);
  session.ResumeIfDue();
  return session.IsEnded();
}

void TraceTermination(const TerminationRequest& request) {
  Trace("Update cancelled: the program was asked to end (%s).", request.What());
}

int RunUpdate(UpdateSession& session, TerminalView& view, PostedMessageQueue& queue, Clock& clock,
              const RunnerHooks& hooks) {
  int interruptsSeen = hooks.interrupts != nullptr ? hooks.interrupts->load() : 0;
  // A request to end the program is acted on once: the update is cancelled as a confirmed "Cancel" (or already
  // was, by the question the request answered). An update that ended before it keeps its own end.
  bool terminationHandled = false;
  const auto onTermination = [&] {
    if (terminationHandled) return;
    if (!TerminationRequested(hooks.terminations)) {
      terminationHandled = session.IsEnded();
      return;
    }
    terminationHandled = true;
    if (session.IsEnded() && session.End().result != FWL_ABORTED) return;
    TraceTermination(*hooks.terminations);
    session.CancelConfirmed();
  };
  if (session.Prepare()) {
    onTermination();  // it came during the checks: nothing is written
    if (!session.IsEnded()) session.Start();
  }
  onTermination();
  for (;;) {
    onTermination();
    // Ctrl+C asks as "Cancel" does; a second one while the question is open answers it (the view's ask).
    if (hooks.interrupts != nullptr && hooks.interrupts->load() != interruptsSeen) {
      interruptsSeen = hooks.interrupts->load();
      if (!session.IsEnded()) session.OnCancelAsked();
      interruptsSeen = hooks.interrupts->load();
      onTermination();  // it may have answered the question
    }
    // Busy is read before the queue: a worker posts its last notification before it clears busy.
    const bool busy = session.WorkerBusy();
    std::optional<PostedMessage> message = queue.TryTake();
    if (!message && busy) message = queue.WaitTake(POLL);
    if (message) {
      session.Deliver(*message);  // after the end: dropped
      if (hooks.afterEvent) hooks.afterEvent();
      continue;
    }
    if (busy) {
      view.Refresh();
      continue;
    }
    if (session.IsEnded() || !session.IsPausing()) break;
    const std::uint64_t remaining = session.PauseRemainingMs();
    if (remaining == 0) {
      view.ShowPause(0);
      session.ResumeIfDue();
      if (hooks.afterEvent) hooks.afterEvent();
      continue;
    }
    view.ShowPause(remaining);
    clock.SleepMs(static_cast<std::uint32_t>(std::min<std::uint64_t>(remaining, PAUSE_SLICE_MS)));
    if (hooks.afterEvent) hooks.afterEvent();
  }
  // A session that never ended (it cannot: the loop ends only when it is over or nothing is to come): a failure.
  return session.IsEnded() ? session.End().result : FWL_ERR_FAILED;
}
