// The terminal view of one update, driven with the session's events on a virtual clock, and the terminal program
// run in-process on an emulated unit that takes the time a real one takes: the live line fits the terminal, its
// figures are of one kind, the time left appears once steady and holds, the end is said once, and what a failed or
// cancelled update left on the unit is said on the error stream.
#include "cli/terminal_view.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/clock.h"
#include "app/message_poster.h"
#include "cli/cli_texts.h"
#include "cli/helmet_update.h"
#include "cli/live_row.h"
#include "cli/tray_board.h"
#include "cli/utf8.h"
#include "emu/emulated_usb.h"
#include "image/image_resources.h"
#include "support/cli_program.h"
#include "ui/resource_ids.h"
#include "ui/ui_language.h"
#include "ui/update_session.h"
#include "usb/usb_block.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

constexpr std::uint32_t CHUNK = 64 * 1024;

// The pieces of what was written to a terminal, between carriage returns and line feeds.
std::vector<std::string> Segments(const std::string& text) {
  std::vector<std::string> segments;
  std::string segment;
  for (const char c : text) {
    if (c == '\r' || c == '\n') {
      segments.push_back(segment);
      segment.clear();
    } else {
      segment += c;
    }
  }
  segments.push_back(segment);
  return segments;
}

// A frame of the live line shows a percentage; a wipe is blanks only. Lines of text (stages, messages) are
// neither: they are written once and may wrap.
bool IsFrameOrWipe(const std::string& segment) {
  static const std::regex percent("[0-9]%");
  return std::regex_search(segment, percent) ||
         (!segment.empty() && segment.find_first_not_of(' ') == std::string::npos);
}

// The last frame drawn, without the blanks that wiped the one before.
std::string LastFrame(const std::string& text) {
  const std::vector<std::string> segments = Segments(text);
  for (auto it = segments.rbegin(); it != segments.rend(); ++it) {
    if (IsFrameOrWipe(*it) && it->find_first_not_of(' ') != std::string::npos) {
      return it->substr(0, it->find_last_not_of(' ') + 1);
    }
  }
  return "";
}

