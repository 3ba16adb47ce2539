#include "tools/cut_sweep.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "app/clock.h"
#include "emu/emulated_usb.h"
#include "emu/request_check.h"
#include "tools/image_check.h"
#include "tools/update_drive.h"
#include "ui/update_step.h"

namespace {

enum class Kind { PowerCut, Unplug, BeforeAnswer, InWork, LateAnswer, Pause5s, Pause2s };

struct KindInfo {
  Kind kind;
  const char* name;
  const char* help;
};
constexpr KindInfo KINDS[] = {
    {Kind::PowerCut, "power cut", "the power fails as a request is carried out, half of its work done"},
    {Kind::Unplug, "unplug", "the cable is pulled as a request comes; nothing of it is carried out"},
    {Kind::BeforeAnswer, "cut before answer", "the request is carried out in full; the power fails before its answer"},
    {Kind::InWork, "cut in work",
     "the power fails at a place inside the unit's own erase, program and flag work, leaving unstable bits"},
    {Kind::LateAnswer, "late answer", "the answer comes after the host's time limit and stays in the IN pipe"},
    {Kind::Pause5s, "cut in 5 s pause", "the power fails at a moment of a pause between two steps"},
    {Kind::Pause2s, "cut in 2 s pause",
     "a step or the device query fails (a dropped answer) and the power fails in the pause after its reset"},
};
constexpr std::size_t EXCHANGE_KINDS = 5;  // the first five are cuts at an exchange

// How long the user takes before doing something (looking, plugging in, pressing "Update!").
constexpr std::uint32_t USER_MS = 3000;
constexpr int USER_PRESSES = 5;
// Thousandths of the unit's work at which a cut lands inside START and FINISH (several steps each).
constexpr std::uint32_t WORK_PLACES[] = {0, 120, 250, 370, 500, 620, 750, 870, 999};

UnitConfig SweepUnit(bool boot2Flag, bool control) {
  UnitConfig config = HarderUnit();
  config.bootloader2.valid = boot2Flag;
  config.flagOnlyBoot = control;
  config.recordExchanges = false;
  return config;
}

// ---- Points ----

struct Cut {
  Kind kind = Kind::PowerCut;
  std::uint64_t index = 0;  // the exchange in its update (for Pause2s: the exchange whose answer is dropped)
  std::uint32_t workDone = FAULT_HALF_DONE;
  int pause = 0;  // Pause5s: the step that the pause leads to
  std::uint32_t atMs = 0;
  std::uint32_t awayMs = FAULT_UNTIL_PLUGGED_IN;
};

struct Point {
  std::size_t row;
  bool boot2Flag;
  Cut first;
  std::optional<Cut> second;  // in the recovery update
};

// The request at each exchange of a clean update, per plan.
struct Reference {
  std::vector<UsbBlock> requests;
  std::vector<std::uint64_t> starts, finishes;  // the exchanges of the three steps' START and FINISH
};

Reference MakeReference(bool boot2Flag) {
  VirtualClock clock;
  EmulatedUsb usb(clock);
  UnitConfig config = SweepUnit(boot2Flag, false);
  config.recordExchanges = true;
  EmulatedUnit& unit = usb.AddUnit(config);
  UpdateDrive drive(usb, clock);
  drive.PressUpdate();
  Reference reference;
  for (const ExchangeRecord& record : unit.Exchanges()) {
    if (record.request.BlockID == BLK_START) reference.starts.push_back(record.index);
    if (record.request.BlockID == BLK_FINISH) reference.finishes.push_back(record.index);
    reference.requests.push_back(record.request);
  }
  return reference;
}

std::string Describe(const Cut& cut, const Reference* reference) {
  char text[200];
  const char* name = KINDS[static_cast<std::size_t>(cut.kind)].name;
  switch (cut.kind) {
    case Kind::Pause5s:
      std::snprintf(text, sizeof text, "%s before step %d, %u ms into it, back after %s", name, cut.pause,
                    static_cast<unsigned>(cut.atMs),
                    cut.awayMs == FAULT_UNTIL_PLUGGED_IN ? "plugging in" : std::to_string(cut.awayMs).c_str());
      return text;
    case Kind::Pause2s:
      std::snprintf(text, sizeof text, "%s after the answer to exchange %" PRIu64 " was dropped, %u ms into it", name,
                    cut.index, static_cast<unsigned>(cut.atMs));
      return text;
    default:
      break;
  }
  std::string request;
  if (reference && cut.index < reference->requests.size()) {
    const UsbBlock& r = reference->requests[cut.index];
    char what[80];
    std::snprintf(what, sizeof what, " (%s 0x%06x)", BlockIdName(r.BlockID).c_str(),
                  static_cast<unsigned>(r.BlockAddress));
    request = what;
  }
  std::snprintf(text, sizeof text, "%s at exchange %" PRIu64 "%s", name, cut.index, request.c_str());
  std::string described = text;
  if (cut.kind == Kind::InWork) described += ", " + std::to_string(cut.workDone) + "/1000 of its work done";
  return described;
}

// ---- One point ----

struct PointOutcome {
  bool bricked = false;
  bool recovered = false;
  bool falseSuccess = false;
  bool cutCompleted = false;
  bool retried = false;
  std::string note;
  std::string refusal;  // the box of the first refused "Update!" after the cut
};

const char* RefusalName(ResultCode code) {
  switch (code) {
    case FWL_ERR_APP_MODE:
      return "\"The device is in application mode\"";
    case FWL_ERR_NOT_FOUND:
      return "\"Device not found\"";
    case FWL_ERR_NEWER_FIRMWARE:
      return "\"The device has a newer firmware\"";
    case FWL_ERR_WRONG_DEVICE:
      return "\"Firmware image is not suitable for this device\"";
    case FWL_BUSY:
      return "another box";
    default:
      return "\"Firmware data invalid\"";
  }
}

// The fault of a cut at this exchange (for a late answer: if the request is of this kind, 0 for any).
Fault FaultFor(const Cut& cut, std::uint32_t blockId, std::uint64_t exchange) {
  Fault fault;
  fault.exchange = exchange;
  fault.blockId = blockId;
  fault.value = FAULT_UNTIL_PLUGGED_IN;
  switch (cut.kind) {
    case Kind::PowerCut:
      fault.kind = FaultKind::PowerLoss;
      break;
    case Kind::Unplug:
      fault.kind = FaultKind::Unplug;
      break;
    case Kind::BeforeAnswer:
      fault.kind = FaultKind::AnswerLoss;
      break;
    case Kind::InWork:
      fault.kind = FaultKind::PowerLoss;
      fault.workDone = cut.workDone;
      break;
    default:  // LateAnswer: past the time limit of its request
      fault.kind = FaultKind::SlowAnswer;
      fault.value = blockId == BLK_ERASE ? 20500 : 1500;
      break;
  }
  return fault;
}

class PointRun {
 public:
  PointRun(const Point& point, bool control)
      : point_(point), unit_(usb_.AddUnit(SweepUnit(point.boot2Flag, control))), drive_(usb_, clock_) {}

