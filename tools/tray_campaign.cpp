#include "tools/tray_campaign.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <random>
#include <sstream>
#include <streambuf>
#include <thread>

#include "app/clock.h"
#include "app/message_poster.h"
#include "app/platform_context.h"
#include "app/unit_lock_memory.h"
#include "cli/helmet_update.h"
#include "cli/tray_runner.h"
#include "emu/emulated_usb.h"
#include "image/image_resources.h"
#include "tools/image_check.h"
#include "ui/update_session.h"
#include "usb/result_code.h"

namespace {

enum class Kind { Unplug, PowerCut, PauseCut, Swap, LateReturn, NewPort, Refused, Count };

struct KindInfo {
  Kind kind;
  const char* name;
  const char* help;
};
constexpr KindInfo KINDS[] = {
    {Kind::Unplug, "unplug",
     "the cable is pulled as a request comes or at a moment of a pause; plugged in again at its port later"},
    {Kind::PowerCut, "power cut at a request",
     "the power fails inside a request, part of its work done; back after a while or when switched on"},
    {Kind::PauseCut, "power cut in a pause", "the power fails at a moment of a pause between two steps"},
    {Kind::Swap, "swap",
     "two units in their pauses (or with their updates ended) are taken off, and each is plugged in at the "
     "other's port 0.5 to 4 s later"},
    {Kind::LateReturn, "late return", "units that appear 1.5 or 3 s after they start (events: units)"},
    {Kind::NewPort, "new port on return", "units that come back on another port when they start (events: units)"},
    {Kind::Refused, "refused by design", "units in their application, or with newer firmware (events: units)"},
};
constexpr std::size_t KIND_COUNT = static_cast<std::size_t>(Kind::Count);
constexpr std::uint64_t NEVER = ~std::uint64_t{0};

// The exchanges of one whole update (32,749) are fewer than this: a cut at a request is placed below it.
constexpr std::uint64_t UPDATE_EXCHANGES = 34000;
// The application version of a unit with newer firmware than the program's.
constexpr const char NEWER_VERSION[] = "009.000.000";
// After the first run: long enough for every cut planned in a pause to fall and every timed return to come.
constexpr std::uint32_t SETTLE_MS = 10000;

// Held while a tray's program starts (see RunTray).
std::mutex g_starting;

// ---- The plan of a tray, made from its seed ----

struct UnitPlan {
  UnitConfig config;
  bool newer = false;
  std::optional<Fault> fault;       // a cut at one of its requests: Unplug or PowerLoss
  std::uint32_t plugInAfterMs = 0;  // a unit that waits for the user is plugged in (switched on) this much later
  // One act in a pause of its update: in pause 1 or 2 (0: none), this far into it.
  int pause = 0;
  std::uint32_t pauseAtMs = 0;
  Kind pauseKind = Kind::Unplug;  // Unplug or PauseCut
  std::uint32_t awayMs = 0;       // PauseCut: FAULT_UNTIL_PLUGGED_IN waits for the user
};

struct SwapPlan {
  std::uint64_t earliestMs = 0;
  std::uint32_t awayMs = 0;
};

struct TrayPlan {
  std::vector<UnitPlan> units;
  std::vector<SwapPlan> swaps;
};

TrayPlan MakePlan(std::uint64_t seed, bool control) {
  std::mt19937_64 rng(seed);
  const auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; };
  const auto between = [&](std::uint64_t low, std::uint64_t high) {
    return std::uniform_int_distribution<std::uint64_t>(low, high)(rng);
  };
  TrayPlan plan;
  const std::uint64_t count = between(2, 8);
  for (std::uint64_t i = 0; i < count; ++i) {
    UnitPlan unit;
    UnitConfig& config = unit.config;
    config = chance(0.7) ? HarderUnit() : UnitConfig{};
    if (config.newPortOnReturn) config.newPortOnReturn = chance(0.6);
    constexpr std::uint32_t DELAYS[] = {0, 800, 1500, 3000};
    config.enumerationDelayMs = DELAYS[between(0, 3)];
    config.bootloader2.valid = chance(0.5);
    config.timing = chance(0.4) ? UnitTiming::FullSpeed() : UnitTiming::Instant();
    config.recordExchanges = false;
    config.randomSeed = rng();
    if (chance(0.07)) {
      config.mode = UnitMode::Application;
    } else if (chance(0.07)) {
      config.application.version = NEWER_VERSION;
      unit.newer = true;
    }
    if (chance(0.25)) {
      Fault fault;
      fault.kind = chance(0.6) ? FaultKind::PowerLoss : FaultKind::Unplug;
      fault.exchange = between(0, UPDATE_EXCHANGES - 1);
      fault.workDone = static_cast<std::uint32_t>(between(0, FAULT_ALL_DONE));
      fault.value = chance(0.5) ? static_cast<std::uint32_t>(between(300, 6000)) : FAULT_UNTIL_PLUGGED_IN;
      unit.fault = fault;
    }
    if (chance(0.3)) {
      unit.pause = static_cast<int>(between(1, 2));
      unit.pauseAtMs = static_cast<std::uint32_t>(between(0, STEP_PAUSE_MS - 1));
      unit.pauseKind = chance(0.5) ? Kind::Unplug : Kind::PauseCut;
      unit.awayMs = chance(0.7) ? static_cast<std::uint32_t>(between(100, 6000)) : FAULT_UNTIL_PLUGGED_IN;
    }
    unit.plugInAfterMs = static_cast<std::uint32_t>(between(500, 8000));
    if (control) {  // units that come back at once, and nothing but the swaps
      config.enumerationDelayMs = 0;
      unit.fault.reset();
      unit.pause = 0;
    }
    plan.units.push_back(unit);
  }
  if (control) {
    plan.swaps = {{between(0, 5000), 0}, {between(5000, 10000), 0}};
    return plan;
  }
  const std::uint64_t swaps = chance(0.4) ? 0 : chance(0.65) ? 1 : 2;
  for (std::uint64_t i = 0; i < swaps; ++i) {
    plan.swaps.push_back({between(0, 20000), static_cast<std::uint32_t>(between(500, 4000))});
  }
  return plan;
}

