// Text from the unit as the terminal program shows it: a unit whose version text carries an escape sequence, a
// CR LF that would begin a forged line and a byte that is not UTF-8 (set up as the demo is, by DEMO_APP_VERSION)
// reaches no terminal, JSON line or trace line raw. And whatever escapes a command ends the program with a
// message and status 11, not an abort.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <deque>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/unit_text.h"
#include "emu/demo_unit_config.h"
#include "support/cli_program.h"

using ::testing::HasSubstr;

namespace {

// Retitles the terminal, erases its line, then breaks the line and starts one that looks like a trace line; all
// 30 characters that the unit's version field holds.
const std::string kHostileVersion = "\x1b]0;x\x07\x1b[2K\r\n[Tavik_FW_Update]\xff";
// As the program shows it.
const std::string kShownVersion = "\\x1b]0;x\\x07\\x1b[2K\\x0d\\x0a[Tavik_FW_Update]\\xff";

class UnitTextShownTest : public CliProgramTest {
 protected:
  // The demo's units, from its variables, on `bus`, which the program then uses.
  void AttachDemo(EmulatedUsb& bus, std::map<std::string, std::string> variables) {
    variables["DEMO_TIMING"] = "fast";
    const DemoTraySettings tray = ReadDemoTraySettings([&](const char* name) -> const char* {
      const auto found = variables.find(name);
      return found == variables.end() ? nullptr : found->second.c_str();
    });
    ASSERT_TRUE(tray.problems.empty());
    AttachDemoUnits(bus, tray);
    context.usb = &bus;
  }
};

// Every line of `text` (a line feed ends a line; a trace file's CR before it too) holds no control byte and is
// UTF-8: what the escaping leaves unchanged.
void ExpectCleanLines(const std::string& text, const char* what) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    EXPECT_EQ(UnitText(line), line) << what << ": " << line;
  }
}

TEST_F(UnitTextShownTest, VersionTextsAreEscapedOnTheTerminal) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> answers;  // typed on the terminal
    int units;
    std::size_t columns;  // of the terminal; 0: not known
    int status;
  };
  const Case cases[] = {
      {"info", {"info"}, {}, 1, 0, 0},
      {"the question before the update", {"update"}, {"n"}, 1, 0, 10},
      {"the question before a tray's update", {"update", "--all"}, {"n"}, 2, 0, 10},
      {"a narrow terminal's question", {"update"}, {"n"}, 1, 40, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EmulatedUsb bus{clock};
    AttachDemo(bus, {{"DEMO_APP_VERSION", kHostileVersion}, {"DEMO_UNITS", std::to_string(c.units)}});
    Type(c.answers);
    io.columns = [&c] { return c.columns; };
    EXPECT_EQ(Run(c.args), c.status);
    EXPECT_THAT(out.str(), HasSubstr(kShownVersion));
    ExpectCleanLines(out.str(), "output");
    ExpectCleanLines(err.str(), "errors");
  }
}

TEST_F(UnitTextShownTest, InfoJsonParsesWithTheVersionEscapedAsAString) {
  AttachDemo(usb, {{"DEMO_APP_VERSION", kHostileVersion}});
  EXPECT_EQ(Run({"info", "--json"}), 0);
  const std::vector<nlohmann::json> events = Events();
  ASSERT_EQ(events.size(), 3u);
  const nlohmann::json& info = events[0];
  EXPECT_EQ(info.at("event"), "info");
  EXPECT_EQ(info.at("result"), 0);
  // Shown escaped; the fields keep their types.
  EXPECT_EQ(info.at("unit").at("application"), kShownVersion);
  EXPECT_TRUE(info.at("unit").at("bootloader").is_string());
  EXPECT_TRUE(info.at("unit").at("flags").is_array());
  EXPECT_TRUE(info.at("update").at("possible").is_boolean());
  EXPECT_EQ(events[2].at("status"), 0);
}

TEST_F(UnitTextShownTest, ListShowsAPathThatIsNotUtf8EscapedAndItsJsonParses) {
  UnitConfig config;
  config.devicePath = "\\\\?\\usb#vid_7a31&pid_acdc#\xff\x1b[2J";
  usb.AddUnit(config);
  EXPECT_EQ(Run({"list"}), 0);
  EXPECT_THAT(out.str(), HasSubstr("#\\xff\\x1b[2J"));
  ExpectCleanLines(out.str(), "output");
  EXPECT_EQ(Run({"list", "--json"}), 0);
  const std::vector<nlohmann::json> events = Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].at("units").at(0).at("path"), "\\\\?\\usb#vid_7a31&pid_acdc#\xef\xbf\xbd\x1b[2J");
  EXPECT_EQ(events[2].at("status"), 0);
}

TEST_F(UnitTextShownTest, TheTraceFileHasNoForgedLine) {
  const std::string path = ::testing::TempDir() + "unit_text_shown_" + std::to_string(getpid()) + ".log";
  std::remove(path.c_str());
  AttachDemo(usb, {{"DEMO_APP_VERSION", kHostileVersion}});
  EXPECT_EQ(Run({"update", "--yes", "--trace", path}), 0);
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  std::remove(path.c_str());
  ExpectCleanLines(text.str(), "trace file");
  // The version's line is one line, the whole text in it; no line begins without its time (a forged one would).
  int mentions = 0;
  std::istringstream lines(text.str());
  for (std::string line; std::getline(lines, line);) {
    EXPECT_NE(line.rfind("[Tavik_FW_Update]", 0), 0u) << line;
    if (line.find("Application Version = \\x1b") == std::string::npos) continue;
    ++mentions;
    EXPECT_THAT(line, HasSubstr("[Tavik_FW_Update] Application Version = " + kShownVersion + "\r"));
  }
  EXPECT_EQ(mentions, 1);  // the device query
}

TEST_F(UnitTextShownTest, WhateverEscapesACommandEndsWithAMessageAndStatus11) {
  struct Case {
    const char* name;
    bool json;
    std::function<void()> fault;
    const char* said;
  };
  const Case cases[] = {
      {"std::exception", false, [] { throw std::runtime_error("out of \x1b[2Jluck"); }, "out of \\x1b[2Jluck"},
      {"std::exception, --json", true, [] { throw std::runtime_error("out of luck"); }, "out of luck"},
      {"anything else", false, [] { throw 42; }, "an exception of an unknown type"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EmulatedUsb bus{clock};
    bus.AddUnit({});
    context.usb = &bus;
    io.afterEvent = [&c, seen = 0]() mutable {
      if (++seen == 50) c.fault();  // in the middle of the first step's writes
    };
    std::vector<std::string> args{"update", "--yes"};
    if (c.json) args.push_back("--json");
    EXPECT_EQ(Run(args), 11);
    EXPECT_THAT(err.str(), HasSubstr(std::string("helmet-update: stopped by an unexpected error: ") + c.said));
    if (c.json) {
      const std::vector<nlohmann::json> events = Events();
      ASSERT_GE(events.size(), 3u);
      const nlohmann::json& error = events[events.size() - 3];
      EXPECT_EQ(error.at("event"), "error");
      EXPECT_EQ(error.at("reason"), "unexpected");
      EXPECT_EQ(events[events.size() - 2].at("code"), 11);
      EXPECT_EQ(events.back().at("status"), 11);
    }
    // The loader stopped its worker and reset the unit on the way out: once it is back, the next run completes.
    io.afterEvent = nullptr;
    clock.Advance(5000);
    EXPECT_EQ(Run({"update", "--yes"}), 0);
    EXPECT_TRUE(UnitUpdated(bus.Unit(0)));
  }
}

}  // namespace
