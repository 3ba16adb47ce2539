// A tray of units through the terminal updater, in-process: several emulated units on one bus and a virtual
// clock, updated at once with --all, --unit more than once, or --watch.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "app/clock.h"
#include "app/message_poster.h"
#include "app/unit_lock_memory.h"
#include "cli/helmet_update.h"
#include "cli/tray_board.h"
#include "emu/emulated_usb.h"
#include "image/image_resources.h"
#include "support/cli_program.h"
#include "support/emu_violations.h"
#include "ui/ui_language.h"
#include "usb/usb_block.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

constexpr const char PORT1[] = "Port_#0001.Hub_#0001";
constexpr const char PORT2[] = "Port_#0002.Hub_#0001";
constexpr const char PORT3[] = "Port_#0003.Hub_#0001";

class TrayTest : public CliProgramTest {
 protected:
  TrayTest() { context.unitLocks = &locks; }

  // Each unit's result event of the last run.
  std::map<std::string, nlohmann::json> Results() const {
    std::map<std::string, nlohmann::json> results;
    for (const nlohmann::json& event : Events()) {
      if (event["event"] == "result") results[event["unit"]] = event;
    }
    return results;
  }

  static bool Updated(const EmulatedUnit& unit) { return UnitUpdated(unit); }
  static bool Written(const EmulatedUnit& unit) {
    for (const ExchangeRecord& record : unit.Exchanges()) {
      if (record.request.BlockID == BLK_ERASE || record.request.BlockID == BLK_WRITE) return true;
    }
    return false;
  }

  MemoryUnitLocks locks;
};

// Each unit is checked, refused or updated on its own; every event names its unit; the status says that not
// every unit completed, and each unit's result event has its own.
TEST_F(TrayTest, AllUpdatesEveryUnitAndRefusesEachOnItsOwn) {
  UnitConfig application;
  application.mode = UnitMode::Application;
  UnitConfig newer;
  newer.application.version = "009.000.000";
  EmulatedUnit& first = usb.AddUnit({});
  EmulatedUnit& second = usb.AddUnit(application);
  EmulatedUnit& third = usb.AddUnit(newer);
  EmulatedUnit& fourth = usb.AddUnit({});

  EXPECT_EQ(Run({"update", "--all", "--yes", "--json"}), EXIT_SOME_UNITS);
  for (const nlohmann::json& event : Events()) {
    if (event["event"] != "summary" && event["event"] != "exit") {
      EXPECT_TRUE(event.contains("unit")) << event;
    }
  }
  std::map<std::string, nlohmann::json> results = Results();
  ASSERT_EQ(results.size(), 4u) << out.str();
  EXPECT_EQ(results[PORT1]["code"], 0);
  EXPECT_EQ(results[PORT1]["outcome"], "done");
  EXPECT_EQ(results[PORT2]["code"], 7);
  EXPECT_EQ(results[PORT2]["outcome"], "refused");
  EXPECT_EQ(results[PORT3]["code"], 12);
  EXPECT_EQ(results["Port_#0004.Hub_#0001"]["code"], 0);
  EXPECT_TRUE(Updated(first));
  EXPECT_TRUE(Updated(fourth));
  EXPECT_FALSE(Written(second));
  EXPECT_FALSE(Written(third));
  const nlohmann::json summary = Events()[Events().size() - 2];
  EXPECT_EQ(summary["done"], 2);
  EXPECT_EQ(summary["refused"], 2);
  EXPECT_NO_USB_VIOLATIONS(usb);
  EXPECT_EQ(usb.OpenHandleCount(), 0u);

  // Every unit done: 0. Plain lines: each with its unit's port, one result line per unit.
  usb.Unit(1).SetMode(UnitMode::Bootloader);
  EXPECT_EQ(Run({"update", "--unit", PORT1, "--unit", PORT2, "--yes"}), 0);
  EXPECT_THAT(out.str(), HasSubstr(std::string(PORT2) + ": done - Firmware update completed successfully! [0]"));
  EXPECT_THAT(out.str(), Not(HasSubstr(PORT3)));
  std::istringstream lines(out.str());
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Exit status", 0) != 0) {
      EXPECT_EQ(line.rfind("Port_#000", 0), 0u) << line;
    }
  }
}