// ---- The terminal's output, line by line ----

// Collects the lines written to it (from the thread that runs the tray or from those that check the units).
class EventLines final : public std::streambuf {
 public:
  std::vector<std::string> Take() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> lines;
    lines.swap(lines_);
    return lines;
  }

 protected:
  int_type overflow(int_type ch) override {
    if (ch != traits_type::eof()) Put(static_cast<char>(ch));
    return traits_type::not_eof(ch);
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    for (std::streamsize i = 0; i < count; ++i) Put(text[i]);
    return count;
  }

 private:
  void Put(char ch) {
    std::lock_guard lock(mutex_);
    if (ch != '\n') {
      line_ += ch;
      return;
    }
    lines_.push_back(std::move(line_));
    line_.clear();
  }

  std::mutex mutex_;
  std::string line_;
  std::vector<std::string> lines_;
};

// ---- One tray ----

struct TrayOutcome {
  std::size_t units = 0;
  std::array<std::uint64_t, KIND_COUNT> events{};
  std::uint64_t wrongUnitRequests = 0;
  std::uint64_t bricked = 0;
  std::uint64_t falseSuccesses = 0;
  std::uint64_t notRecovered = 0;
  std::uint64_t firstDone = 0, firstFailed = 0, firstNoUnit = 0, firstRefused = 0;
  std::uint64_t violations = 0;
  std::string problem;
  std::string acts;          // what was done to the units, in order
  std::string firstResults;  // each unit's end in the first run
};

// How a session is doing, as its events tell.
enum class SessionState { Checking, Writing, Pausing, Ended };

struct Result {
  std::string outcome;
  int code = -1;
};

std::uint32_t PortNumber(const std::string& location) {
  unsigned port = 0;
  return std::sscanf(location.c_str(), "Port_#%u", &port) == 1 ? port : 0;
}

class TrayRun {
 public:
  TrayRun(std::uint64_t seed, bool control)
      : plan_(MakePlan(seed, control)), control_(control), rng_(seed ^ 0x5DEECE66DULL) {
    context_.clock = &clock_;
    context_.usb = &usb_;
    context_.poster = &queue_;
    context_.resources = &ProgramResources();
    context_.unitLocks = &locks_;
    for (const UnitPlan& plan : plan_.units) {
      auto unit = std::make_unique<Unit>();
      unit->plan = &plan;
      unit->emulated = &usb_.AddUnit(plan.config);
      unit->start = unit->emulated->Location();
      unit->startPort = PortNumber(unit->start);
      unit->number = units_.size() + 1;
      units_.push_back(std::move(unit));
    }
  }