// The time left that a frame shows, in seconds; -1 when it shows none.
int LeftSeconds(const std::string& frame) {
  static const std::regex left("left ([0-9]+):([0-9]{2})");
  std::smatch match;
  if (!std::regex_search(frame, match, left)) return -1;
  return std::stoi(match[1]) * 60 + std::stoi(match[2]);
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// An update as the session tells it, on the clock: steps of the plan programmed a 64 KiB chunk at a time (each
// chunk's report comes after it, crediting the chunks before it), verified in reports of 5 %, with the pauses
// between the steps counted down as the runner does. The unit takes `eraseMs` per chunk, `programMsPerKiB` and
// `verifyMsPerKiB`.
struct ModelUpdate {
  struct Step {
    UpdateStep step;
    std::uint32_t size;
  };
  std::vector<Step> steps{{STEP_BOOT1_FIRST, 156400}, {STEP_BOOT2_SECOND, 156400}, {STEP_APPLICATION, 2633516}};
  std::uint64_t eraseMs = 400;
  double programMsPerKiB = 10;
  double verifyMsPerKiB = 4;
  std::function<void()> after;  // after each event

  // How long the whole update takes.
  std::uint64_t DurationMs() const {
    std::uint64_t ms = 0;
    for (const Step& step : steps) {
      for (std::uint32_t offset = 0; offset < step.size; offset += CHUNK)
        ms += ChunkMs(std::min(CHUNK, step.size - offset));
      for (int tenth = 1; tenth <= 20; ++tenth) ms += VerifySliceMs(step.size);
    }
    return ms + (steps.size() - 1) * STEP_PAUSE_MS;
  }
  std::uint64_t ChunkMs(std::uint32_t length) const {
    return eraseMs + static_cast<std::uint64_t>(programMsPerKiB * length / 1024);
  }
  std::uint64_t VerifySliceMs(std::uint32_t size) const {
    return static_cast<std::uint64_t>(verifyMsPerKiB * size / 1024 / 20);
  }

  // Runs the steps from `first` on; `end` (if set) ends the update instead of the step numbered `failIn` at
  // `failAtPercent` of its programming.
  void Run(VirtualClock& clock, TerminalView& view, int failIn = 0, std::uint32_t failAtPercent = 0,
           UpdateEnding failure = UpdateEnding::Failed) {
    std::uint64_t total = 0;
    for (const Step& step : steps) total += step.size;
    std::uint64_t before = 0;
    for (std::size_t i = 0; i < steps.size(); ++i) {
      const Step& s = steps[i];
      const UpdateStepEntry& entry = UPDATE_STEP_TABLE[s.step];
      view.StepStarted(StepStart{s.step, static_cast<int>(i) + 1, entry.resourceId, entry.flashAddress, s.size});
      if (i == 0) view.StageEntered(STAGE_STARTED, s.step);
      Tell();
      const auto report = [&](std::uint32_t program, std::uint32_t verify) {
        const std::uint32_t stepPercent = (80 * program + 20 * verify) / 100;
        UpdateProgress progress{s.step,
                                stepPercent,
                                stepPercent * (entry.barTo - entry.barFrom) / 100 + entry.barFrom,
                                verify != 0,
                                std::uint64_t{program} * s.size / 100,
                                s.size,
                                0,
                                total};
        progress.bytesWritten = before + progress.stepBytesWritten;
        view.ProgressMoved(progress);
        Tell();
      };
      for (std::uint32_t offset = 0, chunk = 0; offset < s.size; offset += CHUNK, ++chunk) {
        clock.Advance(ChunkMs(std::min(CHUNK, s.size - offset)));
        const std::uint32_t program = static_cast<std::uint32_t>(std::uint64_t{chunk} * CHUNK * 100 / s.size);
        if (failIn == static_cast<int>(i) + 1 && program >= failAtPercent) {
          report(program, 0);
          view.StageEntered(STAGE_FAILED, s.step);
          const UnitState unit = i == 0   ? UnitState::FirstCopyUnfinished
                                 : i == 1 ? UnitState::OneCopyWritten
                                          : UnitState::BothCopiesWritten;
          view.Ended(UpdateEnd{failure, failure == UpdateEnding::Failed ? FWL_ERR_FAILED : FWL_ABORTED, unit});
          view.Finish(failure == UpdateEnding::Failed ? FWL_ERR_FAILED : FWL_ABORTED);
          Tell();
          return;
        }
        report(program, 0);
        if (chunk == 0) view.StageEntered(STAGE_PROGRAMMING, s.step);
      }
      report(100, 0);
      report(100, 0);  // the verification's start
      for (std::uint32_t verify = 5; verify <= 100; verify += 5) {
        clock.Advance(VerifySliceMs(s.size));
        report(100, verify);
        if (verify == 5 && s.step == STEP_APPLICATION) view.StageEntered(STAGE_VERIFYING, s.step);
      }
      before += s.size;
      if (i + 1 == steps.size()) break;
      view.PauseStarted(steps[i + 1].step, STEP_PAUSE_MS);
      Tell();
      for (std::uint64_t left = STEP_PAUSE_MS; left > 0; left -= 250) {
        view.ShowPause(left);
        Tell();
        clock.Advance(250);
      }
      view.ShowPause(0);
      Tell();
    }
    view.StageEntered(STAGE_COMPLETED, steps.back().step);
    view.Ended(UpdateEnd{UpdateEnding::Completed, FWL_OK, UnitState::Updated});
    view.Finish(0);
    Tell();
  }

  void Tell() const {
    if (after) after();
  }
};

class TerminalViewTest : public ::testing::Test {
 protected:
  ~TerminalViewTest() override { SetUiLanguage(UILANG_ENGLISH); }

  TerminalView& View(OutputStyle style) {
    view = std::make_unique<TerminalView>(
        out, err, style, clock, nullptr, [this] { return cancelAnswer; }, [this] { return width; });
    return *view;
  }

  VirtualClock clock;
  std::ostringstream out;
  std::ostringstream err;
  std::size_t width = 80;
  bool cancelAnswer = true;
  std::unique_ptr<TerminalView> view;
};

// No frame of the live line, nor the blanks that wipe one, is wider than the terminal less one column, in any
// language at any width, also when the terminal narrows while the update runs; the last frame still shows the
// percentage.
TEST_F(TerminalViewTest, EveryFrameFitsTheTerminal) {
  for (const UiLanguageEntry& entry : UI_LANGUAGES) {
    const UiLanguageId language = entry.id;
    for (const std::size_t columns : {20u, 40u, 60u, 80u, 120u}) {
      SCOPED_TRACE(std::to_string(language) + " at " + std::to_string(columns) + " columns");
      SetUiLanguage(language);
      out.str("");
      width = columns;
      ModelUpdate model;
      // Half way through the application the terminal loses a third of its width.
      model.after = [&] {
        if (clock.NowMs() > 40000 && width == columns) width = columns * 2 / 3;
      };
      View(OutputStyle::LiveLine);
      model.Run(clock, *view);
      for (const std::string& segment : Segments(out.str())) {
        if (!IsFrameOrWipe(segment)) continue;
        const std::size_t limit = (segment.find("100%") != std::string::npos ? columns * 2 / 3 : columns) - 1;
        EXPECT_LE(Utf8Columns(segment), limit) << "[" << segment << "]";
      }
      EXPECT_THAT(LastFrame(out.str()), HasSubstr("100%"));
      EXPECT_EQ(err.str(), "");
    }
  }
}

// What goes when the line is too long, in a fixed order: the stage text is shortened, then left out; the bar
// narrows, then goes; then the bytes, the time so far, the time left. The percentage stays.
TEST(LiveRowTest, ShortensInAFixedOrder) {
  const LiveRow row{"", "Vérification de l'appareil !", 42, "412/800 KiB", "1:05", "restant 0:40"};
  struct Case {
    std::size_t columns;
    const char* expected;
  };
  const Case cases[] = {
      {120, "Vérification de l'appareil ! [############..................] 42%  412/800 KiB  1:05  restant 0:40"},
      {85, "Vérification de [############..................] 42%  412/800 KiB  1:05  restant 0:40"},
      {79, "[############..................] 42%  412/800 KiB  1:05  restant 0:40"},  // not one whole word fits
      {69, "[############..................] 42%  412/800 KiB  1:05  restant 0:40"},  // no room for a letter of it
      {50, "[####.......] 42%  412/800 KiB  1:05  restant 0:40"},
      {44, "[##...] 42%  412/800 KiB  1:05  restant 0:40"},
      {42, "42%  412/800 KiB  1:05  restant 0:40"},
      {35, "42%  1:05  restant 0:40"},
      {20, "42%  restant 0:40"},
      {16, "42%"},
      {2, "42"},
  };
  for (const Case& c : cases) {
    const std::string fitted = FitLiveRow(row, c.columns, 30);
    EXPECT_EQ(fitted, c.expected) << c.columns;
    EXPECT_LE(Utf8Columns(fitted), c.columns);
  }
}

// The percentage and the bytes are both of the whole update; the step's own bytes are not shown.
TEST_F(TerminalViewTest, TheFiguresAreOfTheWholeUpdate) {
  width = 120;
  View(OutputStyle::LiveLine);
  view->StepStarted(StepStart{STEP_APPLICATION, 3, IDR_APPLICATION_IMAGE, 0x100000, 512000});
  view->ProgressMoved(UpdateProgress{STEP_APPLICATION, 50, 51, false, 109568, 512000, 421888, 819200});
  EXPECT_THAT(LastFrame(out.str()), HasSubstr("51%  412/800 KiB"));
  EXPECT_THAT(out.str(), Not(HasSubstr("107/500")));
}

// The time left is shown once steady: from the end of a step that measured both passes over STEADY_BYTES, not
// before; from then on it stays within a chunk's time of the truth, never rises by more than that, and counts
// down through the pauses.
TEST_F(TerminalViewTest, TheTimeLeftIsShownOnceSteadyAndHolds) {
  struct Case {
    const char* name;
    std::uint32_t firstSize;  // the bootloader's bytes
    int steadyAfterStep;      // the step at whose end the estimate first shows
  };
  const Case cases[] = {
      {"bootloader over the steady bytes", 156400, 1},
      {"bootloader under the steady bytes", 100000, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    width = 200;
    out.str("");
    VirtualClock caseClock;
    view = std::make_unique<TerminalView>(out, err, OutputStyle::LiveLine, caseClock, nullptr, nullptr,
                                          [this] { return width; });
    ModelUpdate model;
    model.steps[0].size = c.firstSize;
    model.steps[1].size = c.firstSize;
    const std::uint64_t duration = model.DurationMs();
    std::uint64_t firstShownMs = 0;
    int previous = -1;
    int stepsEnded = 0;
    bool pausing = false;
    model.after = [&] {
      if (out.str().find("Exit status") != std::string::npos) return;  // over: nothing is left
      const std::string frame = LastFrame(out.str());
      if (frame.find("next step in") != std::string::npos && !pausing) ++stepsEnded;
      pausing = frame.find("next step in") != std::string::npos;
      const int left = LeftSeconds(frame);
      if (left < 0) {
        EXPECT_EQ(previous, -1) << "once shown, the estimate stays: " << frame;
        return;
      }
      if (previous < 0) {
        firstShownMs = caseClock.NowMs();
        EXPECT_EQ(stepsEnded, c.steadyAfterStep) << frame;
      }
      // The application's rate is not known before it is measured: the bootloader's (its short last chunk erased
      // whole) stands for it at first. A pause's countdown is drawn once a second.
      const double truth = static_cast<double>(duration - caseClock.NowMs()) / 1000.0;
      EXPECT_NEAR(left, truth, 2 + truth / 10) << "at " << caseClock.NowMs() << " ms: " << frame;
      EXPECT_LE(left, previous < 0 ? left : previous + 1) << "at " << caseClock.NowMs() << " ms: " << frame;
      previous = left;
    };
    model.Run(caseClock, *view);
    EXPECT_GT(firstShownMs, 0u);
  }
}

// Success is said once, on the output; the errors stay empty. JSON keeps its stage event and its message event.
TEST_F(TerminalViewTest, SuccessIsSaidOnce) {
  for (const OutputStyle style : {OutputStyle::LiveLine, OutputStyle::PlainLines, OutputStyle::Quiet}) {
    out.str("");
    View(style);
    ModelUpdate{}.Run(clock, *view);
    EXPECT_EQ(Count(out.str(), "Firmware update completed successfully!"), 1u) << out.str();
    EXPECT_EQ(err.str(), "");
  }
  out.str("");
  View(OutputStyle::Json);
  ModelUpdate{}.Run(clock, *view);
  EXPECT_EQ(Count(out.str(), "\"event\":\"stage\",\"id\":40007"), 1u);
  EXPECT_EQ(Count(out.str(), "\"event\":\"message\",\"id\":40007"), 1u);
}

// A failed update's last frame shows the bar where it stopped, neither full nor with bytes or time; the failure
// and what the unit holds now follow on the error stream, the unit's line in every language with its colon.
TEST_F(TerminalViewTest, AFailureSaysWhatTheUnitHolds) {
  struct Case {
    UiLanguageId language;
    int failIn;
    UpdateEnding ending;
    const char* failure;  // empty: none (a cancel)
    const char* unitLine;
  };
  const Case cases[] = {
      {UILANG_ENGLISH, 1, UpdateEnding::Failed, "Update error: Firmware update failed!",
       "Unit now: its previous bootloader (the new copy is unfinished). It starts in its bootloader: run the update "
       "again."},
      {UILANG_ENGLISH, 3, UpdateEnding::Cancelled, "",
       "Unit now: the new bootloader, the previous or an unfinished application. It starts in its bootloader: run "
       "the update again."},
      {UILANG_FRENCH, 2, UpdateEnding::Failed, "",
       "Appareil maintenant : une nouvelle copie du chargeur d'amorçage, l'application précédente. Il démarre sur "
       "son chargeur d'amorçage : relancez la mise à jour."},
      {UILANG_GERMAN, 3, UpdateEnding::Failed, "", "Gerät jetzt: der neue Bootloader"},
      {UILANG_ITALIAN, 2, UpdateEnding::Cancelled, "", "Dispositivo ora: una nuova copia del bootloader"},
      {UILANG_SPANISH, 1, UpdateEnding::Cancelled, "", "Dispositivo ahora: su cargador de arranque anterior"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.language) + " step " + std::to_string(c.failIn));
    SetUiLanguage(c.language);
    out.str("");
    err.str("");
    View(OutputStyle::LiveLine);
    ModelUpdate{}.Run(clock, *view, c.failIn, 40, c.ending);
    const std::string frame = LastFrame(out.str());
    EXPECT_THAT(frame, Not(HasSubstr("100%")));
    if (c.ending == UpdateEnding::Failed) {
      EXPECT_THAT(frame, Not(HasSubstr("KiB")));
    }
    EXPECT_THAT(frame, Not(HasSubstr("#####################")));
    EXPECT_THAT(err.str(), HasSubstr(c.unitLine));
    if (*c.failure != '\0') {
      EXPECT_THAT(err.str(), HasSubstr(std::string(c.failure) + "\n" + c.unitLine));
    }
    EXPECT_EQ(Count(err.str(), "\n"), c.ending == UpdateEnding::Failed ? 2u : 1u) << err.str();
    EXPECT_THAT(out.str(), Not(HasSubstr("failed!")));
    EXPECT_THAT(out.str(), HasSubstr(c.ending == UpdateEnding::Failed ? ": 11\n" : ": 10\n"));
  }
}

// Quiet: nothing but the errors and the result. A completed update writes its one result line; a refusal and a
// failure write only to the error stream.
TEST_F(TerminalViewTest, QuietWritesOnlyErrorsAndTheResult) {
  View(OutputStyle::Quiet);
  ModelUpdate{}.Run(clock, *view);
  EXPECT_EQ(out.str(), "Update information: Firmware update completed successfully!\n");
  EXPECT_EQ(err.str(), "");

  out.str("");
  View(OutputStyle::Quiet);
  ModelUpdate{}.Run(clock, *view, 3, 50);
  EXPECT_EQ(out.str(), "");
  EXPECT_THAT(err.str(), HasSubstr("Update error: Firmware update failed!\nUnit now: the new bootloader"));

  out.str("");
  err.str("");
  View(OutputStyle::Quiet);
  view->StepNotStarted(FWL_ERR_NEWER_FIRMWARE);
  view->Ended(UpdateEnd{UpdateEnding::NotStarted, FWL_ERR_NEWER_FIRMWARE, UnitState::Untouched});
  view->Finish(FWL_ERR_NEWER_FIRMWARE);
  EXPECT_EQ(out.str(), "");
  EXPECT_THAT(err.str(), HasSubstr("newer firmware"));
}

// The messages of refusals go to the error stream, the live line stays on the output; JSON is all on the output.
TEST_F(TerminalViewTest, ErrorsGoToTheErrorStream) {
  for (const OutputStyle style : {OutputStyle::LiveLine, OutputStyle::PlainLines, OutputStyle::Json}) {
    out.str("");
    err.str("");
    View(style);
    view->StepNotStarted(FWL_ERR_WRONG_DEVICE);
    view->Ended(UpdateEnd{UpdateEnding::NotStarted, FWL_ERR_WRONG_DEVICE, UnitState::Untouched});
    view->Finish(FWL_ERR_WRONG_DEVICE);
    const bool json = style == OutputStyle::Json;
    EXPECT_EQ(err.str().find("not suitable") != std::string::npos, !json) << err.str();
    EXPECT_EQ(out.str().find("not suitable") != std::string::npos, json) << out.str();
    EXPECT_THAT(out.str(), HasSubstr(json ? "\"status\":13" : "Exit status: 13"));
  }
}

// A quiet tray draws no rows; its lines (results, errors) still come.
TEST(TrayBoardQuiet, DrawsNoRows) {
  std::ostringstream out;
  TrayBoard board(out, OutputStyle::Quiet, [] { return std::size_t{80}; });
  const std::size_t row = board.AddRow("Port_#0001.Hub_#0001");
  board.SetRow(row, LiveRow{"Port_#0001.Hub_#0001", "Program bootloader 1!", 5, "12/2877 KiB", "0:01", ""});
  board.SetSummary("running 1");
  board.Redraw(true);
  EXPECT_EQ(out.str(), "");
  board.RetireRow(row, "Port_#0001.Hub_#0001: done");
  board.Close();
  EXPECT_EQ(out.str(), "Port_#0001.Hub_#0001: done\n");
}

// The terminal program on the emulated unit: a failure in each step, and a cancel, end with the error and the
// line of what the unit holds now (by the steps the session finished) on the error stream, the output free of
// them.
class ProgramEndTest : public CliProgramTest {};

TEST_F(ProgramEndTest, TheUnitsStateFollowsAFailureOrACancel) {
  struct Case {
    const char* name;
    int badWrite;  // the write whose answer is broken; -1: Ctrl+C answered yes instead
    int status;
    const char* unitLine;
  };
  const Case cases[] = {
      {"failure in the first copy", 100, 11, "Unit now: its previous bootloader (the new copy is unfinished)."},
      {"failure in the second copy", 611 + 100, 11, "Unit now: one new bootloader copy, the previous application."},
      {"failure in the application", 2 * 611 + 100, 11, "Unit now: the new bootloader, the previous or an"},
      // The update goes on under the question: how far it got before the answer is the threads' race.
      {"cancel", -1, 10, "Unit now: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualClock caseClock;
    EmulatedUsb bus(caseClock);
    EmulatedUnit& unit = bus.AddUnit({});
    context.clock = &caseClock;
    context.usb = &bus;
    io.afterEvent = nullptr;
    io.readLine = nullptr;
    if (c.badWrite >= 0) {
      unit.AddFault({.kind = FaultKind::BadCrc, .blockId = BLK_WRITE, .skip = static_cast<std::uint32_t>(c.badWrite)});
    } else {
      io.readLine = [] { return std::optional<std::string>("y"); };
      io.afterEvent = [this, seen = 0]() mutable {
        if (++seen == 3) interrupts.fetch_add(1);
      };
    }
    out.str("");
    err.str("");
    EXPECT_EQ(RunHelmetUpdate({"update", "--yes", "--lang", "en"}, context, io), c.status);
    EXPECT_THAT(err.str(), HasSubstr(c.unitLine));
    EXPECT_THAT(err.str(), HasSubstr("It starts in its bootloader: run the update again.\n"));
    EXPECT_EQ(c.status == 11, err.str().find("Update error: Firmware update failed!\n") != std::string::npos);
    EXPECT_THAT(out.str(), Not(HasSubstr("Unit now")));
    EXPECT_THAT(out.str(), Not(HasSubstr("failed!")));
    EXPECT_THAT(out.str(), HasSubstr("Exit status: " + std::to_string(c.status)));
  }
}

}  // namespace