TEST_F(TrayTest, AUnitThatFailsLeavesTheOthersAndASecondRunCompletesIt) {
  usb.AddUnit({});
  EmulatedUnit& cut = usb.AddUnit({});
  usb.AddUnit({});
  Fault loss;
  loss.kind = FaultKind::PowerLoss;
  loss.exchange = 1000;
  loss.value = 2000;
  cut.AddFault(loss);

  EXPECT_EQ(Run({"update", "--all", "--yes"}), EXIT_SOME_UNITS);
  EXPECT_THAT(out.str(), HasSubstr(std::string(PORT1) + ": done"));
  EXPECT_THAT(out.str(), HasSubstr(std::string(PORT2) + ": failed - Firmware update failed! [11]"));
  EXPECT_THAT(out.str(), HasSubstr(std::string(PORT3) + ": done"));
  EXPECT_THAT(out.str(), HasSubstr("Exit status: 14"));

  clock.Advance(2000);
  EXPECT_EQ(Run({"update", "--yes", "--unit", PORT2}), 0);
  EXPECT_TRUE(Updated(cut));
}

// The question is asked once, naming every unit and the versions; no writes nothing.
TEST_F(TrayTest, TheQuestionNamesTheUnitsAndVersionsOnce) {
  EmulatedUnit& first = usb.AddUnit({});
  EmulatedUnit& second = usb.AddUnit({});
  std::deque<std::string> answers{"n"};
  io.readLine = [&]() -> std::optional<std::string> {
    if (answers.empty()) return std::string();
    std::string line = answers.front();
    answers.pop_front();
    return line;
  };
  EXPECT_EQ(Run({"update", "--all"}), 10);
  const std::string text = out.str();
  EXPECT_EQ(text.find("These units will be written:"), text.rfind("These units will be written:"));
  EXPECT_THAT(text, HasSubstr(std::string("  ") + PORT1 + "  Application 001.005.010  Bootloader 001.005.007\n"));
  EXPECT_THAT(text, HasSubstr(std::string("  ") + PORT2 + "  Application 001.005.010  Bootloader 001.005.007\n"));
  EXPECT_THAT(text, HasSubstr("Application image in this program: "));
  EXPECT_FALSE(Written(first));
  EXPECT_FALSE(Written(second));

  answers = {"y"};
  EXPECT_EQ(Run({"update", "--all"}), 0);
  EXPECT_TRUE(Updated(first));
  EXPECT_TRUE(Updated(second));
}

// A unit has no serial number: one that leaves its port between two steps may come back as another unit, so
// its update writes nothing more to that port. The other units go on.
TEST_F(TrayTest, AUnitTakenOffBetweenStepsIsNeverWrittenAgain) {
  EmulatedUnit& moved = usb.AddUnit({});
  EmulatedUnit& other = usb.AddUnit({});
  // The first step's FINISH, on the clock: the loop moves the clock only while no worker writes, so a moment
  // later the unit is in its pause.
  std::atomic<std::uint64_t> firstFinishAt{0};
  moved.SetExchangeHook([&](const UsbBlock& request, std::uint64_t) {
    if (request.BlockID == BLK_FINISH && firstFinishAt.load() == 0) firstFinishAt.store(clock.NowMs() + 1);
  });
  std::uint64_t unpluggedAt = 0;
  std::uint64_t requestsAtReturn = 0;
  bool back = false;
  io.afterEvent = [&] {
    if (firstFinishAt.load() != 0 && clock.NowMs() > firstFinishAt.load() + 1000 && unpluggedAt == 0) {
      moved.Unplug();
      unpluggedAt = clock.NowMs() + 1;
    } else if (unpluggedAt != 0 && !back && clock.NowMs() >= unpluggedAt + 1000) {
      moved.PlugIn();
      back = true;
      requestsAtReturn = moved.ExchangeCount();
    }
  };
  EXPECT_EQ(Run({"update", "--all", "--yes", "--json"}), EXIT_SOME_UNITS);
  ASSERT_TRUE(back);
  EXPECT_EQ(moved.ExchangeCount(), requestsAtReturn);  // nothing at all went to the port after it came back
  std::map<std::string, nlohmann::json> results = Results();
  EXPECT_EQ(results[PORT1]["outcome"], "failed");
  EXPECT_EQ(results[PORT1]["code"], 3);
  EXPECT_EQ(results[PORT2]["outcome"], "done");
  EXPECT_TRUE(Updated(other));
  EXPECT_NO_USB_VIOLATIONS(usb);
}

