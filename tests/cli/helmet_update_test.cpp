// The terminal updater run in-process: its function with the emulated unit, a virtual clock, string streams
// for the terminal and Ctrl+C injected as the signal handler would count it.
#include "cli/helmet_update.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/clock.h"
#include "app/message_poster.h"
#include "app/unit_lock.h"
#include "emu/emulated_usb.h"
#include "image/image_resources.h"
#include "support/cli_program.h"
#include "support/emu_violations.h"
#include "ui/ui_language.h"
#include "usb/usb_block.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

class HelmetUpdateTest : public CliProgramTest {
 protected:
  // Ctrl+C pressed once the update has handled `events` events.
  void InterruptAfter(int events) {
    io.afterEvent = [this, events, seen = 0]() mutable {
      if (++seen == events) interrupts.fetch_add(1);
    };
  }

  std::size_t Requests(std::size_t unit) { return usb.Unit(unit).Exchanges().size(); }
};

TEST_F(HelmetUpdateTest, WholeUpdateInBothPlans) {
  struct Case {
    bool bootloader2Valid;
    const char* first;
    const char* second;
  };
  for (const Case c : {Case{true, "Program bootloader 1!", "Program bootloader 2!"},
                       Case{false, "Program bootloader 2!", "Program bootloader 1!"}}) {
    SCOPED_TRACE(c.first);
    VirtualClock caseClock;
    EmulatedUsb bus(caseClock);
    UnitConfig config;
    config.bootloader2.valid = c.bootloader2Valid;
    EmulatedUnit& unit = bus.AddUnit(config);
    context.clock = &caseClock;
    context.usb = &bus;

    EXPECT_EQ(Run({"update", "--yes", "--lang", "en"}), 0);
    const std::string text = out.str();
    const std::size_t first = text.find(c.first);
    const std::size_t second = text.find(c.second);
    const std::size_t application = text.find("Program the application!");
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_LT(first, second);
    EXPECT_LT(second, application);
    EXPECT_THAT(text, HasSubstr("Firmware update completed successfully!"));
    EXPECT_THAT(text, HasSubstr("100 %"));
    EXPECT_THAT(text, HasSubstr("next step in 5 s"));
    EXPECT_THAT(text, HasSubstr("Exit status: 0"));
    // Two pauses of five seconds passed on the clock, not in real time.
    EXPECT_GE(caseClock.NowMs(), 10000u);
    EXPECT_TRUE(unit.SlotFlag(UnitSlot::Application));
    EXPECT_TRUE(unit.SlotFlag(UnitSlot::Bootloader1));
    EXPECT_TRUE(unit.SlotFlag(UnitSlot::Bootloader2));
    EXPECT_NO_USB_VIOLATIONS(bus);
    EXPECT_EQ(bus.OpenHandleCount(), 0u);
  }
}

TEST_F(HelmetUpdateTest, RefusalsEndWithTheirCodeAndTheWindowsWords) {
  struct Case {
    const char* name;
    std::function<void(EmulatedUsb&)> setUp;
    int status;
    const char* english;
    const char* german;
  };
  const Case cases[] = {
      {"no unit", [](EmulatedUsb&) {}, 3, "Device not found.", "Gerät nicht gefunden."},
      {"application mode",
       [](EmulatedUsb& bus) {
         UnitConfig config;
         config.mode = UnitMode::Application;
         bus.AddUnit(config);
       },
       7, "application mode", "Anwendungsmodus"},
      {"newer firmware",
       [](EmulatedUsb& bus) {
         UnitConfig config;
         config.application.version = "002.000.000";
         bus.AddUnit(config);
       },
       12, "newer firmware", "Das Gerät verfügt über eine neuere Firmware."},
      {"wrong hardware",
       [](EmulatedUsb& bus) {
         UnitConfig config;
         config.hardwareId = 99;
         bus.AddUnit(config);
       },
       13, "not suitable", "Firmware ist nicht für dieses Gerät geeignet."},
  };
  for (const Case& c : cases) {
    for (const char* lang : {"en", "de"}) {
      SCOPED_TRACE(std::string(c.name) + " " + lang);
      VirtualClock caseClock;
      EmulatedUsb bus(caseClock);
      c.setUp(bus);
      context.clock = &caseClock;
      context.usb = &bus;
      EXPECT_EQ(Run({"update", "--yes", "--lang", lang}), c.status);
      // The refusal is an error: on the error stream, not on standard output.
      const char* words = std::string(lang) == "en" ? c.english : c.german;
      EXPECT_THAT(err.str(), HasSubstr(words));
      EXPECT_THAT(out.str(), Not(HasSubstr(words)));
      // Nothing was written.
      for (std::size_t i = 0; i < bus.UnitCount(); ++i) {
        for (const ExchangeRecord& record : bus.Unit(i).Exchanges()) {
          EXPECT_NE(record.request.BlockID, BLK_ERASE);
          EXPECT_NE(record.request.BlockID, BLK_WRITE);
        }
      }
    }
  }
}