  PointOutcome Run() {
    PointOutcome outcome;
    const std::optional<Cut> cuts[2] = {point_.first, point_.second};
    for (int update = 0; update < 2 && cuts[update]; ++update) {
      Arm(*cuts[update]);
      const UpdateResult result = drive_.PressUpdate();
      Disarm();
      if (result.outcome == UpdateOutcome::Completed) {
        const std::string wrong = WhatIsWrong(unit_);
        if (!wrong.empty()) {
          outcome.falseSuccess = true;
          outcome.note += "update " + std::to_string(update + 1) + " reported success while " + wrong;
        } else if (update == 0) {
          outcome.cutCompleted = true;
        }
      } else if (result.outcome == UpdateOutcome::Hung) {
        outcome.note += "update " + std::to_string(update + 1) + " hung; ";
      }
      if (!BringBack()) {
        outcome.bricked = true;
        outcome.note += "bricked after update " + std::to_string(update + 1);
        return outcome;
      }
    }
    // The user presses "Update!" until an update runs; it must complete, right.
    for (int press = 0; press < USER_PRESSES; ++press) {
      const UpdateResult result = drive_.PressUpdate();
      if (result.outcome == UpdateOutcome::Completed) {
        const std::string wrong = WhatIsWrong(unit_);
        outcome.recovered = wrong.empty();
        if (!wrong.empty()) {
          outcome.falseSuccess = true;
          outcome.note += "the recovery reported success while " + wrong;
        }
        return outcome;
      }
      if (result.outcome != UpdateOutcome::NotStarted) {
        outcome.note += result.outcome == UpdateOutcome::Hung ? "the recovery hung" : "the recovery failed";
        return outcome;
      }
      // Refused at its start: "switch the system off and try again", or the unit was not found yet.
      if (!outcome.retried) outcome.refusal = RefusalName(result.result);
      outcome.retried = true;
      if (result.result != FWL_ERR_NOT_FOUND) unit_.Unplug();
      if (!BringBack()) {
        outcome.bricked = true;
        outcome.note += "bricked while the user tried again";
        return outcome;
      }
    }
    outcome.note += "no update started in " + std::to_string(USER_PRESSES) + " presses";
    return outcome;
  }

