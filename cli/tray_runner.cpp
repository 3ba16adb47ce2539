#include "cli/tray_runner.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "app/clock.h"
#include "app/keep_awake.h"
#include "app/trace.h"
#include "app/unit_text.h"
#include "cli/cli_texts.h"
#include "cli/json_text.h"
#include "cli/update_runner.h"
#include "ui/result_message.h"
#include "ui/update_session.h"
#include "usb/usb_fw_loader.h"

namespace {
// How long the loop waits for a post before it redraws the rows and looks at Ctrl+C (real time).
constexpr std::chrono::milliseconds POLL{100};
// The longest sleep of the loop while nothing is written (clock time): the countdowns move on.
constexpr std::uint64_t PAUSE_SLICE_MS = 250;

// One unit's hold on the PC's keep-awake: the PC stays awake while any unit of the tray holds it.
class SharedKeepAwake final : public KeepAwake {
 public:
  SharedKeepAwake(KeepAwake* system, int& holds) : system_(system), holds_(holds) {}
  void Hold() override {
    if (held_) return;
    held_ = true;
    if (holds_++ == 0 && system_ != nullptr) system_->Hold();
  }
  void Release() override {
    if (!held_) return;
    held_ = false;
    if (--holds_ == 0 && system_ != nullptr) system_->Release();
  }

 private:
  KeepAwake* system_;
  int& holds_;
  bool held_ = false;
};

std::string UnitKey(const UnitEntry& unit) { return unit.location.empty() ? unit.path : unit.location; }
}  // namespace

struct UpdateTray::Member {
  std::string unit;  // its port (its path where the platform tells no location)
  std::unique_ptr<UsbFwLoader> loader;
  std::unique_ptr<TerminalView> view;
  std::unique_ptr<SharedKeepAwake> awake;
  std::unique_ptr<UpdateSession> session;
  std::thread check;  // the unit's checks, at the start
  std::atomic<bool> checkDone{false};
  bool checking = false;  // `check` runs or has not been joined yet
  bool passed = false;
  bool retired = false;

  bool Running() const { return checking || !session->IsEnded() || session->WorkerBusy(); }
};

struct UpdateTray::Port {
  std::string unit;
  bool present = false;
  bool served = false;  // updated since it was plugged in
  std::uint64_t goneSinceMs = 0;
};

UpdateTray::UpdateTray(const PlatformContext& context, PostedMessageQueue& queue, const FirmwareImageInfo& image,
                       TrayBoard& board, TrayOptions options)
    : context_(context), queue_(queue), image_(image), board_(board), options_(std::move(options)) {}

UpdateTray::~UpdateTray() {
  // The loaders' last trace lines (as they let go of the unit) are their units' too.
  for (auto& member : members_) {
    const std::string unit = member->unit;
    const TraceTag tag(unit);
    if (member->check.joinable()) member->check.join();
    member.reset();
  }
}

UpdateTray::Member& UpdateTray::AddMember(const UnitEntry& unit) {
  auto member = std::make_unique<Member>();
  Member& m = *member;
  m.unit = UnitKey(unit);
  m.loader = std::make_unique<UsbFwLoader>(context_.DeviceLink());
  m.loader->SetTraceTag(m.unit);
  m.view = std::make_unique<TerminalView>(
      board_.Stream(), options_.style, *context_.clock, [this] { return startAnswer_; },
      [this] { return cancelAnswer_; });
  m.view->JoinTray(board_, m.unit);
  m.awake = std::make_unique<SharedKeepAwake>(context_.keepAwake, keepAwakeHolds_);
  m.session = std::make_unique<UpdateSession>(*m.loader, image_, *m.view,
                                              SessionOptions{m.unit, m.awake.get(), context_.unitLocks});
  members_.push_back(std::move(member));
  return m;
}

// Each unit that is not checked yet is checked on a thread of its own: the device query of one unit (up to
// seconds, for one in its application) does not hold up the others.
void UpdateTray::StartChecks() {
  for (auto& member : members_) {
    Member& m = *member;
    if (m.checking || m.checkDone.load()) continue;
    m.checking = true;
    m.check = std::thread([&m] {
      const TraceTag tag(m.unit);
      m.passed = m.session->Prepare();
      m.checkDone.store(true);
    });
  }
}