TEST_F(HelmetUpdateTest, SeveralUnitsWithoutAChoiceWriteNothing) {
  usb.AddUnit({});
  usb.AddUnit({});
  EXPECT_EQ(Run({"update", "--yes"}), EXIT_USAGE);
  EXPECT_THAT(err.str(), HasSubstr("--unit"));
  EXPECT_EQ(Requests(0), 0u);
  EXPECT_EQ(Requests(1), 0u);

  // The list names both with their ids and modes; the second one chosen is updated, the first is left alone.
  ASSERT_EQ(Run({"list"}), 0);
  std::istringstream lines(out.str());
  std::string first;
  std::string second;
  std::getline(lines, first);
  std::getline(lines, second);
  EXPECT_THAT(first, HasSubstr("  7a31:acdc  bootloader")) << first;
  second = second.substr(0, second.find("  "));
  const std::size_t firstUnitRequests = Requests(0);
  const std::size_t secondUnitRequests = Requests(1);
  EXPECT_EQ(Run({"update", "--yes", "--unit", second}), 0);
  EXPECT_EQ(Requests(0), firstUnitRequests);
  EXPECT_GT(Requests(1), secondUnitRequests);

  EXPECT_EQ(Run({"update", "--yes", "--unit", "no-such-unit"}), 3);
}

TEST_F(HelmetUpdateTest, ListAsksEachUnitItsModeAndNothingElse) {
  UnitConfig application;
  application.mode = UnitMode::Application;
  usb.AddUnit({});
  usb.AddUnit(application);
  ASSERT_EQ(Run({"list", "--json"}), 0);
  const nlohmann::json event = nlohmann::json::parse(out.str().substr(0, out.str().find('\n')));
  ASSERT_EQ(event["units"].size(), 2u) << out.str();
  EXPECT_EQ(event["units"][0]["mode"], "bootloader");
  EXPECT_EQ(event["units"][1]["mode"], "application");
  EXPECT_EQ(event["units"][1]["ids"], "7a31:acdc");
  for (std::size_t unit : {0u, 1u}) {
    for (const ExchangeRecord& exchange : usb.Unit(unit).Exchanges()) {
      EXPECT_TRUE(exchange.request.BlockID == BLK_PING || exchange.request.BlockID == BLK_GET_MODE)
          << exchange.request.BlockID;
    }
  }
  ASSERT_EQ(Run({"list", "--lang", "de"}), 0);
  EXPECT_THAT(out.str(), HasSubstr("  Anwendung\n"));
  EXPECT_THAT(out.str(), HasSubstr("  Bootloader\n"));
}

TEST_F(HelmetUpdateTest, UsageErrors) {
  usb.AddUnit({});
  EXPECT_EQ(Run({}), EXIT_USAGE);
  EXPECT_EQ(Run({"update", "--lang", "xx"}), EXIT_USAGE);
  EXPECT_EQ(Run({"update", "--bogus"}), EXIT_USAGE);
  EXPECT_EQ(Run({"--help"}), 0);
  EXPECT_THAT(out.str(), HasSubstr("13  the firmware is not for this unit's hardware"));
  EXPECT_EQ(Requests(0), 0u);
}