 private:
  void Arm(const Cut& cut) {
    const std::uint64_t base = unit_.ExchangeCount();
    if (cut.kind == Kind::Pause5s) {
      drive_.beforeStepPause = [this, cut](int next) {
        if (next == cut.pause) unit_.CutPowerAt(clock_.NowMs() + cut.atMs, cut.awayMs);
      };
      return;
    }
    if (cut.kind == Kind::Pause2s) {
      unit_.AddFault({.kind = FaultKind::DropAnswer, .exchange = base + cut.index});
      unit_.SetExchangeHook([this, cut, armed = false](const UsbBlock& request, std::uint64_t) mutable {
        if (request.BlockID != BLK_RESET || armed) return;
        armed = true;  // the pause follows this reset's exchange
        unit_.CutPowerAt(clock_.NowMs() + cut.atMs, cut.awayMs);
      });
      return;
    }
    // A late answer is late past its request's time limit: 20 s for an erase, 1 s for any other.
    const std::uint64_t exchange = base + cut.index;
    unit_.AddFault(FaultFor(cut, 0, exchange));
    if (cut.kind == Kind::LateAnswer) unit_.AddFault(FaultFor(cut, BLK_ERASE, exchange));
  }

  void Disarm() {
    unit_.SetExchangeHook(nullptr);
    unit_.ClearFaults();
    drive_.beforeStepPause = nullptr;
  }

  // The user waits, plugs the unit in (or switches it on) if it is not there, and waits for it; false when it
  // never comes: bricked.
  bool BringBack() {
    clock_.Advance(USER_MS);
    if (!unit_.IsPresent()) unit_.PlugIn();
    clock_.Advance(unit_.Config().enumerationDelayMs + USER_MS);
    return unit_.IsPresent() && !unit_.IsBricked();
  }