bool UpdateTray::StartMember(Member& member) {
  const TraceTag tag(member.unit);
  if (TerminationRequested(options_.terminations)) {  // the program is to end: nothing more is started
    TraceTermination(*options_.terminations);
    member.session->CancelConfirmed();
    return false;
  }
  return member.session->Start();
}

void UpdateTray::Run(const std::vector<UnitEntry>& units) {
  for (const UnitEntry& unit : units) AddMember(unit);
  StartChecks();
  std::vector<TrayCandidate> candidates;
  for (auto& member : members_) {
    member->check.join();
    member->checking = false;
    if (member->passed) candidates.push_back(TrayCandidate{member->unit, member->session->Device()});
  }
  if (!candidates.empty() && options_.askStart) {
    board_.Suspend();
    startAnswer_ = options_.askStart(candidates);
    board_.Resume();
  }
  PollBus(false);  // a unit that left while the question was open
  for (auto& member : members_) {
    if (member->passed) StartMember(*member);
  }
  ShowSummary();
  Loop(false);
}

void UpdateTray::Watch() {
  if (options_.askStart) {
    startAnswer_ = options_.askStart({});
    if (!startAnswer_) return;
  }
  if (options_.style == OutputStyle::Json) {
    board_.Line(JsonText({{"event", "waiting"}}));
  } else {
    board_.Line(CliString(IDS_CLI_WAITING, GetUiLanguage()));
  }
  ShowSummary();
  Loop(true);
}

void UpdateTray::Loop(bool watching) {
  interruptsSeen_ = options_.interrupts != nullptr ? options_.interrupts->load() : 0;
  Clock& clock = *context_.clock;
  for (;;) {
    if (!terminated_ && TerminationRequested(options_.terminations)) Terminate(watching);
    if (options_.interrupts != nullptr && options_.interrupts->load() != interruptsSeen_) {
      interruptsSeen_ = options_.interrupts->load();
      Interrupted(watching);
      interruptsSeen_ = options_.interrupts->load();
    }
    // Busy is read before the queue: a worker posts its last notification before it clears busy.
    // A unit's checks run on a thread of their own in real time: while they do, the loop waits in real time
    // too, as for a worker, rather than move the clock under them.
    const bool busy = AnyWorkerBusy() || AnyChecking();
    std::optional<PostedMessage> message = queue_.TryTake();
    if (!message && busy) message = queue_.WaitTake(POLL);
    if (message) Deliver(*message);
    // Each turn, whatever came: one unit's stream of notifications never holds up another's pause or the bus.
    ResumeDue();
    for (auto& member : members_) {
      if (!member->checking) member->session->ReleaseUnitWhenIdle();  // its port may take a new unit
    }
    PollBus(watching && !stopWatching_);
    ShowSummary();
    if (watching && board_.Live()) RetireEnded();  // the block keeps the units that run
    if (message) {
      board_.Redraw();
      if (options_.afterEvent) options_.afterEvent();
      continue;
    }
    if (busy) {
      ShowPauses();
      for (auto& member : members_) {
        if (!member->checking && !member->session->IsEnded() && !member->session->IsPausing()) {
          member->view->Refresh();
        }
      }
      board_.Redraw();
      continue;
    }
    if (AllEnded() && (!watching || stopWatching_)) break;
    // Nothing is written now: wait for the next end of a pause or the next look at the bus.
    const std::uint64_t now = clock.NowMs();
    std::uint64_t wait = std::min<std::uint64_t>(NextPauseMs(), PAUSE_SLICE_MS);
    if (watching) wait = std::min(wait, nextPollMs_ > now ? nextPollMs_ - now : 1);
    ShowPauses();
    board_.Redraw();
    clock.SleepMs(static_cast<std::uint32_t>(std::max<std::uint64_t>(wait, 1)));
    if (options_.afterEvent) options_.afterEvent();
  }
  ShowSummary();
  board_.Redraw();
}

void UpdateTray::Deliver(const PostedMessage& message) {
  for (auto& member : members_) {
    if (member->checking) continue;
    const TraceTag tag(member->unit);
    if (member->session->Deliver(message)) return;
  }
}

void UpdateTray::ResumeDue() {
  for (auto& member : members_) {
    if (member->checking || member->session->IsEnded()) continue;
    const TraceTag tag(member->unit);
    member->session->ResumeIfDue();
  }
}