// Only the queries that read the unit: nothing started, erased or written.
bool OnlyQueries(const std::vector<ExchangeRecord>& exchanges) {
  for (const ExchangeRecord& exchange : exchanges) {
    const std::uint32_t id = exchange.request.BlockID;
    if (id == BLK_START || id == BLK_ERASE || id == BLK_WRITE || id == BLK_FINISH) return false;
  }
  return true;
}

TEST_F(HelmetUpdateTest, WithoutATerminalAndWithoutYesNothingIsWritten) {
  usb.AddUnit({});
  EXPECT_EQ(Run({"update"}), 10);
  EXPECT_EQ(Requests(0), 0u) << "without a terminal the unit is not even read";
  // On a terminal the question comes after the checks; no writes nothing.
  Type({"n"});
  EXPECT_EQ(Run({"update"}), 10);
  EXPECT_GT(Requests(0), 0u);
  EXPECT_TRUE(OnlyQueries(usb.Unit(0).Exchanges()));
  EXPECT_THAT(out.str(), HasSubstr("Write the firmware to the unit now?"));
  EXPECT_THAT(out.str(), HasSubstr("Exit status: 10"));
  // Ctrl+C at the question before the update means no.
  io.readLine = [this]() -> std::optional<std::string> {
    interrupts.fetch_add(1);
    return std::nullopt;
  };
  EXPECT_EQ(Run({"update"}), 10);
  EXPECT_TRUE(OnlyQueries(usb.Unit(0).Exchanges()));
  Type({"j"});
  EXPECT_EQ(Run({"update", "--lang", "de"}), 0);
  EXPECT_FALSE(OnlyQueries(usb.Unit(0).Exchanges()));
}

TEST_F(HelmetUpdateTest, AUnitThatIsRefusedIsNeverAsked) {
  UnitConfig config;
  config.application.version = "002.000.000";
  usb.AddUnit(config);
  Type({"y"});
  EXPECT_EQ(Run({"update", "--lang", "en"}), 12);
  EXPECT_THAT(out.str(), Not(HasSubstr("Write the firmware to the unit now?")));
  EXPECT_TRUE(OnlyQueries(usb.Unit(0).Exchanges()));
  EXPECT_EQ(typed.size(), 1u) << "the answer was not read";
}

TEST_F(HelmetUpdateTest, CtrlCAnsweredNoGoesOn) {
  usb.AddUnit({});
  Type({"n"});
  InterruptAfter(3);
  EXPECT_EQ(Run({"update", "--yes"}), 0);
  EXPECT_THAT(out.str(), HasSubstr("Do you really want to abort"));
  EXPECT_THAT(out.str(), HasSubstr("Exit status: 0"));
}

TEST_F(HelmetUpdateTest, CtrlCAnsweredYesStopsAndAnotherRunRecovers) {
  EmulatedUnit& unit = usb.AddUnit({});
  for (const bool secondCtrlC : {false, true}) {
    SCOPED_TRACE(secondCtrlC ? "a second Ctrl+C" : "typed yes");
    if (secondCtrlC) {
      // Nothing typed: the second press answers.
      io.readLine = [this]() -> std::optional<std::string> {
        interrupts.fetch_add(1);
        return std::nullopt;
      };
    } else {
      Type({"y"});
    }
    InterruptAfter(3);
    EXPECT_EQ(Run({"update", "--yes"}), 10);
    EXPECT_THAT(out.str(), Not(HasSubstr("completed successfully")));
    EXPECT_EQ(usb.OpenHandleCount(), 0u);
  }
  io.afterEvent = nullptr;
  EXPECT_EQ(Run({"update", "--yes"}), 0);
  EXPECT_TRUE(unit.SlotFlag(UnitSlot::Application));
  EXPECT_NO_USB_VIOLATIONS(usb);
}

TEST_F(HelmetUpdateTest, PowerCutFailsAndASecondRunRecovers) {
  EmulatedUnit& unit = usb.AddUnit({});
  Fault cut;
  cut.kind = FaultKind::PowerLoss;
  cut.blockId = BLK_WRITE;
  cut.skip = 611 + 300;  // inside the application
  cut.value = 3000;
  unit.AddFault(cut);
  EXPECT_EQ(Run({"update", "--yes"}), 11);
  EXPECT_THAT(err.str(), HasSubstr("Firmware update failed!"));
  EXPECT_THAT(out.str(), HasSubstr("Exit status: 11"));
  clock.Advance(3000);
  EXPECT_EQ(Run({"update", "--yes"}), 0);
  EXPECT_TRUE(unit.SlotFlag(UnitSlot::Application));
}