  TrayOutcome Run() {
    outcome_.units = units_.size();
    Arm();
    FirstRun();
    const std::vector<bool> refusedByDesign = BringBack();
    SecondRun(refusedByDesign);
    outcome_.violations = usb_.Violations().size();
    outcome_.acts = acts_;
    return outcome_;
  }

 private:
  // Counts the units' own kinds, records where each request comes, and arms each unit's cut at a request.
  void Arm() {
    for (auto& unit : units_) {
      const UnitPlan& plan = *unit->plan;
      outcome_.events[static_cast<std::size_t>(Kind::LateReturn)] += plan.config.enumerationDelayMs >= 1500;
      outcome_.events[static_cast<std::size_t>(Kind::NewPort)] += plan.config.newPortOnReturn;
      outcome_.events[static_cast<std::size_t>(Kind::Refused)] +=
          plan.newer || plan.config.mode == UnitMode::Application;
      Unit& u = *unit;
      u.emulated->SetExchangeHook([this, &u](const UsbBlock&, std::uint64_t index) {
        const std::string at = u.emulated->Location();
        std::lock_guard lock(u.mutex);
        ++u.requestsAt[at];
        if (u.plan->fault && index == u.plan->fault->exchange) u.faultFiredAtMs = clock_.NowMs();
      });
      if (plan.fault) u.emulated->AddFault(*plan.fault);
    }
  }

  // The first run, with the events.
  void FirstRun() {
    std::map<std::string, Result> first = RunTray(true);
    CheckRequests("the first run");
    for (auto& unit : units_) {
      const Result& result = first[unit->start];
      if (result.outcome == "done") ++outcome_.firstDone;
      if (result.outcome == "failed") ++outcome_.firstFailed;
      if (result.outcome == "refused") ++outcome_.firstRefused;
      if (result.outcome != "done" && result.code == FWL_ERR_NOT_FOUND) ++outcome_.firstNoUnit;
      CheckDone(*unit, result, "the first run");
      outcome_.firstResults += (outcome_.firstResults.empty() ? "" : " ") + std::to_string(unit->number) + ":" +
                               result.outcome + "[" + std::to_string(result.code) + "]";
    }
  }

  // Every unit back at its port, faults gone; none may be bricked. Which units the second run must refuse.
  std::vector<bool> BringBack() {
    for (auto& unit : units_) unit->emulated->ClearFaults();
    clock_.Advance(SETTLE_MS);
    std::vector<Unit*> moved;
    for (auto& unit : units_) {
      if (!unit->emulated->IsPresent() || unit->emulated->Location() != unit->start) {
        unit->emulated->Unplug();
        moved.push_back(unit.get());
      }
    }
    std::uint32_t longestDelay = 0;
    for (Unit* unit : moved) {
      unit->emulated->PlugInAt(unit->startPort);
      longestDelay = std::max(longestDelay, unit->plan->config.enumerationDelayMs);
    }
    clock_.Advance(longestDelay + 1);
    for (auto& unit : units_) {
      std::lock_guard lock(unit->mutex);
      unit->requestsAt.clear();
    }
    std::vector<bool> refusedByDesign;
    for (auto& unit : units_) {
      if (unit->emulated->IsBricked()) {
        ++outcome_.bricked;
        Problem(Name(*unit) + " is bricked");
      } else if (!unit->emulated->IsPresent()) {
        ++outcome_.notRecovered;
        Problem(Name(*unit) + " did not come back at its port");
      }
      // As the unit is now (after the look at its presence): one switched off and on runs its bootloader; newer
      // firmware stays unless it was written.
      refusedByDesign.push_back(unit->emulated->Mode() == UnitMode::Application ||
                                (unit->plan->newer && unit->emulated->ApplicationVersion() == NEWER_VERSION));
    }
    return refusedByDesign;
  }