  const Point& point_;
  VirtualClock clock_;
  EmulatedUsb usb_{clock_};
  EmulatedUnit& unit_;
  UpdateDrive drive_;
};

// ---- The sweep ----

std::string PlanName(bool boot2Flag) { return boot2Flag ? "boot2 flag 1" : "boot2 flag 0"; }

SweepRow Row(bool boot2Flag, const std::string& kind) {
  SweepRow row;
  row.plan = PlanName(boot2Flag);
  row.kind = kind;
  return row;
}

// The exchanges tried (SweepSelection).
std::vector<std::uint64_t> ExchangesTried(const Reference& reference, const SweepOptions& options) {
  std::set<std::uint64_t> tried;
  const std::uint64_t count = reference.requests.size();
  const std::uint64_t application = reference.starts.empty() ? count : reference.starts.back();
  const std::uint64_t stride = std::max(1u, options.stride);
  const std::uint64_t bootStride = std::max<std::uint64_t>(1, stride / 20);
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint32_t id = reference.requests[i].BlockID;
    switch (options.selection) {
      case SweepSelection::Every:
        tried.insert(i);
        break;
      case SweepSelection::Sparse:
        if (i < application ? i % bootStride == bootStride / 2 : i % stride == stride / 2) tried.insert(i);
        break;
      case SweepSelection::Subset: {
        const bool query = reference.starts.empty() || i < reference.starts.front();
        if (query || id == BLK_PING || id == BLK_GET_MODE || i % stride == stride / 2) tried.insert(i);
        // Around an erase: the erase and the write after it (in the bootloader steps the read before it too).
        const bool around = id == BLK_START || id == BLK_FINISH || (id == BLK_ERASE && i < application);
        if (around && i > 0) tried.insert(i - 1);
        if (around || id == BLK_ERASE) {
          tried.insert(i);
          if (i + 1 < count) tried.insert(i + 1);
        }
        break;
      }
    }
  }
  return {tried.begin(), tried.end()};
}

// A spread of places inside the unit's work, one per exchange.
std::uint32_t WorkPlace(std::uint64_t index) { return static_cast<std::uint32_t>((index * 379 + 101) % 999) + 1; }

// Places for double faults: in each step, its start, a third into it (programming), five sixths into it
// (verifying) and its finish, and one in the device query; in the subset a third into the first two steps and
// the first step's finish.
std::vector<std::uint64_t> GridPlaces(const Reference& reference, bool full) {
  std::vector<std::uint64_t> places;
  for (std::size_t step = 0; step < reference.starts.size() && step < reference.finishes.size(); ++step) {
    const std::uint64_t start = reference.starts[step];
    const std::uint64_t finish = reference.finishes[step];
    if (full) places.insert(places.end(), {start, start + (finish - start) * 5 / 6});
    if (full || step < 2) places.push_back(start + (finish - start) / 3);
    if (full || step == 0) places.push_back(finish);
  }
  if (full) places.push_back(2);  // in the device query
  return places;
}

struct Plan {
  bool boot2Flag;
  Reference reference;
};

