// A request to end the program (SIGTERM, SIGHUP, a closed console) while the terminal updater runs, in-process:
// the emulated unit, a virtual clock, and the request noted as the signal handler notes it. The update ends as a
// confirmed "Cancel": the block in flight is finished, the unit reset, the status 10, and a trace line says why.
#include "cli/termination.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/clock.h"
#include "app/message_poster.h"
#include "app/unit_lock_memory.h"
#include "cli/helmet_update.h"
#include "emu/emulated_usb.h"
#include "image/image_resources.h"
#include "support/cli_program.h"
#include "support/emu_violations.h"
#include "ui/ui_language.h"
#include "ui/update_session.h"
#include "usb/usb_block.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// Requests of the update, by index: one in the middle of bootloader copy 1 and one in the application.
constexpr std::uint64_t IN_FIRST_COPY = 1000;
constexpr std::uint64_t IN_APPLICATION = 4500;

bool Writes(const UsbBlock& request) {
  return request.BlockID == BLK_START || request.BlockID == BLK_ERASE || request.BlockID == BLK_WRITE ||
         request.BlockID == BLK_FINISH;
}

// The unit was written and then reset, and nothing was written after the reset.
bool ResetAfterTheLastWrite(const EmulatedUnit& unit) {
  std::optional<std::uint64_t> lastWrite;
  std::optional<std::uint64_t> lastReset;
  for (const ExchangeRecord& record : unit.Exchanges()) {
    if (Writes(record.request)) lastWrite = record.index;
    if (record.request.BlockID == BLK_RESET) lastReset = record.index;
  }
  return lastWrite && lastReset && *lastReset > *lastWrite;
}

// The whole update is in the unit: every slot flagged and the program's application in place.
bool Updated(const EmulatedUnit& unit) { return UnitUpdated(unit); }

bool NothingWritten(const EmulatedUnit& unit) {
  const auto& exchanges = unit.Exchanges();
  return std::none_of(exchanges.begin(), exchanges.end(), [](const ExchangeRecord& r) { return Writes(r.request); });
}

class TerminationTest : public ::testing::Test {
 protected:
  TerminationTest() {
    context.poster = &queue;
    context.resources = &ProgramResources();
    context.unitLocks = &locks;
    io.interrupts = &interrupts;
    Fresh();
  }
  ~TerminationTest() override {
    SetUiLanguage(UILANG_ENGLISH);
    std::remove(tracePath.c_str());
  }

  // A bus and clock of their own, no request yet, nothing typed or injected: for each case of a table.
  void Fresh() {
    bus.reset();
    clockPtr = std::make_unique<VirtualClock>();
    bus = std::make_unique<EmulatedUsb>(*clockPtr);
    context.clock = clockPtr.get();
    context.usb = bus.get();
    NoRequest();
    io.readLine = nullptr;
    io.afterEvent = nullptr;
  }
  // A run after one that was asked to end (in a process of its own: nothing noted yet).
  void NoRequest() {
    terminationsPtr = std::make_unique<TerminationRequest>();
    io.terminations = terminationsPtr.get();
  }
  VirtualClock& clock() { return *clockPtr; }
  EmulatedUsb& usb() { return *bus; }
  TerminationRequest& terminations() { return *terminationsPtr; }

  int Run(std::vector<std::string> args) {
    out.str("");
    err.str("");
    std::remove(tracePath.c_str());
    args.insert(args.end(), {"--trace", tracePath, "--lang", "en"});
    return RunHelmetUpdate(args, context, io);
  }

  std::vector<std::string> TraceLines() const {
    std::ifstream file(tracePath);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
  }
  int TerminationLines(const std::string& what) const {
    const std::string line = "Update cancelled: the program was asked to end (" + what + ").";
    const std::vector<std::string> lines = TraceLines();
    return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                          [&](const std::string& l) { return l.find(line) != std::string::npos; }));
  }

  // At request `index` of `unit` from now (in its worker's thread, before the unit handles it) `act` runs, and the
  // worker is held there until the session has confirmed its cancel (the cancel's wait passed on the clock; a
  // bound in real time in case it never does): the request is then the block in flight. `afterConfirmed` runs
  // once the cancel is confirmed, while that block is still in flight.
  void AtRequest(EmulatedUnit& unit, std::uint64_t index, std::function<void()> act,
                 std::function<void()> afterConfirmed = nullptr) {
    VirtualClock& hookClock = clock();
    const std::uint64_t due = unit.ExchangeCount() + index;
    unit.SetExchangeHook([&hookClock, due, act, afterConfirmed](const UsbBlock&, std::uint64_t at) {
      if (at != due) return;
      const std::uint64_t before = hookClock.NowMs();
      act();
      const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (hookClock.NowMs() < before + CANCEL_WAIT_MS && std::chrono::steady_clock::now() < bound) {
        std::this_thread::yield();
      }
      if (afterConfirmed) afterConfirmed();
    });
  }

  // A file of each test's own: the tests run as processes side by side.
  const std::string tracePath =
      ::testing::TempDir() + "termination_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
  std::unique_ptr<VirtualClock> clockPtr;
  std::unique_ptr<EmulatedUsb> bus;
  std::unique_ptr<TerminationRequest> terminationsPtr;
  PostedMessageQueue queue;
  MemoryUnitLocks locks;
  PlatformContext context;
  std::atomic<int> interrupts{0};
  std::ostringstream out;
  std::ostringstream err;
  CliIo io{out, err};
};

