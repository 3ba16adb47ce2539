// Update sessions on the emulated bus: several at once on one bus, the unit pinned by its location for the
// whole update (never another unit, never a success when the unit did not come back), one process per unit,
// and the typed events a front end reads.

#include "ui/update_session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "app/clock.h"
#include "app/message_poster.h"
#include "app/unit_lock_memory.h"
#include "emu/emulated_usb.h"
#include "image/firmware_image.h"
#include "support/emu_violations.h"
#include "support/lockstep_poster.h"
#include "tools/image_check.h"
#include "tools/update_drive.h"
#include "ui/resource_ids.h"
#include "usb/usb_fw_loader.h"

namespace {

const FirmwareImageInfo& Application() {
  static const FirmwareImageInfo info = [] {
    FirmwareImageInfo scanned{};
    ScanFirmwareImage(IDR_APPLICATION_IMAGE, scanned, ProgramResources());
    return scanned;
  }();
  return info;
}

// The events of one session, in the update's terms.
class EventLog final : public UpdateView {
 public:
  void StageEntered(UpdateStage stage, UpdateStep) override { stages.push_back(stage); }
  void StepStarted(const StepStart& start) override { steps.push_back(start); }
  void ProgressMoved(const UpdateProgress& progress) override { last = progress; }
  void PauseStarted(UpdateStep next, std::uint32_t ms) override { pauses.push_back({next, ms}); }
  bool Ask(UpdateQuestion question) override { return onAsk ? onAsk(question) : true; }
  void StepNotStarted(ResultCode code) override { notStarted.push_back(code); }
  void Ended(const UpdateEnd& ending) override {
    EXPECT_FALSE(end.has_value()) << "a session ends once";
    end = ending;
  }

