// What scripts read of the terminal updater: with --json every line of standard output is one JSON object and
// every command ends with its "result" and "exit" events, on every road (done, refused, no unit, the wrong unit,
// several units, no terminal, broken images); without --json the errors go to the error stream, never to
// standard output; `list` and `info` name a unit's mode with the same word.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/clock.h"
#include "app/message_poster.h"
#include "cli/helmet_update.h"
#include "cli/utf8.h"
#include "emu/emulated_usb.h"
#include "image/image_resources.h"
#include "support/cli_program.h"
#include "support/fake_image_resources.h"
#include "ui/ui_language.h"
#include "usb/usb_block.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

constexpr const char PORT1[] = "Port_#0001.Hub_#0001";

// The program's own image `id`, with one byte of its middle inverted when `spoil`.
std::vector<std::uint8_t> ProgramImage(std::uint16_t id, bool spoil) {
  ResourceLoader& resources = ProgramResources();
  const ResourceInfo found = resources.FindRawData(id);
  const ResourceHandle handle = resources.Load(found);
  const std::uint8_t* bytes = resources.Lock(handle);
  std::vector<std::uint8_t> image(bytes, bytes + resources.SizeOf(found));
  resources.Free(handle);
  if (spoil) image[image.size() / 2] ^= 0x80;
  return image;
}

struct Setting {
  const char* name;
  std::function<void(EmulatedUsb&)> setUp;
};

void Plain(EmulatedUsb& bus) { bus.AddUnit({}); }
void NoUnit(EmulatedUsb&) {}
void TwoUnits(EmulatedUsb& bus) {
  bus.AddUnit({});
  bus.AddUnit({});
}
void Newer(EmulatedUsb& bus) {
  UnitConfig config;
  config.application.version = "002.000.000";
  bus.AddUnit(config);
}
void InMode(EmulatedUsb& bus, UnitMode mode) {
  UnitConfig config;
  config.mode = mode;
  bus.AddUnit(config);
}

class JsonPathsTest : public CliProgramTest {
 protected:
  // The first event of this kind; null when none came.
  static nlohmann::json First(const std::vector<nlohmann::json>& events, const char* kind) {
    for (const nlohmann::json& event : events) {
      if (event.value("event", "") == kind) return event;
    }
    return nullptr;
  }
};

TEST_F(JsonPathsTest, EveryCommandEndsWithItsResultAndExit) {
  struct Case {
    const char* name;
    std::function<void(EmulatedUsb&)> setUp;
    std::vector<std::string> args;
    int status;
    int code;            // the "result" event's
    const char* marker;  // an event that tells the road: "error:REASON", "message:ID" or a kind
  };
  const std::vector<Case> cases = {
      {"list", Plain, {"list"}, 0, 0, "units"},
      {"list, no unit", NoUnit, {"list"}, 3, 3, "error:no-unit"},
      {"info", Plain, {"info"}, 0, 0, "info"},
      {"info, no unit", NoUnit, {"info"}, 3, 3, "info"},
      {"info, several units", TwoUnits, {"info"}, 2, 2, "error:several-units"},
      {"update done", Plain, {"update", "--yes"}, 0, 0, "message:40007"},
      {"update refused", Newer, {"update", "--yes"}, 12, 12, "message:40018"},
      {"update, no unit", NoUnit, {"update", "--yes"}, 3, 3, "message:40013"},
      {"update, unknown --unit",
       Plain,
       {"update", "--yes", "--unit", "Port_#0009.Hub_#0001"},
       3,
       3,
       "error:unit-not-present"},
      {"update, several units", TwoUnits, {"update", "--yes"}, 2, 2, "error:several-units"},
      {"update, no terminal and no --yes", Plain, {"update"}, 10, 10, "error:no-terminal"},
      {"update --all, no unit", NoUnit, {"update", "--all", "--yes"}, 3, 3, "error:no-unit"},
      {"update --all, no terminal and no --yes", TwoUnits, {"update", "--all"}, 10, 10, "error:no-terminal"},
  };
  for (const Case& c : cases) {
    for (const char* lang : {"en", "fr"}) {
      SCOPED_TRACE(std::string(c.name) + " " + lang);
      VirtualClock caseClock;
      EmulatedUsb bus(caseClock);
      c.setUp(bus);
      context.clock = &caseClock;
      context.usb = &bus;
      std::vector<std::string> args = c.args;
      args.insert(args.end(), {"--json", "--lang", lang});
      const int status = Run(args);
      EXPECT_EQ(status, c.status) << out.str();
      const std::vector<nlohmann::json> events = Events();
      ASSERT_GE(events.size(), 2u) << out.str();
      const nlohmann::json& result = events[events.size() - 2];
      const nlohmann::json& exit = events.back();
      EXPECT_EQ(result.value("event", ""), "result") << result;
      EXPECT_EQ(result.at("code"), c.code);
      EXPECT_EQ(exit.value("event", ""), "exit") << exit;
      EXPECT_EQ(exit.at("status"), status);
      const std::string marker = c.marker;
      const std::size_t colon = marker.find(':');
      const nlohmann::json event = First(events, marker.substr(0, colon).c_str());
      ASSERT_FALSE(event.is_null()) << marker << ": " << out.str();
      if (marker.rfind("error:", 0) == 0) {
        EXPECT_EQ(event.at("reason"), marker.substr(colon + 1));
        EXPECT_FALSE(event.at("text").get<std::string>().empty());
      } else if (marker.rfind("message:", 0) == 0) {
        EXPECT_EQ(event.at("id"), std::stoi(marker.substr(colon + 1)));
      }
      EXPECT_EQ(err.str(), "") << "with --json what went wrong is an event on standard output";
    }
  }
}