// Mid-write, in either step kind: the block in flight is finished, the unit reset with nothing written after,
// status 10, one trace line; a second run completes.
TEST_F(TerminationTest, MidWriteTheUpdateEndsAsAConfirmedCancel) {
  struct Case {
    const char* what;
    std::uint64_t request;
    bool json;
  };
  for (const Case c : {Case{"SIGTERM", IN_FIRST_COPY, false}, Case{"SIGHUP", IN_APPLICATION, true},
                       Case{"the console was closed", IN_FIRST_COPY, true}}) {
    SCOPED_TRACE(std::string(c.what) + " at request " + std::to_string(c.request));
    Fresh();
    EmulatedUnit& unit = usb().AddUnit({});
    AtRequest(unit, c.request, [this, c] { terminations().Note(c.what); });

    std::vector<std::string> args{"update", "--yes"};
    if (c.json) args.push_back("--json");
    EXPECT_EQ(Run(args), 10);
    EXPECT_THAT(out.str(), Not(HasSubstr("completed successfully")));
    EXPECT_THAT(out.str(), Not(HasSubstr("Do you really"))) << "a termination asks nothing";
    EXPECT_THAT(out.str(), HasSubstr(c.json ? "\"status\":10" : "Exit status: 10"));
    EXPECT_TRUE(ResetAfterTheLastWrite(unit));
    const auto& exchanges = unit.Exchanges();
    const auto inFlight = std::find_if(exchanges.begin(), exchanges.end(),  // the first run: indexes from 0
                                       [&](const ExchangeRecord& r) { return r.index == c.request; });
    ASSERT_NE(inFlight, exchanges.end());
    EXPECT_TRUE(inFlight->answered) << "the block in flight was finished";
    EXPECT_FALSE(Updated(unit));
    EXPECT_EQ(TerminationLines(c.what), 1);
    EXPECT_EQ(usb().OpenHandleCount(), 0u);
    EXPECT_NO_USB_VIOLATIONS(usb());

    unit.SetExchangeHook(nullptr);
    NoRequest();
    EXPECT_EQ(Run({"update", "--yes"}), 0);
    EXPECT_TRUE(Updated(unit));
    EXPECT_EQ(TerminationLines(c.what), 0);
  }
}

// The trace of a termination is the trace of a "Cancel" confirmed at the same request, and its own line.
TEST_F(TerminationTest, TheTraceIsThatOfACancelAndItsOwnLine) {
  EmulatedUnit& unit = usb().AddUnit({});
  const auto tail = [this] {
    // From the step's last progress line on: what the cancel made the worker do.
    std::vector<std::string> lines = TraceLines();
    const auto progress = [](const std::string& line) {
      return line.find("Program Device") != std::string::npos || line.find("Verify Device") != std::string::npos ||
             line.find("SendUpdateResult = 9") != std::string::npos;
    };
    const auto last = std::find_if(lines.rbegin(), lines.rend(), progress);
    std::vector<std::string> rest;
    for (auto line = last.base(); line != lines.end(); ++line) {
      std::string text = line->substr(std::min(line->find('['), line->size()));  // without the time in front
      if (!text.empty() && text.back() == '\r') text.pop_back();
      rest.push_back(text);
    }
    rest.erase(std::remove_if(
                   rest.begin(), rest.end(),
                   [](const std::string& l) { return l.find("the program was asked to end") != std::string::npos; }),
               rest.end());
    return rest;
  };

  io.readLine = [] { return std::optional<std::string>("y"); };
  AtRequest(unit, IN_FIRST_COPY, [this] { interrupts.fetch_add(1); });
  ASSERT_EQ(Run({"update", "--yes"}), 10);
  ASSERT_THAT(out.str(), HasSubstr("Do you really"));
  const std::vector<std::string> cancelled = tail();
  EXPECT_TRUE(ResetAfterTheLastWrite(unit));

  AtRequest(unit, IN_FIRST_COPY, [this] { terminations().Note("SIGTERM"); });
  ASSERT_EQ(Run({"update", "--yes"}), 10);
  EXPECT_TRUE(ResetAfterTheLastWrite(unit));
  EXPECT_EQ(TerminationLines("SIGTERM"), 1);
  EXPECT_FALSE(cancelled.empty());
  EXPECT_EQ(tail(), cancelled);
  EXPECT_THAT(cancelled, testing::Contains(HasSubstr("SendUpdateResult = 10")));
}