// --quiet: nothing but the errors and the result. A good update says its success once and nothing else; a
// failed one leaves standard output empty and says why on standard error; a tray gives its units' result lines.
TEST_F(HelmetUpdateTest, QuietSaysOnlyTheErrorsAndTheResult) {
  EmulatedUnit& unit = usb.AddUnit({});
  EXPECT_EQ(Run({"update", "--yes", "--quiet", "--lang", "en"}), 0);
  EXPECT_EQ(out.str(), "Update information: Firmware update completed successfully!\n");
  EXPECT_EQ(err.str(), "");

  Fault cut;
  cut.kind = FaultKind::PowerLoss;
  cut.blockId = BLK_WRITE;
  cut.skip = 100;
  cut.value = 3000;
  unit.AddFault(cut);
  EXPECT_EQ(Run({"update", "--yes", "--quiet"}), 11);
  EXPECT_EQ(out.str(), "");
  EXPECT_THAT(err.str(), HasSubstr("Firmware update failed!"));
  clock.Advance(3000);

  usb.AddUnit({});
  EXPECT_EQ(Run({"update", "--yes", "--quiet", "--all"}), 0);
  EXPECT_EQ(out.str(),
            "Port_#0001.Hub_#0001: done - Firmware update completed successfully! [0]\n"
            "Port_#0002.Hub_#0001: done - Firmware update completed successfully! [0]\n");
}

// The update goes on under the cancel question; one that ends before the answer keeps its own result.
TEST_F(HelmetUpdateTest, CancelAnsweredAfterTheEndReportsTheRealResult) {
  EmulatedUnit& unit = usb.AddUnit({});
  // No answer comes until the update has ended (the clock passes as the user thinks); then yes, too late.
  io.readLine = [&]() -> std::optional<std::string> {
    if (out.str().find("completed successfully") == std::string::npos) {
      clock.Advance(250);
      std::this_thread::yield();
      return std::nullopt;
    }
    return std::string("y");
  };
  InterruptAfter(3);
  EXPECT_EQ(Run({"update", "--yes", "--lang", "en"}), 0);
  EXPECT_THAT(out.str(), HasSubstr("Firmware update completed successfully!"));
  EXPECT_THAT(out.str(), HasSubstr("Exit status: 0"));
  EXPECT_TRUE(unit.SlotFlag(UnitSlot::Application));
  EXPECT_NO_USB_VIOLATIONS(usb);
}

// A failed update's bar stays where the update stopped: no full bar, no progress of 100 after the failure.
TEST_F(HelmetUpdateTest, AFailureLeavesTheBarWhereItStopped) {
  EmulatedUnit& unit = usb.AddUnit({});
  unit.AddFault({.kind = FaultKind::BadCrc, .blockId = BLK_WRITE, .skip = 611 + 100});  // in the second step
  EXPECT_EQ(Run({"update", "--yes", "--json"}), 11);
  std::istringstream lines(out.str());
  std::string line;
  int lastPercent = -1;
  bool failed = false;
  while (std::getline(lines, line)) {
    const nlohmann::json event = nlohmann::json::parse(line);
    if (event["event"] == "progress") {
      EXPECT_FALSE(failed) << "progress after the failure: " << line;
      lastPercent = event["percent"].get<int>();
    }
    if (event["event"] == "message" && event["id"] == 40008) failed = true;
  }
  EXPECT_TRUE(failed);
  EXPECT_GE(lastPercent, 10);
  EXPECT_LT(lastPercent, 20);

  io.terminal = true;  // the live line
  unit.AddFault({.kind = FaultKind::BadCrc, .blockId = BLK_WRITE, .skip = 100});
  EXPECT_EQ(Run({"update", "--yes", "--lang", "en"}), 11);
  EXPECT_THAT(out.str(), Not(HasSubstr("100%")));
  io.terminal = false;
}