// Ctrl+C asks once for the whole tray; yes stops every unit, which a second run then updates.
TEST_F(TrayTest, CtrlCAsksOnceAndCancelsEveryUnit) {
  EmulatedUnit& first = usb.AddUnit({});
  EmulatedUnit& second = usb.AddUnit({});
  io.readLine = [] { return std::optional<std::string>("y"); };
  io.afterEvent = [this, seen = 0]() mutable {
    if (++seen == 40) interrupts.fetch_add(1);
  };
  EXPECT_EQ(Run({"update", "--all", "--yes"}), 10);
  const std::string text = out.str();
  EXPECT_EQ(text.find("Do you really"), text.rfind("Do you really")) << text;
  EXPECT_THAT(text, HasSubstr(std::string(PORT1) + ": cancelled"));
  EXPECT_THAT(text, HasSubstr(std::string(PORT2) + ": cancelled"));
  io.afterEvent = nullptr;
  EXPECT_EQ(Run({"update", "--all", "--yes"}), 0);
  EXPECT_TRUE(Updated(first));
  EXPECT_TRUE(Updated(second));
}

// --watch: each plug-in is updated once; a unit back after a short absence (its own reset, a blip) is not a new
// arrival, one plugged in again after it was taken off is; Ctrl+C ends the waiting.
TEST_F(TrayTest, WatchUpdatesEachPlugInOnce) {
  EmulatedUnit& first = usb.AddUnit({});
  EmulatedUnit& second = usb.AddUnit({});
  first.Unplug();
  second.Unplug();
  std::atomic<int> finishes{0};
  std::atomic<std::uint64_t> lastFinishAt{0};
  first.SetExchangeHook([&](const UsbBlock& request, std::uint64_t) {
    if (request.BlockID != BLK_FINISH) return;
    lastFinishAt.store(clock.NowMs());
    finishes.fetch_add(1);
  });
  // What a person does, one act after another, each when its moment has come on the clock.
  struct Act {
    std::function<bool()> due;
    std::function<void()> act;
  };
  std::uint64_t mark = 0;
  std::uint64_t requestsAfterBlip = 0;
  std::vector<Act> acts = {
      {[&] { return clock.NowMs() >= 1000; }, [&] { first.PlugIn(); }},
      {[&] { return clock.NowMs() >= 3000; }, [&] { second.PlugIn(); }},
      {[&] { return finishes.load() == 3 && clock.NowMs() > lastFinishAt.load() + 1000; },  // its update is over
       [&] {
         first.Unplug();  // a blip: back within a second
         mark = clock.NowMs();
       }},
      {[&] { return clock.NowMs() >= mark + 800; },
       [&] {
         first.PlugIn();
         requestsAfterBlip = first.ExchangeCount();
         mark = clock.NowMs();
       }},
      {[&] { return clock.NowMs() >= mark + 3000; },
       [&] {
         EXPECT_EQ(first.ExchangeCount(), requestsAfterBlip);  // not taken again
         first.Unplug();                                       // taken off, plugged in again later
         mark = clock.NowMs();
       }},
      {[&] { return clock.NowMs() >= mark + 4000; }, [&] { first.PlugIn(); }},
      {[&] { return finishes.load() == 6 && Updated(second); }, [&] { interrupts.fetch_add(1); }},
  };
  std::size_t next = 0;
  io.afterEvent = [&] {
    if (next < acts.size() && acts[next].due()) acts[next++].act();
    if (next < acts.size() && clock.NowMs() > 600000) {  // an act that never came due: end instead of waiting
      ADD_FAILURE() << "act " << next << " never came due; "
                    << out.str().substr(out.str().size() > 3000 ? out.str().size() - 3000 : 0);
      next = acts.size();
      interrupts.fetch_add(1);
    }
  };
  EXPECT_EQ(Run({"update", "--watch", "--yes", "--json"}), 0);
  EXPECT_EQ(next, acts.size());
  std::vector<std::string> arrived;
  std::vector<std::string> done;
  for (const nlohmann::json& event : Events()) {
    if (event["event"] == "arrived") arrived.push_back(event["unit"]);
    if (event["event"] == "result" && event["outcome"] == "done") done.push_back(event["unit"]);
  }
  EXPECT_EQ(arrived, (std::vector<std::string>{PORT1, PORT2, PORT1}));
  EXPECT_EQ(done, (std::vector<std::string>{PORT1, PORT2, PORT1}));
  EXPECT_TRUE(Updated(first));
  EXPECT_NO_USB_VIOLATIONS(usb);
}