std::uint64_t UpdateTray::NextPauseMs() const {
  std::uint64_t next = ~std::uint64_t{0};
  for (const auto& member : members_) {
    if (!member->checking && member->session->IsPausing()) next = std::min(next, member->session->PauseRemainingMs());
  }
  return next;
}

void UpdateTray::ShowPauses() {
  for (auto& member : members_) {
    if (!member->checking && member->session->IsPausing()) {
      member->view->ShowPause(member->session->PauseRemainingMs());
    }
  }
}

// Looks at the bus now and then: the units of the running updates (one that left its port stops its update), and
// with --watch the units that arrived, each taken once per plug-in. The checks that ended start their updates.
void UpdateTray::PollBus(bool watching) {
  for (auto& member : members_) {
    Member& m = *member;
    if (!m.checking || !m.checkDone.load()) continue;
    m.check.join();
    m.checking = false;
    if (m.passed) StartMember(m);
  }
  const std::uint64_t now = context_.clock->NowMs();
  if (now < nextPollMs_) return;
  nextPollMs_ = now + BUS_POLL_MS;
  const std::vector<UnitEntry> units = ListUnits(*context_.usb);
  for (auto& member : members_) {
    if (member->checking || member->session->IsEnded()) continue;
    const TraceTag tag(member->unit);
    member->session->NoteUnits(units);
  }
  if (!watching) return;

  for (Port& port : ports_) {
    const bool seen =
        std::any_of(units.begin(), units.end(), [&](const UnitEntry& u) { return UnitKey(u) == port.unit; });
    if (seen) continue;
    if (port.present) {
      port.present = false;
      port.goneSinceMs = now;
    }
    const bool running = std::any_of(members_.begin(), members_.end(),
                                     [&](const auto& m) { return m->unit == port.unit && m->Running(); });
    if (port.served && !running && now - port.goneSinceMs >= REPLUG_ABSENT_MS) port.served = false;
  }
  for (const UnitEntry& unit : units) {
    const std::string key = UnitKey(unit);
    auto port = std::find_if(ports_.begin(), ports_.end(), [&](const Port& p) { return p.unit == key; });
    if (port == ports_.end()) port = ports_.insert(ports_.end(), Port{key, false, false, 0});
    port->present = true;
    if (port->served) continue;
    port->served = true;
    if (options_.style == OutputStyle::Json) {
      board_.Line(JsonText({{"event", "arrived"}, {"unit", key}}));
    } else if (!board_.Live()) {
      board_.Line(std::string(CliString(IDS_CLI_UNIT_ARRIVED, GetUiLanguage())) + " " + UnitText(key));
    }
    AddMember(unit);
  }
  StartChecks();
}

void UpdateTray::Interrupted(bool watching) {
  if (watching && !stopWatching_) {
    EndWaiting();
    return;
  }
  CancelAll();
}

void UpdateTray::EndWaiting() {
  stopWatching_ = true;
  if (options_.style == OutputStyle::Json) {
    board_.Line(JsonText({{"event", "waiting"}, {"ended", true}}));
  } else {
    board_.Line(CliString(IDS_CLI_WATCH_ENDS, GetUiLanguage()));
  }
}

// The program is asked to end: the waiting stops and every running update is cancelled without a question. Each
// worker is told at once and the tray waits once for all of them; each finishes its block and resets its unit.
void UpdateTray::Terminate(bool watching) {
  terminated_ = true;
  if (watching && !stopWatching_) EndWaiting();
  std::vector<Member*> running;
  for (auto& member : members_) {
    if (member->checking || member->session->IsEnded()) continue;  // one still checked is not started (StartMember)
    running.push_back(member.get());
    member->loader->RequestAbort();
  }
  if (running.empty()) return;
  context_.clock->SleepMs(CANCEL_WAIT_MS);
  for (Member* member : running) {
    const TraceTag tag(member->unit);
    TraceTermination(*options_.terminations);
    member->session->CancelConfirmed(0);
  }
}