// Standard output keeps JSON only: a usage error is an event too, the parse's words in it and on standard error.
TEST_F(JsonPathsTest, AUsageErrorIsAnEventToo) {
  EXPECT_EQ(JsonUsageError(io, "--all goes with update only"), EXIT_USAGE);
  const std::vector<nlohmann::json> events = Events();
  ASSERT_EQ(events.size(), 3u) << out.str();
  EXPECT_EQ(events[0].at("reason"), "usage");
  EXPECT_EQ(events[0].at("text"), "--all goes with update only");
  EXPECT_EQ(events[1].at("code"), EXIT_USAGE);
  EXPECT_EQ(events[2].at("status"), EXIT_USAGE);

  const std::vector<std::vector<std::string>> mistakes = {{"--json", "frobnicate"},
                                                          {"list", "--all", "--json"},
                                                          {"update", "--json", "--no-such-option"},
                                                          {"--json", "update", "--quiet", "--verbose"},
                                                          {"--json"}};
  for (const std::vector<std::string>& args : mistakes) {
    SCOPED_TRACE(args.back());
    out.str("");
    err.str("");
    EXPECT_EQ(RunHelmetUpdate(args, context, io), EXIT_USAGE);
    const std::vector<nlohmann::json> said = Events();
    ASSERT_EQ(said.size(), 3u) << out.str();
    EXPECT_EQ(said[0].at("reason"), "usage");
    EXPECT_FALSE(said[0].at("text").get<std::string>().empty());
    EXPECT_NE(err.str().find(said[0].at("text").get<std::string>().substr(0, 10)), std::string::npos) << err.str();
    EXPECT_EQ(said[2].at("status"), EXIT_USAGE);
  }
}

TEST_F(JsonPathsTest, CorruptedImagesStopEveryUpdateBeforeAnyUnitIsTouched) {
  FakeImageResources resources;
  resources.Add(IDR_APPLICATION_IMAGE, ProgramImage(IDR_APPLICATION_IMAGE, true));
  resources.Add(IDR_BOOTLOADER_IMAGE, ProgramImage(IDR_BOOTLOADER_IMAGE, false));
  context.resources = &resources;
  usb.AddUnit({});
  usb.AddUnit({});
  for (const std::vector<std::string>& args : {std::vector<std::string>{"update", "--yes", "--unit", PORT1},
                                               std::vector<std::string>{"update", "--all", "--yes"}}) {
    SCOPED_TRACE(args[1]);
    std::vector<std::string> json = args;
    json.push_back("--json");
    EXPECT_EQ(Run(json), 11);
    const std::vector<nlohmann::json> events = Events();
    ASSERT_EQ(events.size(), 3u) << out.str();
    EXPECT_EQ(events[0].at("reason"), "images-corrupted");
    EXPECT_EQ(events[0].at("text"), "Firmware image is corrupted.");
    EXPECT_EQ(events[1].at("code"), 11);

    EXPECT_EQ(Run(args), 11);
    EXPECT_EQ(out.str(), "");
    EXPECT_THAT(err.str(), HasSubstr("Firmware image is corrupted."));
  }
  EXPECT_EQ(usb.Unit(0).Exchanges().size(), 0u);
  EXPECT_EQ(usb.Unit(1).Exchanges().size(), 0u);
}