  // The second run completes every unit that is not refused by design.
  void SecondRun(const std::vector<bool>& refusedByDesign) {
    std::map<std::string, Result> second = RunTray(false);
    CheckRequests("the second run");
    for (std::size_t i = 0; i < units_.size(); ++i) {
      Unit& unit = *units_[i];
      if (unit.emulated->IsBricked() || !unit.emulated->IsPresent()) continue;
      const Result& result = second[unit.start];
      CheckDone(unit, result, "the second run");
      const char* expected = refusedByDesign[i] ? "refused" : "done";
      if (result.outcome != expected) {
        ++outcome_.notRecovered;
        Problem(Name(unit) + ": the second run ended " + result.outcome + " [" + std::to_string(result.code) +
                "], not " + expected);
      }
    }
  }

  struct Unit {
    const UnitPlan* plan = nullptr;
    EmulatedUnit* emulated = nullptr;
    std::size_t number = 0;
    std::string start;  // its port when the tray started: the session that may write to it
    std::uint32_t startPort = 0;
    std::mutex mutex;  // the hook runs on the updater's threads
    std::map<std::string, std::uint64_t> requestsAt;
    std::atomic<std::uint64_t> faultFiredAtMs{NEVER};
    bool faultCounted = false;
    SessionState state = SessionState::Checking;
    int pauses = 0;
    std::uint64_t pauseStartMs = 0;
    bool pauseActDone = false;
    std::uint64_t plugInAtMs = NEVER;  // the user plugs it in (or switches it on) then
    std::uint64_t cutAtMs = NEVER;     // a cut planned in a pause, not fallen yet
    bool swapping = false;
  };

  struct Swap {
    Unit* a;
    Unit* b;
    std::uint32_t portA, portB;
    std::uint64_t startMs;
    std::uint32_t awayMs;
    std::uint64_t pollTurn = 0;  // the call of afterEvent that first saw a look at the bus due; 0: not yet
  };

  static std::string Name(const Unit& unit) { return "unit " + std::to_string(unit.number) + " (" + unit.start + ")"; }

  void Act(const std::string& text) {
    acts_ += (acts_.empty() ? "" : "; ") + std::to_string(clock_.NowMs()) + " ms " + text;
  }

  void Problem(const std::string& text) { outcome_.problem += (outcome_.problem.empty() ? "" : "; ") + text; }

  std::map<std::string, Result> RunTray(bool withEvents) {
    EventLines lines;
    std::ostream out(&lines);
    std::ostringstream err;
    CliIo io(out, err);
    lines_ = &lines;
    // The program checks its images into process-wide records as it starts (a program is one process): the trays
    // of the other jobs start one at a time, until this tray's loop runs.
    std::unique_lock starting(g_starting);
    io.afterEvent = [this, withEvents, &starting] {
      if (starting.owns_lock()) starting.unlock();
      if (withEvents) AfterEvent();
    };
    RunHelmetUpdate({"update", "--all", "--yes", "--json"}, context_, io);
    ReadEvents();
    lines_ = nullptr;
    std::map<std::string, Result> results;
    results.swap(results_);
    return results;
  }

  // The events written since the last look: each session's state, and the results at the end.
  void ReadEvents() {
    for (const std::string& line : lines_->Take()) {
      if (line.find("\"progress\"") != std::string::npos || line.find("\"stage\"") != std::string::npos) continue;
      const nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
      if (event.is_discarded() || !event.contains("unit") || !event["unit"].is_string()) continue;
      const std::string name = event.value("event", "");
      const std::string port = event["unit"];
      if (name == "result") {
        results_[port] = Result{event.value("outcome", ""), event.value("code", -1)};
        continue;
      }
      Unit* unit = UnitStartedAt(port);
      if (unit == nullptr) continue;
      if (name == "step") {
        unit->state = SessionState::Writing;
      } else if (name == "message") {
        unit->state = SessionState::Ended;
      } else if (name == "pause" && unit->state != SessionState::Pausing) {
        unit->state = SessionState::Pausing;
        ++unit->pauses;
        unit->pauseStartMs = clock_.NowMs();
        PauseBegins(*unit);
      }
    }
  }

  Unit* UnitStartedAt(const std::string& port) {
    for (auto& unit : units_) {
      if (unit->start == port) return unit.get();
    }
    return nullptr;
  }