  std::function<bool(UpdateQuestion)> onAsk;
  std::vector<UpdateStage> stages;
  std::vector<StepStart> steps;
  std::optional<UpdateProgress> last;
  std::vector<std::pair<UpdateStep, std::uint32_t>> pauses;
  std::vector<ResultCode> notStarted;
  std::optional<UpdateEnd> end;
};

// One unit's update: its loader, its session and what it told.
struct UnitUpdate {
  UnitUpdate(EmulatedUsb& usb, VirtualClock& clock, PostedMessageQueue& queue, SessionOptions options)
      : loader(DeviceLinkContext{&usb, &clock, &queue, &ProgramResources()}),
        session(loader, Application(), log, std::move(options)) {}
  EventLog log;
  UsbFwLoader loader;
  UpdateSession session;
};

// Runs the sessions to their ends on one queue: the notifications go to the session they are for; when nothing
// runs, the clock passes the shortest pause.
void RunAll(std::vector<std::unique_ptr<UnitUpdate>>& updates, PostedMessageQueue& queue, VirtualClock& clock) {
  for (auto& update : updates) update->session.Begin();
  const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  for (;;) {
    ASSERT_LT(std::chrono::steady_clock::now(), guard) << "the sessions hung";
    bool busy = false;
    for (auto& update : updates) busy = busy || update->session.WorkerBusy();
    std::optional<PostedMessage> message = queue.TryTake();
    if (!message && busy) message = queue.WaitTake(std::chrono::milliseconds(50));
    if (message) {
      int takers = 0;
      for (auto& update : updates) takers += update->session.Deliver(*message);
      EXPECT_EQ(takers, 1) << "a notification is for exactly one session";
      continue;
    }
    if (busy) continue;
    std::uint64_t shortest = ~std::uint64_t{0};
    for (auto& update : updates) {
      if (update->session.IsPausing()) shortest = std::min(shortest, update->session.PauseRemainingMs());
    }
    if (shortest == ~std::uint64_t{0}) return;
    clock.Advance(shortest);
    for (auto& update : updates) update->session.ResumeIfDue();
  }
}

TEST(UpdateSessions, EightAtOnceOnOneBusEachWriteTheirOwnUnit) {
  VirtualClock clock;
  EmulatedUsb usb(clock);
  PostedMessageQueue queue;
  std::vector<std::unique_ptr<UnitUpdate>> updates;
  MemoryUnitLocks locks;
  for (int i = 0; i < 8; ++i) {
    UnitConfig config;
    config.bootloader2.valid = i % 2 == 0;  // both plans on the bus
    EmulatedUnit& unit = usb.AddUnit(config);
    updates.push_back(
        std::make_unique<UnitUpdate>(usb, clock, queue, SessionOptions{unit.Location(), nullptr, &locks}));
  }
  RunAll(updates, queue, clock);
  for (std::size_t i = 0; i < updates.size(); ++i) {
    SCOPED_TRACE(i);
    const UnitUpdate& update = *updates[i];
    ASSERT_TRUE(update.log.end.has_value());
    EXPECT_EQ(update.log.end->ending, UpdateEnding::Completed);
    EXPECT_EQ(update.log.end->unit, UnitState::Updated);
    EXPECT_EQ(update.session.UnitLocation(), usb.Unit(i).Location());
    EXPECT_EQ(WhatIsWrong(usb.Unit(i)), "");
    ASSERT_EQ(update.log.steps.size(), 3u);
    EXPECT_EQ(update.log.steps[0].address, i % 2 == 0 ? BOOTLOADER_1_ADDRESS : BOOTLOADER_2_ADDRESS);
    // Progress in bytes of the whole update ends at the whole.
    ASSERT_TRUE(update.log.last.has_value());
    EXPECT_EQ(update.log.last->bytesWritten, update.log.last->totalBytes);
    EXPECT_EQ(update.log.last->barPosition, 100u);
  }
  EXPECT_NO_USB_VIOLATIONS(usb);
  EXPECT_EQ(usb.OpenHandleCount(), 0u);
}

// Two units on the bus; the update of the first is played along a road on which it leaves the bus. No request
// of that update may reach the second unit, and no success may be reported.
TEST(UpdateSessions, TheUnitIsPinnedAndAnotherUnitIsNeverOpened) {
  struct Road {
    const char* name;
    std::function<void(UnitConfig& config, EmulatedUsb& usb)> setUp;
    std::function<void(EmulatedUnit& unit)> armed;                                   // once the unit is on the bus
    std::function<void(EmulatedUnit& unit, VirtualClock& clock, int next)> inPause;  // before each step pause
    UpdateOutcome outcome;
    ResultCode result;
  };
  const Road roads[] = {
      {"back after a power blip in a pause, on another port listed after the other unit",
       [](UnitConfig& config, EmulatedUsb& usb) {
         config.newPortOnReturn = true;
         usb.SetListedByPort(true);
       },
       nullptr,
       [](EmulatedUnit& unit, VirtualClock& clock, int next) {
         if (next == STEP_BOOT2_SECOND) unit.CutPowerAt(clock.NowMs() + 1000, 1000);
       },
       UpdateOutcome::Failed, FWL_ERR_NOT_FOUND},
      {"away when the step after the pause begins", nullptr, nullptr,
       [](EmulatedUnit& unit, VirtualClock& clock, int next) {
         if (next == STEP_BOOT2_SECOND) unit.CutPowerAt(clock.NowMs() + 1000, 60000);
       },
       UpdateOutcome::Failed, FWL_ERR_NOT_FOUND},
      {"back later than the pause after the device query's reset",
       [](UnitConfig& config, EmulatedUsb&) { config.resetOffBusMs = 3000; },  // the query waits 2000 ms
       [](EmulatedUnit& unit) { unit.AddFault({.kind = FaultKind::BadCrc, .blockId = BLK_GET_VERSION}); }, nullptr,
       UpdateOutcome::NotStarted, FWL_ERR_NOT_FOUND},
  };
  for (const Road& road : roads) {
    SCOPED_TRACE(road.name);
    VirtualClock clock;
    EmulatedUsb usb(clock);
    UnitConfig config;
    if (road.setUp) road.setUp(config, usb);
    EmulatedUnit& updated = usb.AddUnit(config);
    EmulatedUnit& other = usb.AddUnit();
    if (road.armed) road.armed(updated);
    UpdateDrive drive(usb, clock);
    if (road.inPause) drive.beforeStepPause = [&](int next) { road.inPause(updated, clock, next); };

    const UpdateResult result = drive.PressUpdate();
    EXPECT_EQ(result.outcome, road.outcome);
    EXPECT_EQ(result.result, road.result);
    EXPECT_EQ(other.ExchangeCount(), 0u) << "a request of the update reached the other unit";
    EXPECT_TRUE(other.SlotFlag(UnitSlot::Bootloader1) && other.SlotFlag(UnitSlot::Bootloader2) &&
                other.SlotFlag(UnitSlot::Application));
    // The unit that left still starts, and a fresh update of it completes.
    clock.Advance(60000);
    EXPECT_FALSE(updated.IsBricked());
    EXPECT_TRUE(updated.IsPresent());
    drive.beforeStepPause = nullptr;
    drive.unit = updated.Location();  // wherever it is now
    EXPECT_EQ(drive.PressUpdate().outcome, UpdateOutcome::Completed);
    EXPECT_EQ(WhatIsWrong(updated), "");
    EXPECT_EQ(other.ExchangeCount(), 0u);
    EXPECT_NO_USB_VIOLATIONS(usb);
  }
}

// The unit asked for by its path or its location is the one updated, wherever it is listed.
TEST(UpdateSessions, TheChosenUnitIsUpdatedAndNoOther) {
  VirtualClock clock;
  EmulatedUsb usb(clock);
  PostedMessageQueue queue;
  EmulatedUnit& first = usb.AddUnit();
  EmulatedUnit& chosen = usb.AddUnit();
  for (const std::string& wanted : {chosen.DevicePath(), chosen.Location()}) {
    SCOPED_TRACE(wanted);
    std::vector<std::unique_ptr<UnitUpdate>> updates;
    updates.push_back(std::make_unique<UnitUpdate>(usb, clock, queue, SessionOptions{wanted}));
    RunAll(updates, queue, clock);
    EXPECT_EQ(updates[0]->log.end->ending, UpdateEnding::Completed);
  }
  EXPECT_EQ(first.ExchangeCount(), 0u);
  EXPECT_EQ(WhatIsWrong(chosen), "");

  std::vector<std::unique_ptr<UnitUpdate>> updates;
  updates.push_back(std::make_unique<UnitUpdate>(usb, clock, queue, SessionOptions{"Port_#0099.Hub_#0001"}));
  RunAll(updates, queue, clock);
  EXPECT_EQ(updates[0]->log.end->ending, UpdateEnding::NotStarted);
  EXPECT_EQ(updates[0]->log.end->result, FWL_ERR_NOT_FOUND);
  EXPECT_EQ(first.ExchangeCount(), 0u);
}

// A unit held by another update is refused as busy before anything is sent to it.
TEST(UpdateSessions, AUnitHeldByAnotherUpdateIsBusyAndGetsNothing) {
  VirtualClock clock;
  EmulatedUsb usb(clock);
  PostedMessageQueue queue;
  EmulatedUnit& unit = usb.AddUnit();
  MemoryUnitLocks locks;
  std::unique_ptr<UnitLock> held;
  ASSERT_EQ(locks.TryLock(unit.Location(), &held), UnitLockResult::Taken);
  std::vector<std::unique_ptr<UnitUpdate>> updates;
  updates.push_back(std::make_unique<UnitUpdate>(usb, clock, queue, SessionOptions{{}, nullptr, &locks}));
  RunAll(updates, queue, clock);
  EXPECT_EQ(updates[0]->log.end->result, FWL_BUSY);
  EXPECT_EQ(updates[0]->log.notStarted, std::vector<ResultCode>{FWL_BUSY});
  EXPECT_EQ(unit.ExchangeCount(), 0u);

  held.reset();
  updates.clear();
  updates.push_back(std::make_unique<UnitUpdate>(usb, clock, queue, SessionOptions{{}, nullptr, &locks}));
  RunAll(updates, queue, clock);
  EXPECT_EQ(updates[0]->log.end->ending, UpdateEnding::Completed);
  updates.clear();
  EXPECT_FALSE(locks.IsHeld(unit.Location())) << "free once the session is gone";
}

// The cancel question stays open while the update runs to its end: the end stands, nothing is aborted.
TEST(UpdateSessions, AnUpdateThatEndsUnderTheCancelQuestionKeepsItsResult) {
  VirtualClock clock;
  EmulatedUsb usb(clock);
  PostedMessageQueue queue;
  usb.AddUnit();
  std::vector<std::unique_ptr<UnitUpdate>> updates;
  updates.push_back(std::make_unique<UnitUpdate>(usb, clock, queue, SessionOptions{}));
  UnitUpdate& update = *updates[0];
  bool asked = false;
  update.log.onAsk = [&](UpdateQuestion question) {
    if (question != UpdateQuestion::CancelUpdate) return true;
    asked = true;
    std::vector<std::unique_ptr<UnitUpdate>> none;
    // The rest of the update happens while the question is open, as a box's own loop lets it.
    while (!update.session.IsEnded()) {
      if (std::optional<PostedMessage> message = queue.WaitTake(std::chrono::milliseconds(50))) {
        update.session.Deliver(*message);
      } else if (update.session.IsPausing()) {
        clock.Advance(update.session.PauseRemainingMs());
        update.session.ResumeIfDue();
      }
    }
    return true;  // yes, too late
  };
  update.session.Begin();
  EXPECT_TRUE(update.session.OnCancelAsked());
  EXPECT_TRUE(asked);
  ASSERT_TRUE(update.log.end.has_value());
  EXPECT_EQ(update.log.end->ending, UpdateEnding::Completed);
  EXPECT_EQ(update.log.end->result, FWL_OK);
  EXPECT_EQ(update.loader.abortRequested.load(), 0u);
  EXPECT_EQ(WhatIsWrong(usb.Unit(0)), "");
}

// A session made where an earlier one lived (the same loader, the same place) does not take the late
// notifications of the earlier one's worker for its own.
TEST(UpdateSessions, ALaterSessionDoesNotTakeAnEarlierOnesNotifications) {
  VirtualClock clock;
  EmulatedUsb usb(clock);
  PostedMessageQueue queue;
  UsbFwLoader loader(DeviceLinkContext{&usb, &clock, &queue, &ProgramResources()});
  EventLog log;
  std::optional<UpdateSession> session;
  session.emplace(loader, Application(), log);
  const WindowRef earlier = session->NotifyTarget();
  session.emplace(loader, Application(), log);
  EXPECT_FALSE(session->Deliver({earlier, WM_UPDATE_NOTIFY, 0, FWL_ABORTED}));
  EXPECT_TRUE(session->Deliver({session->NotifyTarget(), WM_UPDATE_NOTIFY, 0, FWL_PROGRESS}));
}

// What the unit is left with, by the step the update failed in.
TEST(UpdateSessions, TheEndSaysWhatTheUnitIsLeftWith) {
  const struct {
    std::uint64_t cutAtWrite;  // the nth WRITE request of the update loses its answer
    UnitState unit;
  } cases[] = {
      {0, UnitState::FirstCopyUnfinished}, {700, UnitState::OneCopyWritten}, {1300, UnitState::BothCopiesWritten}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cutAtWrite);
    VirtualClock clock;
    EmulatedUsb usb(clock);
    PostedMessageQueue queue;
    EmulatedUnit& unit = usb.AddUnit();
    std::uint64_t writes = 0;
    unit.SetExchangeHook([&](const UsbBlock& request, std::uint64_t index) {
      if (request.BlockID == BLK_WRITE && writes++ == c.cutAtWrite) {
        unit.AddFault({.kind = FaultKind::BadCrc, .exchange = index});
      }
    });
    std::vector<std::unique_ptr<UnitUpdate>> updates;
    updates.push_back(std::make_unique<UnitUpdate>(usb, clock, queue, SessionOptions{}));
    RunAll(updates, queue, clock);
    ASSERT_TRUE(updates[0]->log.end.has_value());
    EXPECT_EQ(updates[0]->log.end->ending, UpdateEnding::Failed);
    EXPECT_EQ(updates[0]->log.end->unit, c.unit);
    EXPECT_FALSE(unit.IsBricked());
  }
}