// Asks once whether to stop every running update; the updates go on meanwhile, and one that ends keeps its end.
void UpdateTray::CancelAll() {
  const bool anyRunning = std::any_of(members_.begin(), members_.end(),
                                      [](const auto& m) { return !m->checking && !m->session->IsEnded(); });
  if (!anyRunning) return;
  bool yes = true;
  if (options_.askCancel) {
    board_.Suspend();
    yes = options_.askCancel([this] { return Pump(); });
    board_.Resume();
  }
  if (TerminationRequested(options_.terminations)) {  // it answered the question: every update ends as it says
    Terminate(false);
    return;
  }
  if (!yes) return;
  cancelAnswer_ = true;
  for (auto& member : members_) {
    if (member->checking || member->session->IsEnded()) continue;
    const TraceTag tag(member->unit);
    member->session->OnCancelAsked();
  }
  cancelAnswer_ = false;
}

bool UpdateTray::Pump() {
  while (std::optional<PostedMessage> message = queue_.TryTake()) Deliver(*message);
  ResumeDue();
  PollBus(false);
  return AllEnded();
}

bool UpdateTray::AnyWorkerBusy() const {
  return std::any_of(members_.begin(), members_.end(),
                     [](const auto& m) { return !m->checking && m->session->WorkerBusy(); });
}

bool UpdateTray::AnyChecking() const {
  return std::any_of(members_.begin(), members_.end(), [](const auto& m) { return m->checking; });
}

bool UpdateTray::AllEnded() const {
  return std::none_of(members_.begin(), members_.end(), [](const auto& m) { return m->Running(); });
}

void UpdateTray::ShowSummary() {
  int counts[5] = {};  // done, failed, refused, cancelled, running
  for (const auto& member : members_) {
    const int result = member->checking ? -1 : member->view->Result();
    switch (OutcomeText(member->view->Ending(), result)) {
      case IDS_CLI_OUTCOME_DONE:
        ++counts[0];
        break;
      case IDS_CLI_OUTCOME_FAILED:
        ++counts[1];
        break;
      case IDS_CLI_OUTCOME_REFUSED:
        ++counts[2];
        break;
      case IDS_CLI_OUTCOME_CANCELLED:
        ++counts[3];
        break;
      default:
        ++counts[4];
        break;
    }
  }
  const UiLanguageId language = GetUiLanguage();
  const CliTextId words[5] = {IDS_CLI_OUTCOME_DONE, IDS_CLI_OUTCOME_FAILED, IDS_CLI_OUTCOME_REFUSED,
                              IDS_CLI_OUTCOME_CANCELLED, IDS_CLI_OUTCOME_RUNNING};
  std::string text;
  for (int i : {4, 0, 1, 2, 3}) {            // what runs first: on a narrow terminal the end of the line is cut
    if (i == 3 && counts[3] == 0) continue;  // cancelled only once there is one
    text += (text.empty() ? "" : "  ") + std::string(CliString(words[i], language)) + " " + std::to_string(counts[i]);
  }
  board_.SetSummary(text);
}

void UpdateTray::RetireEnded() {
  for (auto& member : members_) {
    if (member->retired || member->Running()) continue;
    member->retired = true;
    const TrayResult result{member->unit, member->view->Ending(), member->view->Result()};
    board_.RetireRow(member->view->Row(), TrayResultLine(result));
  }
}

std::string TrayResultLine(const TrayResult& result) {
  const UiLanguageId language = GetUiLanguage();
  std::string text = UnitText(result.unit) + ": " + CliString(OutcomeText(result.ending, result.result), language);
  std::uint16_t message = 0;
  ResultMessage known{};
  if (result.ending == UpdateEnding::Completed) {
    message = IDS_UPDATE_COMPLETED;
  } else if (result.ending == UpdateEnding::Failed) {
    message = IDS_UPDATE_FAILED;
  } else if (result.result != FWL_ABORTED && result.result >= 0 && ResultMessageFor(result.result, &known)) {
    message = known.text;
  }
  if (message != 0) {
    std::string words = UiText(message);
    for (char& c : words) {
      if (c == '\n' || c == '\r') c = ' ';
    }
    text += " - " + words;
  }
  return text + " [" + std::to_string(result.result) + "]";
}

std::vector<TrayResult> UpdateTray::Results() const {
  std::vector<TrayResult> results;
  for (const auto& member : members_) {
    results.push_back(TrayResult{member->unit, member->view->Ending(), member->checking ? -1 : member->view->Result()});
  }
  return results;
}
