#pragma once
// The terminal program run in-process on the emulated bus and a virtual clock, its output and its errors kept:
// the fixture of the terminal program's tests.

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/clock.h"
#include "app/message_poster.h"
#include "app/platform_context.h"
#include "cli/helmet_update.h"
#include "emu/emulated_usb.h"
#include "image/image_resources.h"
#include "ui/ui_language.h"

class CliProgramTest : public ::testing::Test {
 protected:
  CliProgramTest() {
    context.clock = &clock;
    context.usb = &usb;
    context.poster = &queue;
    context.resources = &ProgramResources();
    io.interrupts = &interrupts;
  }
  ~CliProgramTest() override { SetUiLanguage(UILANG_ENGLISH); }

  // One run of the program; the output and errors of the run before are dropped.
  int Run(std::vector<std::string> args) {
    out.str("");
    err.str("");
    return RunHelmetUpdate(args, context, io);
  }

  // Standard output of the last run (--json), one object per line, each with its "event"; a line that is none
  // fails the test.
  std::vector<nlohmann::json> Events() const {
    std::vector<nlohmann::json> events;
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);) {
      nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
      EXPECT_TRUE(event.is_object()) << "not a JSON object: " << line;
      if (!event.is_object()) continue;
      EXPECT_TRUE(event.contains("event") && event["event"].is_string()) << line;
      events.push_back(std::move(event));
    }
    return events;
  }

  // Answers typed on the terminal, one per question; none left: the end of input.
  void Type(std::vector<std::string> answers) {
    typed.assign(answers.begin(), answers.end());
    io.readLine = [this]() -> std::optional<std::string> {
      if (typed.empty()) return std::string();
      std::string line = typed.front();
      typed.pop_front();
      return line;
    };
  }

  VirtualClock clock;
  EmulatedUsb usb{clock};
  PostedMessageQueue queue;
  PlatformContext context;
  std::atomic<int> interrupts{0};
  std::ostringstream out;
  std::ostringstream err;
  CliIo io{out, err};
  std::deque<std::string> typed;
};

// The unit holds a new application and both copies are valid: an update completed on it.
inline bool UnitUpdated(const EmulatedUnit& unit) {
  return unit.SlotFlag(UnitSlot::Application) && unit.SlotFlag(UnitSlot::Bootloader1) &&
         unit.SlotFlag(UnitSlot::Bootloader2) && unit.ApplicationVersion() != UnitConfig{}.application.version;
}