// Without --json the errors and refusals go to the error stream, in the user's language; standard output carries
// none of them.
TEST_F(JsonPathsTest, ErrorsGoToTheErrorStream) {
  struct Case {
    const char* name;
    std::function<void(EmulatedUsb&)> setUp;
    std::vector<std::string> args;
    int status;
    std::vector<const char*> errors;  // on the error stream, in this order
  };
  const std::vector<Case> cases = {
      {"list, no unit", NoUnit, {"list"}, 3, {"No unit found."}},
      {"several units",
       TwoUnits,
       {"update", "--yes"},
       2,
       {"Several units are connected; choose one with --unit PATH:", "7a31:acdc\n", "7a31:acdc\n"}},
      {"unknown --unit",
       Plain,
       {"update", "--yes", "--unit", "nope"},
       3,
       {"No unit with this path is connected: nope", "7a31:acdc\n"}},
      {"no terminal", Plain, {"update"}, 10, {"No terminal to answer on: add --yes to update without the question."}},
      {"no terminal, German",
       Plain,
       {"update", "--lang", "de"},
       10,
       {"Kein Terminal für die Antwort: mit --yes wird ohne die Frage aktualisiert."}},
      {"no terminal, French", Plain, {"update", "--lang", "fr"}, 10, {"Aucun terminal pour répondre : ajoutez --yes"}},
      {"no terminal, Italian", Plain, {"update", "--lang", "it"}, 10, {"Nessun terminale su cui rispondere"}},
      {"no terminal, Spanish", Plain, {"update", "--lang", "es"}, 10, {"No hay terminal para responder"}},
      {"tray, no terminal", TwoUnits, {"update", "--all"}, 10, {"No terminal to answer on"}},
      {"tray, no unit", NoUnit, {"update", "--all", "--yes"}, 3, {"No unit found."}},
      {"info, no unit", NoUnit, {"info"}, 3, {"Device not found."}},
      {"info, a unit that does not answer",
       [](EmulatedUsb& bus) { InMode(bus, UnitMode::OldApplication); },
       {"info"},
       11,
       {"Firmware data invalid."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualClock caseClock;
    EmulatedUsb bus(caseClock);
    c.setUp(bus);
    context.clock = &caseClock;
    context.usb = &bus;
    EXPECT_EQ(Run(c.args), c.status);
    std::size_t at = 0;
    for (const char* text : c.errors) {
      at = err.str().find(text, at);
      ASSERT_NE(at, std::string::npos) << text << " in: " << err.str();
      ++at;
      EXPECT_THAT(out.str(), Not(HasSubstr(text)));
    }
    // Nothing of the unit was written: the errors come before any step.
    for (std::size_t i = 0; i < bus.UnitCount(); ++i) {
      for (const ExchangeRecord& record : bus.Unit(i).Exchanges()) EXPECT_NE(record.request.BlockID, BLK_WRITE);
    }
  }
}

// `list` and `info` give a unit's mode the same word, as a string, in every mode (a unit that does not answer
// the device query too), and `info` says whether an update would start and, if not, the update's own reason.
TEST_F(JsonPathsTest, InfoAgreesWithListAndWithTheUpdate) {
  struct Case {
    const char* name;
    std::function<void(EmulatedUsb&)> setUp;
    const char* mode;
    int infoStatus;
    int updateCode;  // what `update --yes` ends with: info's verdict must be the same
    const char* plain;
  };
  const std::vector<Case> cases = {
      {"bootloader", Plain, "bootloader", 0, 0, "Update: possible\n"},
      {"newer firmware", Newer, "bootloader", 0, 12, "Update: refused - The device has a newer firmware."},
      {"other hardware",
       [](EmulatedUsb& bus) {
         UnitConfig config;
         config.hardwareId = 99;
         bus.AddUnit(config);
       },
       "bootloader", 0, 13, "Update: refused - Firmware image is not suitable for this device."},
      {"application mode", [](EmulatedUsb& bus) { InMode(bus, UnitMode::Application); }, "application", 0, 7,
       "Update: refused - The device is in application mode."},
      {"old application", [](EmulatedUsb& bus) { InMode(bus, UnitMode::OldApplication); }, "old application", 11, 11,
       "Mode: old application\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualClock caseClock;
    EmulatedUsb bus(caseClock);
    c.setUp(bus);
    context.clock = &caseClock;
    context.usb = &bus;

    ASSERT_EQ(Run({"list", "--json"}), 0);
    const nlohmann::json listed = First(Events(), "units");
    ASSERT_EQ(listed.at("units").size(), 1u);
    EXPECT_EQ(listed["units"][0].at("mode"), c.mode);

    EXPECT_EQ(Run({"info", "--json"}), c.infoStatus);
    const nlohmann::json info = First(Events(), "info");
    ASSERT_TRUE(info.is_object()) << out.str();
    EXPECT_EQ(info.at("unit").at("mode"), c.mode);
    EXPECT_EQ(info["unit"].at("modeNumber"), listed["units"][0].at("modeNumber"));
    EXPECT_EQ(info.at("update").at("possible"), c.updateCode == 0);
    EXPECT_EQ(info["update"].at("code"), c.updateCode);
    const std::size_t requests = bus.Unit(0).Exchanges().size();

    EXPECT_EQ(Run({"info", "--lang", "en"}), c.infoStatus);
    EXPECT_THAT(out.str(), HasSubstr(c.plain));
    EXPECT_THAT(out.str(), HasSubstr(std::string("Mode: ") + c.mode + "\n"));

    // The update ends as info said it would; info itself wrote nothing.
    for (const ExchangeRecord& record : bus.Unit(0).Exchanges()) {
      EXPECT_NE(record.request.BlockID, BLK_START);
      EXPECT_NE(record.request.BlockID, BLK_WRITE);
    }
    if (c.updateCode != 0) {
      EXPECT_EQ(Run({"update", "--yes"}), c.updateCode);
      EXPECT_GT(bus.Unit(0).Exchanges().size(), requests);
    }
  }
}

// The question before a one-unit update names the unit and the versions, the unit's and the program's, with
// every line within 80 columns in every language, and on a narrower terminal within its width where it can.
TEST_F(JsonPathsTest, TheQuestionNamesTheUnitAndTheVersions) {
  usb.AddUnit({});
  struct Case {
    const char* lang;
    const char* heading;
    const char* application;
    const char* bootloader;
  };
  const Case cases[] = {
      {"en", "This unit will be written:", "Application", "Bootloader"},
      {"de", "Dieses Gerät wird beschrieben:", "Applikation", "Bootloader"},
      {"fr", "Cet appareil sera écrit :", "Application", "Chargeur d'amorçage"},
      {"it", "Questo dispositivo verrà scritto:", "Applicazione", "Bootloader"},
      {"es", "Se escribirá este dispositivo:", "Aplicación", "Cargador de arranque"},
  };
  for (const Case& c : cases) {
    for (const std::size_t columns : {std::size_t{0}, std::size_t{80}, std::size_t{40}}) {
      SCOPED_TRACE(std::string(c.lang) + " at " + std::to_string(columns) + " columns");
      io.columns = [columns] { return columns; };
      io.readLine = [] { return std::optional<std::string>("n"); };
      EXPECT_EQ(Run({"update", "--lang", c.lang}), 10);
      const std::string text = out.str();
      const std::string application = std::string(c.application) + " 001.005.010";
      const std::string bootloader = std::string(c.bootloader) + " 001.005.007";
      // The unit's versions on its line; on a narrow terminal each on a line of its own below it.
      EXPECT_THAT(text, HasSubstr(std::string(c.heading) + "\n  " + PORT1 +
                                  (columns == 40 ? "\n    " + application + "\n    " + bootloader + "\n"
                                                 : "  " + application + "  " + bootloader + "\n")));
      // The program's images, each with its hardware range (one blank before it where a narrow line broke).
      for (const char* image : {"001.005.019", "001.005.007"}) {
        const std::size_t at = text.find(std::string(image) + " ");
        ASSERT_NE(at, std::string::npos) << image;
        EXPECT_NE(text.find(" (", at), std::string::npos);
        EXPECT_LE(text.find(" (", at), at + 13) << image;
      }
      const std::size_t width = columns == 0 ? 80 : columns;
      std::istringstream lines(text);
      bool question = false;
      for (std::string line; std::getline(lines, line);) {
        // The answer is typed after the hint; here none is echoed, so the exit line follows on the same line.
        if (line.find("/N] ") != std::string::npos) {
          line = line.substr(0, line.find("/N] ") + 4);
          question = true;
        }
        EXPECT_LE(Utf8Columns(line), width) << line;
      }
      EXPECT_TRUE(question) << text;
    }
  }
  io.columns = nullptr;
  io.readLine = nullptr;
  const std::vector<ExchangeRecord> exchanges = usb.Unit(0).Exchanges();
  EXPECT_FALSE(exchanges.empty()) << "the unit was read before the question";
  EXPECT_TRUE(std::all_of(exchanges.begin(), exchanges.end(),
                          [](const ExchangeRecord& record) { return record.request.BlockID != BLK_WRITE; }));
}

}  // namespace