  // Free for an act: on the bus, and in no other act.
  static bool Free(Unit& unit) {
    return !unit.swapping && unit.plugInAtMs == NEVER && unit.cutAtMs == NEVER && unit.emulated->IsPresent();
  }

  void PauseBegins(Unit& unit) {
    const UnitPlan& plan = *unit.plan;
    if (plan.pause != unit.pauses || plan.pauseKind != Kind::PauseCut || unit.pauseActDone) return;
    unit.pauseActDone = true;
    if (!Free(unit)) return;
    unit.cutAtMs = clock_.NowMs() + plan.pauseAtMs;
    unit.emulated->CutPowerAt(unit.cutAtMs, plan.awayMs);
    if (plan.awayMs == FAULT_UNTIL_PLUGGED_IN) unit.plugInAtMs = unit.cutAtMs + plan.plugInAfterMs;
  }

  // After each notification and each slice of waiting, on the tray's thread.
  void AfterEvent() {
    ++turn_;
    ReadEvents();
    const std::uint64_t now = clock_.NowMs();
    for (auto& entry : units_) {
      Unit& unit = *entry;
      const UnitPlan& plan = *unit.plan;
      const std::uint64_t fired = unit.faultFiredAtMs.load();
      if (plan.fault && !unit.faultCounted && fired != NEVER) {
        unit.faultCounted = true;
        const Kind kind = plan.fault->kind == FaultKind::Unplug ? Kind::Unplug : Kind::PowerCut;
        ++outcome_.events[static_cast<std::size_t>(kind)];
        Act(Name(unit) + ": " + KINDS[static_cast<std::size_t>(kind)].name + " at request " +
            std::to_string(plan.fault->exchange) + " (" + std::to_string(fired) + " ms)");
        if (plan.fault->value == FAULT_UNTIL_PLUGGED_IN) unit.plugInAtMs = fired + plan.plugInAfterMs;
      }
      if (unit.cutAtMs != NEVER && now >= unit.cutAtMs) {
        ++outcome_.events[static_cast<std::size_t>(Kind::PauseCut)];
        Act(Name(unit) + ": power cut in pause " + std::to_string(unit.pauses) + " at " + std::to_string(unit.cutAtMs) +
            " ms, away " +
            (plan.awayMs == FAULT_UNTIL_PLUGGED_IN ? "until switched on" : std::to_string(plan.awayMs) + " ms"));
        unit.cutAtMs = NEVER;
      }
      if (unit.plugInAtMs != NEVER && now >= unit.plugInAtMs && unit.cutAtMs == NEVER) {
        unit.plugInAtMs = NEVER;
        unit.emulated->PlugIn();
        Act(Name(unit) + ": plugged in");
      }
      if (plan.pause != 0 && plan.pause == unit.pauses && plan.pauseKind == Kind::Unplug && !unit.pauseActDone &&
          unit.state == SessionState::Pausing && now >= unit.pauseStartMs + plan.pauseAtMs) {
        unit.pauseActDone = true;
        if (Free(unit)) {
          unit.emulated->Unplug();
          const std::uint32_t away = plan.awayMs == FAULT_UNTIL_PLUGGED_IN ? plan.plugInAfterMs : plan.awayMs;
          unit.plugInAtMs = now + away;
          ++outcome_.events[static_cast<std::size_t>(Kind::Unplug)];
          Act(Name(unit) + ": unplugged in pause " + std::to_string(unit.pauses) + " for " + std::to_string(away) +
              " ms");
        }
      }
    }
    StartSwaps(now);
    EndSwaps(now);
  }