// While one run updates the unit, a second run of the same unit is refused as busy and sends it nothing.
TEST_F(HelmetUpdateTest, ASecondRunOfTheSameUnitIsBusyAndWritesNothing) {
  EmulatedUnit& unit = usb.AddUnit({});
  context.unitLocks = &PlatformUnitLocks();  // the locks between processes
  PostedMessageQueue secondQueue;
  PlatformContext second = context;
  second.poster = &secondQueue;
  std::ostringstream secondOut;
  std::ostringstream secondErr;
  CliIo secondIo{secondOut, secondErr};
  int secondStatus = -1;
  std::uint64_t before = 0;
  std::uint64_t after = 0;
  io.afterEvent = [&] {
    // In the first pause between two steps, when no block is in flight.
    if (secondStatus != -1 || clock.NowMs() == 0 || usb.Unit(0).ExchangeCount() < 1000) return;
    before = unit.ExchangeCount();
    secondStatus = RunHelmetUpdate({"update", "--yes", "--lang", "en"}, second, secondIo);
    after = unit.ExchangeCount();
  };
  EXPECT_EQ(Run({"update", "--yes"}), 0);
  EXPECT_EQ(secondStatus, 9);
  EXPECT_EQ(after, before);
  EXPECT_THAT(secondErr.str(), HasSubstr("Firmware update ist already running!"));
  EXPECT_THAT(secondOut.str(), HasSubstr("Exit status: 9"));
  // Once the first run is over, the unit is free again.
  io.afterEvent = nullptr;
  EXPECT_EQ(RunHelmetUpdate({"update", "--yes"}, second, secondIo), 0);
}

TEST_F(HelmetUpdateTest, JsonEventsParseBack) {
  usb.AddUnit({});
  EXPECT_EQ(Run({"update", "--yes", "--json", "--lang", "it"}), 0);
  std::istringstream lines(out.str());
  std::string line;
  std::vector<nlohmann::json> events;
  while (std::getline(lines, line)) events.push_back(nlohmann::json::parse(line));  // throws on a bad line
  ASSERT_FALSE(events.empty());
  std::map<std::string, int> kinds;
  int lastPercent = -1;
  for (const nlohmann::json& event : events) {
    kinds[event.at("event").get<std::string>()]++;
    if (event["event"] == "progress") {
      EXPECT_GT(event.at("percent").get<int>(), lastPercent);
      lastPercent = event["percent"].get<int>();
    }
  }
  EXPECT_EQ(lastPercent, 100);
  EXPECT_EQ(kinds["stage"], 6);   // started, three programming lines, verifying, completed
  EXPECT_GE(kinds["pause"], 10);  // two pauses counted down from 5
  EXPECT_EQ(kinds["message"], 1);
  EXPECT_EQ(kinds["step"], 3);  // each with its address and size
  EXPECT_EQ(events[events.size() - 2].at("code").get<int>(), 0);
  EXPECT_EQ(events.back().at("event"), "exit");
  EXPECT_EQ(events.back().at("status").get<int>(), 0);
  EXPECT_EQ(events.front().at("event"), "step");
  EXPECT_EQ(events.front().at("address").get<int>(), 0x20000);
  EXPECT_EQ(events[1].at("text"), "Avviare l'aggiornamento del firmware!");
}

TEST_F(HelmetUpdateTest, InfoShowsTheUnitAndTheProgramsImages) {
  UnitConfig config;
  config.bootloader2.valid = false;
  usb.AddUnit(config);
  EXPECT_EQ(Run({"info", "--lang", "en"}), 0);
  EXPECT_THAT(out.str(), HasSubstr("Mode: bootloader"));
  EXPECT_THAT(out.str(), HasSubstr("Application: 001.005.010"));
  EXPECT_THAT(out.str(), HasSubstr(": 1 1 0"));
  EXPECT_THAT(out.str(), HasSubstr("Hardware id: 6"));
  EXPECT_THAT(out.str(), HasSubstr("Application image in this program: 001.005.019  (hardware 6-6)"));
}

}  // namespace
