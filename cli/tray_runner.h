#pragma once
// A tray of units updated at once: each unit in an update session of its own (its own loader, pinned to the
// unit's port, its own lock and view), all driven by one loop on one thread, which hands each session its own
// notifications, lets each session's pauses pass on the clock, and watches the bus so that a unit that leaves its
// port during an update is never taken for the unit that comes there next. The units are checked at once, each on
// a thread of its own; the question before the update and the cancel question are asked once for the whole tray.
// `update --all`, `--unit` given several times, and `--watch` (each unit that arrives, until Ctrl+C).

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/message_poster.h"
#include "app/platform_context.h"
#include "cli/terminal_view.h"
#include "cli/termination.h"
#include "cli/tray_board.h"
#include "usb/device_info.h"
#include "usb/unit_list.h"

struct FirmwareImageInfo;

// A unit that passed its checks, before anything is written: what the question names.
struct TrayCandidate {
  std::string unit;
  DeviceInfo device;
};

struct TrayOptions {
  OutputStyle style = OutputStyle::PlainLines;
  // The question before the update, once for the units that passed their checks (with --watch: once before the
  // waiting, with no units); null: yes.
  std::function<bool(const std::vector<TrayCandidate>& units)> askStart;
  // Whether to cancel every running update; `moot` is asked while no answer has come (true: every update ended,
  // the question is moot and reads no).
  std::function<bool(const std::function<bool()>& moot)> askCancel;
  std::atomic<int>* interrupts = nullptr;  // Ctrl+C presses
  std::function<void()> afterEvent;        // after each notification or slice of waiting (tests act here)
  // SIGTERM, SIGHUP, a closed console: the waiting stops and every update is cancelled as a confirmed "Cancel".
  TerminationRequest* terminations = nullptr;
};

// How one unit's update ended.
struct TrayResult {
  std::string unit;
  UpdateEnding ending = UpdateEnding::NotStarted;
  int result = -1;
};

// "port: outcome - the result's message [status]", one line for the end of a unit's update.
std::string TrayResultLine(const TrayResult& result);

// A unit that is seen away from its port this long, with no update of its own running there, has been taken
// off: when it (or another) is plugged there again, --watch takes it as a new arrival. A unit that resets is
// away for about a second.
inline constexpr std::uint64_t REPLUG_ABSENT_MS = 2500;
// How often the loop looks at the bus (the clock's time).
inline constexpr std::uint64_t BUS_POLL_MS = 250;

class UpdateTray {
 public:
  // `context` (its usb, clock, resources, unit locks, keep-awake) and `queue` (the poster of every loader) outlive
  // the tray; `image` is the application image's record.
  UpdateTray(const PlatformContext& context, PostedMessageQueue& queue, const FirmwareImageInfo& image,
             TrayBoard& board, TrayOptions options);
  ~UpdateTray();
  UpdateTray(const UpdateTray&) = delete;
  UpdateTray& operator=(const UpdateTray&) = delete;

  // Updates these units; returns when every update has ended and nothing writes any more.
  void Run(const std::vector<UnitEntry>& units);
  // Updates each unit that arrives on a port (those present at the start too), once per plug-in, until Ctrl+C;
  // then lets the running updates finish. A request to end the program ends the waiting and the updates.
  void Watch();

  // Every unit's outcome, in the order the units were taken.
  std::vector<TrayResult> Results() const;

 private:
  struct Member;

  Member& AddMember(const UnitEntry& unit);
  void StartChecks();
  bool StartMember(Member& member);
  void Loop(bool watching);
  void Deliver(const PostedMessage& message);
  void ResumeDue();
  void PollBus(bool watching);
  void Interrupted(bool watching);
  void EndWaiting();
  void CancelAll();
  void Terminate(bool watching);
  bool Pump();  // delivers what came and resumes what is due; true when nothing runs any more
  bool AnyWorkerBusy() const;
  bool AnyChecking() const;
  bool AllEnded() const;
  std::uint64_t NextPauseMs() const;
  void ShowPauses();
  void ShowSummary();
  void RetireEnded();

  const PlatformContext& context_;
  PostedMessageQueue& queue_;
  const FirmwareImageInfo& image_;
  TrayBoard& board_;
  TrayOptions options_;
  std::vector<std::unique_ptr<Member>> members_;
  struct Port;
  std::vector<Port> ports_;  // --watch: what was seen on each port
  std::uint64_t nextPollMs_ = 0;
  bool stopWatching_ = false;
  bool startAnswer_ = true;  // the tray's answer to the question before the update
  bool cancelAnswer_ = false;
  int keepAwakeHolds_ = 0;  // sessions that hold the PC awake now
  int interruptsSeen_ = 0;
  bool terminated_ = false;  // a request to end the program was acted on
};