// --trace keeps each unit's lines apart: after the run's header, every line of the file begins (after its time)
// with its unit's port, those of the loaders' workers too.
TEST_F(TrayTest, TraceLinesBeginWithTheirUnit) {
  usb.AddUnit({});
  usb.AddUnit({});
  const std::string path = ::testing::TempDir() + "tray_trace.log";
  std::remove(path.c_str());  // the file is appended to
  EXPECT_EQ(Run({"update", "--all", "--yes", "--trace", path}), 0);
  std::ifstream file(path);
  std::map<std::string, int> lines;
  std::map<std::string, int> workerLines;
  for (std::string line; std::getline(file, line);) {
    // The header's lines and the blank line between runs do not begin with a time.
    if (line.empty() || !std::isdigit(static_cast<unsigned char>(line[0]))) continue;
    ASSERT_GT(line.size(), 24u) << line;
    const std::string unit = line.substr(24, line.find(']') - 24 + 1);
    ASSERT_TRUE(unit == std::string("[") + PORT1 + "]" || unit == std::string("[") + PORT2 + "]") << line;
    ++lines[unit];
    if (line.find("FirmwareUpdateCleanup") != std::string::npos) ++workerLines[unit];
  }
  EXPECT_EQ(lines.size(), 2u);
  EXPECT_EQ(workerLines.size(), 2u);
  std::remove(path.c_str());
}

// The rows fit the width: the stage text goes first, then the bar, then the bytes; the port and the percentage
// stay.
TEST(TrayBoard, RowsFitTheWidth) {
  const LiveRow row{"1-3", "Programmation de l'application !", 42, "231/2571 KiB", "1:05  restant 0:40", ""};
  struct Case {
    std::size_t columns;
    const char* expected;
  };
  const Case cases[] = {
      {120, "1-3  Programmation de l'application ! [########............] 42%  231/2571 KiB  1:05  restant 0:40"},
      {79, "1-3  Programmation [########............] 42%  231/2571 KiB  1:05  restant 0:40"},
      {60, "1-3  [######.........] 42%  231/2571 KiB  1:05  restant 0:40"},
      {50, "1-3  [##...] 42%  231/2571 KiB  1:05  restant 0:40"},
      {40, "1-3  42%  1:05  restant 0:40"},
      {12, "1-3  42%"},  // a time cut short would mislead: it goes whole
  };
  for (const Case& c : cases) EXPECT_EQ(FitLiveRow(row, c.columns, TRAY_BAR_WIDTH), c.expected) << c.columns;
  // Columns, not bytes: accented letters count once.
  const std::string accented = FitLiveRow(LiveRow{"1-3", "Überprüfen ééééééééé", 5, "", "", ""}, 30, TRAY_BAR_WIDTH);
  std::size_t columns = 0;
  for (char ch : accented) columns += (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
  EXPECT_EQ(columns, 30u) << accented;
}

// On a terminal the block of rows is redrawn in place: every line written stays within the width.
TEST_F(TrayTest, TheLiveBlockStaysWithinTheTerminal) {
  usb.AddUnit({});
  usb.AddUnit({});
  io.terminal = true;
  io.cursorMoves = true;
  io.columns = [] { return std::size_t{40}; };
  EXPECT_EQ(Run({"update", "--all", "--yes", "--lang", "fr"}), 0);
  std::string text = out.str();
  for (std::size_t at = 0; (at = text.find('\x1b', at)) != std::string::npos;) {
    const std::size_t end = text.find_first_of("ABCDJK", at);
    text.erase(at, end - at + 1);
  }
  std::string segment;
  std::istringstream parts(text);
  for (std::string line; std::getline(parts, line);) {
    std::istringstream returns(line);
    while (std::getline(returns, segment, '\r')) {
      if (segment.rfind("Port_#", 0) == 0 && segment.find(" - ") == std::string::npos) {
        std::size_t columns = 0;
        for (char ch : segment) columns += (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
        EXPECT_LE(columns, 39u) << segment;
      }
    }
  }
  EXPECT_THAT(out.str(), HasSubstr("terminé 2"));
}

}  // namespace