  void StartSwaps(std::uint64_t now) {
    while (nextSwap_ < plan_.swaps.size() && now >= plan_.swaps[nextSwap_].earliestMs) {
      std::vector<Unit*> pausing;
      std::vector<Unit*> others;  // their updates ended
      for (auto& unit : units_) {
        if (!Free(*unit)) continue;
        if (unit->state == SessionState::Pausing) pausing.push_back(unit.get());
        if (unit->state == SessionState::Ended) others.push_back(unit.get());
      }
      if (pausing.empty() || pausing.size() + others.size() < 2) return;  // tried again at the next call
      Unit* a = pausing[std::uniform_int_distribution<std::size_t>(0, pausing.size() - 1)(rng_)];
      std::vector<Unit*> partners = others;
      for (Unit* unit : pausing) {
        if (unit != a) partners.push_back(unit);
      }
      Unit* b = partners[std::uniform_int_distribution<std::size_t>(0, partners.size() - 1)(rng_)];
      const SwapPlan& plan = plan_.swaps[nextSwap_++];
      Swap swap{a, b, PortNumber(a->emulated->Location()), PortNumber(b->emulated->Location()), now, plan.awayMs};
      a->swapping = b->swapping = true;
      a->emulated->Unplug();
      b->emulated->Unplug();
      swaps_.push_back(swap);
      ++outcome_.events[static_cast<std::size_t>(Kind::Swap)];
      Act("swap of " + Name(*a) + " at port " + std::to_string(swap.portA) + " and " + Name(*b) + " at port " +
          std::to_string(swap.portB) + ", away " + std::to_string(plan.awayMs) + " ms");
    }
  }

  // Each unit of a swap is plugged in at the other's port once it was away long enough and the tray has looked at
  // the bus meanwhile: on the virtual clock another thread's sleep can carry the time past the absence between two
  // turns of the tray's loop, which real time never does while a person swaps two units. The control plugs them
  // in at once, before the tray can look.
  void EndSwaps(std::uint64_t now) {
    for (Swap& swap : swaps_) {
      if (!swap.a->swapping) continue;
      if (!control_ && swap.pollTurn == 0 && now >= swap.startMs + BUS_POLL_MS) {
        swap.pollTurn = turn_;  // the next turn of the loop looks at the bus
        continue;
      }
      const bool looked = control_ || (swap.pollTurn != 0 && turn_ > swap.pollTurn);
      if (!looked || now < swap.startMs + swap.awayMs) continue;
      swap.a->emulated->PlugInAt(swap.portB);
      swap.b->emulated->PlugInAt(swap.portA);
      swap.a->swapping = swap.b->swapping = false;
      Act(Name(*swap.a) + " plugged in at port " + std::to_string(swap.portB) + ", " + Name(*swap.b) + " at port " +
          std::to_string(swap.portA));
    }
  }

  // Every request a unit received came from the session of its own port.
  void CheckRequests(const char* run) {
    for (auto& unit : units_) {
      std::lock_guard lock(unit->mutex);
      for (const auto& [port, count] : unit->requestsAt) {
        if (port == unit->start) continue;
        outcome_.wrongUnitRequests += count;
        Problem(std::string(run) + ": " + Name(*unit) + " received " + std::to_string(count) + " requests at " + port +
                ", the port of another session");
      }
    }
  }

  // A unit whose session reported done holds the images.
  void CheckDone(const Unit& unit, const Result& result, const char* run) {
    if (result.outcome != "done") return;
    std::string wrong = WhatIsWrong(*unit.emulated);
    if (wrong.empty()) return;
    wrong.resize(wrong.size() - 2);  // its last "; "
    ++outcome_.falseSuccesses;
    Problem(std::string(run) + ": " + Name(unit) + " reported done while " + wrong);
  }

  TrayPlan plan_;
  bool control_;
  std::mt19937_64 rng_;  // choices made as the tray runs (which units are swapped)
  VirtualClock clock_;
  EmulatedUsb usb_{clock_};
  PostedMessageQueue queue_;
  MemoryUnitLocks locks_;
  PlatformContext context_;
  std::vector<std::unique_ptr<Unit>> units_;
  EventLines* lines_ = nullptr;
  std::map<std::string, Result> results_;
  std::vector<Swap> swaps_;
  std::size_t nextSwap_ = 0;
  std::uint64_t turn_ = 0;
  TrayOutcome outcome_;
  std::string acts_;
};

void Add(CampaignRow& row, const TrayOutcome& tray) {
  ++row.trays;
  row.wrongUnitRequests += tray.wrongUnitRequests;
  row.bricked += tray.bricked;
  row.falseSuccesses += tray.falseSuccesses;
  row.notRecovered += tray.notRecovered;
}

}  // namespace