void AddPoints(const Plan& plan, const SweepOptions& options, std::vector<SweepRow>& rows, std::vector<Point>& points) {
  const Reference& reference = plan.reference;
  const std::vector<std::uint64_t> exchanges = ExchangesTried(reference, options);
  const std::size_t kinds = options.control ? 4 : EXCHANGE_KINDS;  // the control: the cuts, not late answers
  for (std::size_t k = 0; k < kinds; ++k) {
    const Kind kind = KINDS[k].kind;
    rows.push_back(Row(plan.boot2Flag, KINDS[k].name));
    for (std::uint64_t index : exchanges) {
      Cut cut{kind, index};
      if (kind == Kind::InWork) {
        const std::uint32_t id = reference.requests[index].BlockID;
        if (id == BLK_START || id == BLK_FINISH) {
          for (std::uint32_t place : WORK_PLACES) {
            cut.workDone = place;
            points.push_back({rows.size() - 1, plan.boot2Flag, cut, std::nullopt});
          }
          continue;
        }
        cut.workDone = WorkPlace(index);
      }
      points.push_back({rows.size() - 1, plan.boot2Flag, cut, std::nullopt});
    }
  }
  if (options.control) return;

  if (options.doubles) {
    const std::vector<std::uint64_t> grid = GridPlaces(reference, options.selection == SweepSelection::Every);
    for (std::size_t k = 0; k < EXCHANGE_KINDS; ++k) {
      rows.push_back(Row(plan.boot2Flag, std::string(KINDS[k].name) + ", twice"));
      for (std::uint64_t first : grid) {
        for (std::uint64_t second : grid) {
          Cut a{KINDS[k].kind, first, WorkPlace(first)};
          Cut b{KINDS[k].kind, second, WorkPlace(second + 1)};
          points.push_back({rows.size() - 1, plan.boot2Flag, a, b});
        }
      }
    }
  }
  if (!options.pauses) return;

  // The pauses between steps: the two timers, moments in them, how long the power stays away.
  rows.push_back(Row(plan.boot2Flag, KINDS[static_cast<std::size_t>(Kind::Pause5s)].name));
  const bool full = options.selection == SweepSelection::Every;
  const std::vector<std::uint32_t> moments5 =
      full ? std::vector<std::uint32_t>{0, 1, 1000, 2500, 4000, 4999} : std::vector<std::uint32_t>{0, 2500, 4999};
  const std::vector<std::uint32_t> aways5 =
      full ? std::vector<std::uint32_t>{500, 1000, 3000, 10000, FAULT_UNTIL_PLUGGED_IN}
           : std::vector<std::uint32_t>{1000, 10000, FAULT_UNTIL_PLUGGED_IN};
  const int firstPause = plan.boot2Flag ? STEP_BOOT2_SECOND : STEP_BOOT1_SECOND;
  for (int pause : {firstPause, STEP_APPLICATION}) {
    for (std::uint32_t at : moments5) {
      for (std::uint32_t away : aways5) {
        Cut cut{Kind::Pause5s};
        cut.pause = pause;
        cut.atMs = at;
        cut.awayMs = away;
        points.push_back({rows.size() - 1, plan.boot2Flag, cut, std::nullopt});
      }
    }
  }
  // The pause after a failed step's reset (and after the device query's reset): a dropped answer in the query,
  // at each step's start, in its programming and in its verification.
  rows.push_back(Row(plan.boot2Flag, KINDS[static_cast<std::size_t>(Kind::Pause2s)].name));
  std::vector<std::uint64_t> failures = {4};  // the flags query: the device query resets and pauses
  for (std::size_t step = 0; step < reference.starts.size() && step < reference.finishes.size(); ++step) {
    const std::uint64_t start = reference.starts[step];
    const std::uint64_t finish = reference.finishes[step];
    if (full || step == 0) failures.push_back(start);
    if (full || step == 1) failures.push_back(start + (finish - start) / 3);
    if (full || step == 2) failures.push_back(start + (finish - start) * 5 / 6);
  }
  const std::vector<std::uint32_t> moments2 =
      full ? std::vector<std::uint32_t>{0, 1, 500, 999, 1000, 1001, 1999} : std::vector<std::uint32_t>{0, 999, 1999};
  const std::vector<std::uint32_t> aways2 = full ? std::vector<std::uint32_t>{500, 3000, FAULT_UNTIL_PLUGGED_IN}
                                                 : std::vector<std::uint32_t>{500, FAULT_UNTIL_PLUGGED_IN};
  for (std::uint64_t failure : failures) {
    for (std::uint32_t at : moments2) {
      for (std::uint32_t away : aways2) {
        Cut cut{Kind::Pause2s, failure};
        cut.atMs = at;
        cut.awayMs = away;
        points.push_back({rows.size() - 1, plan.boot2Flag, cut, std::nullopt});
      }
    }
  }
}

}  // namespace