// A pause can be over before the worker of the step before it has finished: the worker posts its last
// notification, then lets go of the unit. The clock is shared (on the emulated bus another unit's worker may
// move it on by seconds at once): the next step starts once that worker is done, never fails as "already running".
TEST(UpdateSessions, ThePauseEndsOnlyWhenTheStepBeforeHasLetGo) {
  VirtualClock clock;
  EmulatedUsb usb(clock);
  usb.AddUnit();
  LockstepPoster poster;
  UsbFwLoader loader(DeviceLinkContext{&usb, &clock, &poster, &ProgramResources()});
  EventLog log;
  UpdateSession session(loader, Application(), log);
  ASSERT_TRUE(session.Begin());
  std::optional<PostedMessage> message;
  while ((message = poster.Take()) && message->lParam != FWL_OK) {
    session.Deliver(*message);
    poster.Done();
  }
  ASSERT_TRUE(message.has_value());
  session.Deliver(*message);  // the first step's success: its worker waits in its post
  ASSERT_TRUE(session.IsPausing());
  clock.Advance(STEP_PAUSE_MS);
  EXPECT_FALSE(session.ResumeIfDue());
  EXPECT_TRUE(session.IsPausing());
  EXPECT_TRUE(log.notStarted.empty());

  poster.Done();
  for (int turns = 0; session.WorkerBusy() && turns < 10000000; ++turns) std::this_thread::yield();
  ASSERT_FALSE(session.WorkerBusy());
  EXPECT_TRUE(session.ResumeIfDue());
  EXPECT_EQ(log.steps.size(), 2u);
  EXPECT_TRUE(log.notStarted.empty());
  EXPECT_FALSE(log.end.has_value());
  session.OnCancelAsked();
  poster.Release();
}

}  // namespace