CampaignResult RunTrayCampaign(const CampaignOptions& options) {
  TheImages();
  CampaignResult result;
  for (const KindInfo& kind : KINDS) result.rows.push_back(CampaignRow{kind.name});
  result.total.kind = "total (every tray once)";
  result.control = options.control;

  // The trays are shared out one at a time; each result is added up under the lock.
  std::atomic<std::uint64_t> next{0};
  std::atomic<std::uint64_t> done{0};
  std::mutex merge;
  const auto work = [&](bool reports) {
    for (std::uint64_t i; (i = next.fetch_add(1)) < options.trays;) {
      const std::uint64_t seed = options.seed + i;
      const TrayOutcome tray = TrayRun(seed, options.control).Run();
      if (options.verbose) {
        std::string line = "seed " + std::to_string(seed) + ": " + std::to_string(tray.units) + " units";
        for (std::size_t k = 0; k < KIND_COUNT; ++k) {
          if (tray.events[k] != 0) line += ", " + std::to_string(tray.events[k]) + " " + KINDS[k].name;
        }
        line += "; first run " + tray.firstResults;
        if (!tray.problem.empty()) line += "; PROBLEM: " + tray.problem;
        if (!tray.acts.empty()) line += "\n  " + tray.acts;
        options.verbose(line);
      }
      {
        std::lock_guard lock(merge);
        result.units += tray.units;
        result.firstDone += tray.firstDone;
        result.firstFailed += tray.firstFailed;
        result.firstNoUnit += tray.firstNoUnit;
        result.firstRefused += tray.firstRefused;
        result.violations += tray.violations;
        Add(result.total, tray);
        for (std::size_t k = 0; k < KIND_COUNT; ++k) {
          result.total.events += tray.events[k];
          if (tray.events[k] == 0) continue;
          Add(result.rows[k], tray);
          result.rows[k].events += tray.events[k];
        }
        if (!tray.problem.empty()) {
          result.problems.push_back({seed, tray.problem + (tray.acts.empty() ? "" : " [" + tray.acts + "]")});
        }
      }
      const std::uint64_t count = done.fetch_add(1) + 1;
      if (reports && options.progress) options.progress(count, options.trays);
    }
  };
  std::vector<std::thread> threads;
  for (unsigned t = 1; t < std::max(1u, options.jobs); ++t) threads.emplace_back(work, false);
  work(true);
  for (std::thread& thread : threads) thread.join();
  std::sort(result.problems.begin(), result.problems.end(),
            [](const CampaignProblem& a, const CampaignProblem& b) { return a.seed < b.seed; });
  return result;
}

std::string FormatCampaign(const CampaignResult& result) {
  std::string text;
  char line[512];
  const char* format = "%-24s %7s %8s %20s %8s %16s %14s\n";
  std::snprintf(line, sizeof line, format, "event", "trays", "events", "requests wrong unit", "bricked",
                "false successes", "not recovered");
  text += line;
  const auto add = [&](const CampaignRow& row) {
    const auto n = [](std::uint64_t value) { return std::to_string(value); };
    std::snprintf(line, sizeof line, format, row.kind.c_str(), n(row.trays).c_str(), n(row.events).c_str(),
                  n(row.wrongUnitRequests).c_str(), n(row.bricked).c_str(), n(row.falseSuccesses).c_str(),
                  n(row.notRecovered).c_str());
    text += line;
  };
  for (const CampaignRow& row : result.rows) add(row);
  add(result.total);
  std::snprintf(
      line, sizeof line,
      "%llu units; first runs: %llu done, %llu failed, %llu refused; %llu ended \"no unit\" (status 3); "
      "%llu request or bus violations\n",
      static_cast<unsigned long long>(result.units), static_cast<unsigned long long>(result.firstDone),
      static_cast<unsigned long long>(result.firstFailed), static_cast<unsigned long long>(result.firstRefused),
      static_cast<unsigned long long>(result.firstNoUnit), static_cast<unsigned long long>(result.violations));
  text += line;
  for (const CampaignProblem& problem : result.problems) {
    text += "problem, seed " + std::to_string(problem.seed) + " (tray_campaign --seed " + std::to_string(problem.seed) +
            " --trays 1" + (result.control ? " --control" : "") + " --verbose): " + problem.text + "\n";
  }
  return text;
}

std::string CampaignKindHelp() {
  std::string text;
  for (const KindInfo& kind : KINDS) text += "  " + std::string(kind.name) + ": " + kind.help + "\n";
  return text;
}