std::vector<SweepRow> RunCutSweep(const SweepOptions& options) {
  TheImages();
  std::vector<Plan> plans;
  for (bool boot2Flag : {true, false}) plans.push_back({boot2Flag, MakeReference(boot2Flag)});

  std::vector<SweepRow> rows;
  std::vector<Point> points;
  for (const Plan& plan : plans) AddPoints(plan, options, rows, points);
  if (options.parts > 1) {
    std::vector<Point> part;
    for (std::size_t i = options.part; i < points.size(); i += options.parts) part.push_back(points[i]);
    points.swap(part);
  }

  // The points are shared out one at a time; each thread keeps its own counts, added up at the end.
  std::atomic<std::size_t> next{0};
  std::atomic<std::uint64_t> done{0};
  std::mutex merge;
  const auto work = [&](bool reports) {
    std::vector<SweepRow> mine(rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) mine[r].plan = rows[r].plan;
    for (std::size_t i; (i = next.fetch_add(1)) < points.size();) {
      const Point& point = points[i];
      const PointOutcome outcome = PointRun(point, options.control).Run();
      SweepRow& row = mine[point.row];
      ++row.points;
      row.bricked += outcome.bricked;
      row.recovered += outcome.recovered;
      row.notRecovered += !outcome.bricked && !outcome.recovered;
      row.falseSuccesses += outcome.falseSuccess;
      row.cutCompleted += outcome.cutCompleted;
      row.retried += outcome.retried;
      const bool problem = outcome.bricked || !outcome.recovered || outcome.falseSuccess;
      if (problem || outcome.retried || outcome.cutCompleted) {
        const Reference& reference = plans[point.boot2Flag ? 0 : 1].reference;
        std::string described = Describe(point.first, &reference);
        if (point.second) described += "; then " + Describe(*point.second, nullptr) + " of the recovery";
        if (outcome.retried && row.firstRetry.empty()) row.firstRetry = described + ": " + outcome.refusal;
        if (problem && row.firstProblem.empty()) row.firstProblem = described + ": " + outcome.note;
        if (options.verbose) {
          options.verbose(row.plan + ", " + described + ": " + (problem ? outcome.note : "") +
                          (outcome.cutCompleted ? " the cut update completed" : "") +
                          (outcome.retried ? " refused first with " + outcome.refusal : ""));
        }
      }
      const std::uint64_t count = done.fetch_add(1) + 1;
      if (reports && options.progress && count % 64 == 0) options.progress(count, points.size());
    }
    std::lock_guard lock(merge);
    for (std::size_t r = 0; r < rows.size(); ++r) {
      rows[r].points += mine[r].points;
      rows[r].bricked += mine[r].bricked;
      rows[r].recovered += mine[r].recovered;
      rows[r].notRecovered += mine[r].notRecovered;
      rows[r].falseSuccesses += mine[r].falseSuccesses;
      rows[r].cutCompleted += mine[r].cutCompleted;
      rows[r].retried += mine[r].retried;
      if (rows[r].firstRetry.empty()) rows[r].firstRetry = mine[r].firstRetry;
      if (rows[r].firstProblem.empty()) rows[r].firstProblem = mine[r].firstProblem;
    }
  };
  std::vector<std::thread> threads;
  for (unsigned t = 1; t < std::max(1u, options.jobs); ++t) threads.emplace_back(work, false);
  work(true);
  for (std::thread& thread : threads) thread.join();
  return rows;
}

std::string FormatSweepTable(const std::vector<SweepRow>& rows) {
  std::string text;
  char line[256];
  const char* format = "%-13s %-25s %8s %8s %10s %14s %16s %14s %13s\n";
  std::snprintf(line, sizeof line, format, "plan", "cut", "points", "bricked", "recovered", "not recovered",
                "false successes", "cut completed", "user retried");
  text += line;
  SweepRow total;
  total.kind = "total";
  const auto add = [&](const SweepRow& row) {
    const auto n = [](std::uint64_t value) { return std::to_string(value); };
    std::snprintf(line, sizeof line, format, row.plan.c_str(), row.kind.c_str(), n(row.points).c_str(),
                  n(row.bricked).c_str(), n(row.recovered).c_str(), n(row.notRecovered).c_str(),
                  n(row.falseSuccesses).c_str(), n(row.cutCompleted).c_str(), n(row.retried).c_str());
    text += line;
  };
  for (const SweepRow& row : rows) {
    add(row);
    total.points += row.points;
    total.bricked += row.bricked;
    total.recovered += row.recovered;
    total.notRecovered += row.notRecovered;
    total.falseSuccesses += row.falseSuccesses;
    total.cutCompleted += row.cutCompleted;
    total.retried += row.retried;
  }
  add(total);
  for (const SweepRow& row : rows) {
    if (!row.firstProblem.empty())
      text += "first problem, " + row.plan + ", " + row.kind + ": " + row.firstProblem + "\n";
  }
  return text;
}

std::string SweepKindHelp() {
  std::string text;
  for (const KindInfo& kind : KINDS) text += "  " + std::string(kind.name) + ": " + kind.help + "\n";
  return text;
}