// Another termination and a Ctrl+C while the cancel is carried out change nothing: no question, the same end.
TEST_F(TerminationTest, MoreSignalsDuringTheCancelChangeNothing) {
  EmulatedUnit& unit = usb().AddUnit({});
  io.readLine = [] { return std::optional<std::string>("n"); };  // a question would be answered no
  AtRequest(
      unit, IN_FIRST_COPY, [this] { terminations().Note("SIGTERM"); },
      [this] {
        terminations().Note("SIGHUP");
        terminations().Note("SIGTERM");
        interrupts.fetch_add(1);
      });
  EXPECT_EQ(Run({"update", "--yes"}), 10);
  EXPECT_THAT(out.str(), Not(HasSubstr("Do you really")));
  EXPECT_TRUE(ResetAfterTheLastWrite(unit));
  EXPECT_EQ(TerminationLines("SIGTERM"), 1);
  EXPECT_EQ(TerminationLines("SIGHUP"), 0) << "the first request names the cause";
}

// Where no block is in flight: before the update (the checks, the question before it: nothing written), in a
// pause, and while the cancel question of a Ctrl+C is open (the termination answers yes). After the end nothing
// changes.
TEST_F(TerminationTest, OutsideABlockTheRequestEndsOrAnswersAsItShould) {
  struct Case {
    const char* name;
    bool ask;                       // without --yes, on a terminal
    std::function<void()> arrange;  // sets up the request's moment
    int status;
    bool written;
    int lines;
  };
  const Case cases[] = {
      {"during the checks", false,
       [this] {
         usb().Unit(0).SetExchangeHook([this](const UsbBlock&, std::uint64_t at) {
           if (at == 2) terminations().Note("SIGTERM");
         });
       },
       10, false, 1},
      {"at the question before the update", true,
       [this] {
         io.readLine = [this]() -> std::optional<std::string> {
           terminations().Note("SIGTERM");
           return std::nullopt;
         };
       },
       10, false, 1},
      {"in a pause", false,
       [this] {
         io.afterEvent = [this] {
           if (out.str().find("next step in") != std::string::npos) terminations().Note("SIGTERM");
         };
       },
       10, true, 1},
      {"at the cancel question", false,
       [this] {
         io.readLine = [this]() -> std::optional<std::string> {
           terminations().Note("SIGTERM");
           return std::nullopt;
         };
         AtRequest(usb().Unit(0), IN_FIRST_COPY, [this] { interrupts.fetch_add(1); });
       },
       10, true, 1},
      {"after the end", false,
       [this] {
         io.afterEvent = [this] {
           if (out.str().find("completed successfully") != std::string::npos) terminations().Note("SIGTERM");
         };
       },
       0, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    EmulatedUnit& unit = usb().AddUnit({});
    if (c.ask) io.readLine = [] { return std::optional<std::string>("y"); };
    c.arrange();
    std::vector<std::string> args{"update"};
    if (!c.ask) args.push_back("--yes");
    EXPECT_EQ(Run(args), c.status);
    EXPECT_EQ(!NothingWritten(unit), c.written);
    EXPECT_EQ(Updated(unit), c.status == 0);
    EXPECT_EQ(TerminationLines("SIGTERM"), c.lines);
    EXPECT_THAT(out.str(), HasSubstr("Exit status: " + std::to_string(c.status)));
    EXPECT_EQ(usb().OpenHandleCount(), 0u);
  }
}

// A tray: every running update is cancelled at once, each unit's trace has the line, waiting stops.
TEST_F(TerminationTest, EveryUpdateOfATrayIsCancelledAndTheWaitingStops) {
  for (const bool watch : {false, true}) {
    SCOPED_TRACE(watch ? "--watch" : "--all");
    Fresh();
    std::vector<EmulatedUnit*> units;
    for (int i = 0; i < 3; ++i) units.push_back(&usb().AddUnit({}));
    AtRequest(*units[0], IN_FIRST_COPY, [this] { terminations().Note("SIGTERM"); });
    EXPECT_EQ(Run({"update", watch ? "--watch" : "--all", "--yes", "--json"}), 10);
    std::map<std::string, std::string> outcomes;
    bool waitingEnded = false;
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);) {
      const nlohmann::json event = nlohmann::json::parse(line);
      if (event["event"] == "result") outcomes[event["unit"]] = event["outcome"];
      if (event["event"] == "waiting" && event.value("ended", false)) waitingEnded = true;
    }
    EXPECT_EQ(outcomes.size(), 3u) << out.str();
    for (const auto& [unit, outcome] : outcomes) EXPECT_EQ(outcome, "cancelled") << unit;
    EXPECT_EQ(waitingEnded, watch);
    EXPECT_TRUE(ResetAfterTheLastWrite(*units[0]));
    for (EmulatedUnit* unit : units) EXPECT_FALSE(Updated(*unit));
    // One line per unit, each with its port in front.
    std::map<std::string, int> tagged;
    for (const std::string& line : TraceLines()) {
      if (line.find("the program was asked to end (SIGTERM)") != std::string::npos)
        ++tagged[line.substr(0, line.find(']'))];
    }
    EXPECT_EQ(tagged.size(), 3u);
    for (const auto& [unit, count] : tagged) EXPECT_EQ(count, 1) << unit;
    EXPECT_EQ(usb().OpenHandleCount(), 0u);
    EXPECT_NO_USB_VIOLATIONS(usb());
  }
}

}  // namespace
