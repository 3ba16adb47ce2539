#include "cli/terminal_view.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "app/unit_text.h"
#include "cli/cli_texts.h"
#include "cli/json_text.h"
#include "cli/live_row.h"
#include "cli/utf8.h"
#include "ui/resource_ids.h"
#include "ui/result_message.h"
#include "ui/update_session.h"

namespace {

constexpr std::size_t BAR_WIDTH = 30;
constexpr std::uint64_t NO_PAUSE = ~std::uint64_t{0};

// "m:ss".
std::string Duration(std::uint64_t ms) {
  const std::uint64_t s = ms / 1000;
  char text[32];
  std::snprintf(text, sizeof text, "%u:%02u", static_cast<unsigned>(s / 60), static_cast<unsigned>(s % 60));
  return text;
}

// A message's text on one line: its line breaks become spaces.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

// The steps of the plan that follow `step`.
int StepsAfter(UpdateStep step) {
  int steps = 0;
  for (UpdateStep next = IsUpdateStep(step) ? UPDATE_STEP_TABLE[step].nextStep : STEP_NONE; IsUpdateStep(next);
       next = UPDATE_STEP_TABLE[next].nextStep) {
    ++steps;
  }
  return steps;
}

CliTextId UnitStateText(UnitState unit) {
  switch (unit) {
    case UnitState::Untouched:
      return IDS_CLI_UNIT_UNTOUCHED;
    case UnitState::FirstCopyUnfinished:
      return IDS_CLI_UNIT_FIRST_COPY_UNFINISHED;
    case UnitState::OneCopyWritten:
      return IDS_CLI_UNIT_ONE_COPY_WRITTEN;
    case UnitState::BothCopiesWritten:
      return IDS_CLI_UNIT_BOTH_COPIES_WRITTEN;
    case UnitState::Updated:
      break;
  }
  return IDS_CLI_UNIT_UPDATED;
}

}  // namespace

void TimeLeft::StepStarted(std::uint64_t nowMs, int stepsAfter) {
  pass_ = Pass::Programming;
  passStartMs_ = nowMs;
  reports_ = 0;
  stepsAfter_ = stepsAfter;
  pauseDueMs_ = 0;
}

void TimeLeft::Progress(std::uint64_t nowMs, const UpdateProgress& progress) {
  totalBytes_ = progress.totalBytes;
  written_ = progress.bytesWritten;
  stepBytes_ = progress.stepBytes;
  if (pass_ == Pass::Programming && (progress.verifying || progress.stepBytesWritten >= progress.stepBytes)) {
    EndPass(nowMs);
    pass_ = Pass::Verifying;
    passStartMs_ = nowMs;
  }
  // The verification's share of the step: its 20 last percent.
  const std::uint32_t verifyPercent = std::clamp<std::uint32_t>(progress.stepPercent, 80, 100) - 80;
  const std::uint64_t stepVerified = progress.verifying ? progress.stepBytes * verifyPercent / 20 : 0;
  const std::uint64_t stepBytesNow = pass_ == Pass::Verifying ? stepVerified : progress.stepBytesWritten;
  const std::uint64_t before = progress.bytesWritten >= progress.stepBytesWritten
                                   ? progress.bytesWritten - progress.stepBytesWritten
                                   : 0;  // the steps finished before this one
  verifiedBytes_ = std::min(before + stepVerified, written_);
  if (pass_ == Pass::None) return;
  if (reports_ == 0) firstReport_ = {nowMs, stepBytesNow};
  if (reports_ > 0) measuredReport_ = latestReport_;
  latestReport_ = {nowMs, stepBytesNow};
  ++reports_;
}

void TimeLeft::PauseStarted(std::uint64_t nowMs, std::uint64_t pauseMs, int stepsAfter) {
  EndPass(nowMs);
  verifiedBytes_ = written_;  // the step before has ended: all of it was verified
  pauseDueMs_ = nowMs + pauseMs;
  stepsAfter_ = stepsAfter;
}

void TimeLeft::EndPass(std::uint64_t nowMs) {
  const Measured pass{nowMs - passStartMs_, stepBytes_};
  if (pass_ == Pass::Programming) {
    programmed_.ms += pass.ms;
    programmed_.bytes += pass.bytes;
  } else if (pass_ == Pass::Verifying) {
    verified_.ms += pass.ms;
    verified_.bytes += pass.bytes;
  }
  pass_ = Pass::None;
  reports_ = 0;
  steady_ = steady_ || (programmed_.bytes >= STEADY_BYTES && verified_.bytes >= STEADY_BYTES);
}

// The window: the running pass alone once it has measured enough, else the passes finished.
double TimeLeft::MsPerByte(Measured done, Measured running) {
  const Measured rate = running.bytes >= STEADY_BYTES ? running : done;
  return rate.bytes == 0 ? 0.0 : static_cast<double>(rate.ms) / static_cast<double>(rate.bytes);
}

std::uint64_t TimeLeft::LeftMs(std::uint64_t nowMs) const {
  Measured programming{};
  Measured verifying{};
  if (pass_ == Pass::Programming && reports_ > 1) {
    programming = {measuredReport_.ms - firstReport_.ms, measuredReport_.bytes - firstReport_.bytes};
  } else if (pass_ == Pass::Verifying && reports_ > 0) {
    verifying = {latestReport_.ms - passStartMs_, latestReport_.bytes};
  }
  const std::uint64_t toProgram = totalBytes_ > written_ ? totalBytes_ - written_ : 0;
  const std::uint64_t toVerify = totalBytes_ > verifiedBytes_ ? totalBytes_ - verifiedBytes_ : 0;
  const double work = static_cast<double>(toProgram) * MsPerByte(programmed_, programming) +
                      static_cast<double>(toVerify) * MsPerByte(verified_, verifying);
  const std::uint64_t pause = pauseDueMs_ > nowMs ? pauseDueMs_ - nowMs : 0;
  return static_cast<std::uint64_t>(work) + pause + static_cast<std::uint64_t>(stepsAfter_) * STEP_PAUSE_MS;
}

TerminalView::TerminalView(std::ostream& out, std::ostream& err, OutputStyle style, Clock& clock,
                           std::function<bool()> askStart, std::function<bool()> askCancel,
                           std::function<std::size_t()> columns)
    : out_(out),
      err_(err),
      style_(style),
      clock_(clock),
      askStart_(std::move(askStart)),
      askCancel_(std::move(askCancel)),
      columns_(std::move(columns)),
      startMs_(clock.NowMs()) {}

TerminalView::TerminalView(std::ostream& out, OutputStyle style, Clock& clock, std::function<bool()> askStart,
                           std::function<bool()> askCancel)
    : TerminalView(out, out, style, clock, std::move(askStart), std::move(askCancel), nullptr) {}

void TerminalView::StageEntered(UpdateStage stage, UpdateStep step) {
  const std::uint16_t textId = StageLine(stage, step);
  const std::string text = textId != 0 ? UiText(textId) : std::string();
  if (text.empty()) return;
  if (style_ == OutputStyle::Json) {
    stageText_ = text;
    Event({{"event", "stage"}, {"id", textId}, {"text", text}});
    return;
  }
  // The end's message says how it ended, once; the line keeps the stage where the update was.
  if (style_ == OutputStyle::Quiet || stage == STAGE_COMPLETED || stage == STAGE_FAILED) return;
  stageText_ = text;
  if (board_ != nullptr && board_->Live()) {  // the unit's row shows it
    DrawLive();
    return;
  }
  PrintLine(text);
}

void TerminalView::StepStarted(const StepStart& start) {
  timeLeft_.StepStarted(clock_.NowMs(), StepsAfter(start.step));
  if (style_ == OutputStyle::Json) {
    Event({{"event", "step"},
           {"step", start.step},
           {"number", start.number},
           {"address", start.address},
           {"size", start.size}});
  }
}

void TerminalView::ProgressMoved(const UpdateProgress& progress) {
  timeLeft_.Progress(clock_.NowMs(), progress);
  const bool barMoved = progress.barPosition != bar_;
  const bool bytesMoved = progress.bytesWritten != bytesWritten_ || progress.totalBytes != totalBytes_;
  bytesWritten_ = progress.bytesWritten;
  totalBytes_ = progress.totalBytes;
  if (!barMoved && !bytesMoved) return;
  bar_ = progress.barPosition;
  pauseRemainingMs_ = 0;
  switch (style_) {
    case OutputStyle::Json:
      if (barMoved) {
        // "bytes" of the step as ever; "written" and "total" of the whole update, as the percentage.
        Event({{"event", "progress"},
               {"percent", bar_},
               {"bytes", progress.stepBytesWritten},
               {"written", progress.bytesWritten},
               {"total", progress.totalBytes}});
      }
      break;
    case OutputStyle::PlainLines:
      if (bar_ / 10 > lastPlainTenth_) {
        lastPlainTenth_ = bar_ / 10;
        PrintLine(std::to_string(lastPlainTenth_ * 10) + " %");
      }
      break;
    case OutputStyle::LiveLine:
      DrawLive();
      break;
    case OutputStyle::Quiet:
      break;
  }
}

void TerminalView::PauseStarted(UpdateStep next, std::uint32_t ms) {
  timeLeft_.PauseStarted(clock_.NowMs(), ms, StepsAfter(next));
  ShowPause(ms);
}

bool TerminalView::Ask(UpdateQuestion question) {
  if (question == UpdateQuestion::StartUpdate) return askStart_ ? askStart_() : true;
  if (board_ != nullptr) return askCancel_ ? askCancel_() : true;     // the tray asked, once for all units
  const bool hidden = style_ == OutputStyle::LiveLine && liveShown_;  // the answer is typed below the live line
  PrintMessage(IDS_CONFIRM_ABORT, IDS_CAPTION_INFORMATION, Kind::Question);
  const bool yes = askCancel_ ? askCancel_() : true;
  if (hidden && result_ < 0) DrawLive();  // back, unless the update ended while the question was open
  if (style_ == OutputStyle::Json) Event({{"event", "answer"}, {"yes", yes}});
  return yes;
}

void TerminalView::StepNotStarted(ResultCode code) {
  ResultMessage message{};
  if (ResultMessageFor(code, &message)) PrintMessage(message.text, message.caption, Kind::Error);
}

void TerminalView::Ended(const UpdateEnd& end) {
  ending_ = end.ending;
  pauseRemainingMs_ = 0;
  result_ = end.result;
  barError_ = end.ending == UpdateEnding::Failed;  // the bar stays where the update stopped
  if (board_ != nullptr && board_->Live()) {       // the row shows the end; the tray lists the results
    DrawLive();
    return;
  }
  CloseLive();  // its last frame stays above the messages
  switch (end.ending) {
    case UpdateEnding::Completed:  // a quiet tray says it in its result lines only
      if (board_ == nullptr || style_ != OutputStyle::Quiet) {
        PrintMessage(IDS_UPDATE_COMPLETED, IDS_CAPTION_INFORMATION, Kind::Result);
      }
      break;
    case UpdateEnding::Failed:
      PrintMessage(IDS_UPDATE_FAILED, IDS_CAPTION_ERROR, Kind::Error);
      PrintUnitNow(end.unit);
      break;
    case UpdateEnding::Cancelled:
      PrintUnitNow(end.unit);
      break;
    case UpdateEnding::NotStarted:  // its message has been shown
      break;
  }
}

void TerminalView::PrintMessage(std::uint16_t textId, std::uint16_t captionId, Kind kind) {
  const std::string text = UiText(textId);
  if (text.empty()) return;
  const std::string caption = UiText(captionId);
  if (style_ == OutputStyle::Json) {
    Event({{"event", "message"},
           {"id", textId},
           {"caption", caption},
           {"text", text},
           {"question", kind == Kind::Question}});
    return;
  }
  const std::string line = caption + Colon(GetUiLanguage()) + OneLine(text);
  if (kind == Kind::Question && liveShown_ && board_ == nullptr) {
    // The answer is typed on a line of its own; the live line comes back after it.
    WipeLive();
    out_ << line << '\n' << std::flush;
    liveShown_ = false;
    liveColumns_ = 0;
    return;
  }
  PrintLine(line, kind == Kind::Error);
}

// What a failed or cancelled update left on the unit, and what to do.
void TerminalView::PrintUnitNow(UnitState unit) {
  if (style_ == OutputStyle::Json) return;  // the end's result event says it
  const UiLanguageId language = GetUiLanguage();
  std::string line =
      std::string(CliString(IDS_CLI_UNIT_NOW, language)) + Colon(language) + CliString(UnitStateText(unit), language);
  if (unit != UnitState::Untouched && unit != UnitState::Updated) {
    line += ' ';
    line += CliString(IDS_CLI_RUN_AGAIN, language);
  }
  PrintLine(line, true);
}

void TerminalView::ShowPause(std::uint64_t remainingMs) {
  pauseRemainingMs_ = remainingMs;
  const std::uint64_t second = (remainingMs + 999) / 1000;
  if (second == lastPauseSecond_) return;
  const bool pauseBegins = lastPauseSecond_ == NO_PAUSE;
  lastPauseSecond_ = remainingMs == 0 ? NO_PAUSE : second;
  if (remainingMs == 0) {
    Refresh();
    return;
  }
  switch (style_) {
    case OutputStyle::Json:
      Event({{"event", "pause"}, {"seconds", second}});
      break;
    case OutputStyle::PlainLines:  // one line per pause
      if (board_ != nullptr && board_->Live()) {
        DrawLive();
      } else if (pauseBegins) {
        PrintLine(std::string(CliString(IDS_CLI_NEXT_STEP_IN, GetUiLanguage())) + " " + std::to_string(second) + " s");
      }
      break;
    case OutputStyle::LiveLine:
      DrawLive();
      break;
    case OutputStyle::Quiet:
      break;
  }
}

void TerminalView::Refresh() {
  if (style_ == OutputStyle::LiveLine && liveShown_) DrawLive();
}

void TerminalView::JoinTray(TrayBoard& board, const std::string& unit) {
  board_ = &board;
  unit_ = unit;
  unitShown_ = UnitText(unit);
  row_ = board.AddRow(unitShown_);
}

void TerminalView::Finish(int exitStatus) {
  if (style_ == OutputStyle::Json) {
    Event({{"event", "result"}, {"code", result_}});
    Event({{"event", "exit"}, {"status", exitStatus}});
    return;
  }
  CloseLive();
  if (style_ == OutputStyle::Quiet) return;  // the status is the program's
  out_ << CliString(IDS_CLI_EXIT_STATUS, GetUiLanguage()) << Colon(GetUiLanguage()) << exitStatus << std::endl;
}

void TerminalView::PrintLine(const std::string& text, bool error) {
  if (board_ != nullptr) {
    board_->Line(unitShown_ + ": " + text);
    return;
  }
  std::ostream& to = error ? err_ : out_;
  if (liveShown_) {
    WipeLive();
    out_.flush();  // before a line on the other stream
  }
  to << text << '\n';
  to.flush();
  if (liveShown_) DrawLive();
}

void TerminalView::DrawLive() {
  if (style_ == OutputStyle::Quiet) return;
  liveShown_ = true;
  if (board_ != nullptr) {
    board_->SetRow(row_, LiveFigures());
    return;
  }
  const std::size_t usable = FrameColumns(columns_ ? columns_() : 0);
  const std::string line = FitLiveRow(LiveFigures(), usable, BAR_WIDTH);
  // Blanks wipe what the line before had beyond this one: every console understands them, not every console
  // understands the escape sequences that would erase the rest of the line. They never go past the width.
  const std::size_t columns = Utf8Columns(line);
  const std::size_t before = std::min(liveColumns_, usable);
  out_ << '\r' << line << std::string(before > columns ? before - columns : 0, ' ') << std::flush;
  liveColumns_ = columns;
}

// Back to the start of the live line, with the line blanked.
void TerminalView::WipeLive() {
  const std::size_t usable = FrameColumns(columns_ ? columns_() : 0);
  out_ << '\r' << std::string(std::min(liveColumns_, usable), ' ') << '\r';
}

// The live line's last frame stays; what follows goes below it.
void TerminalView::CloseLive() {
  if (!liveShown_ || board_ != nullptr) return;
  DrawLive();
  out_ << '\n' << std::flush;
  liveShown_ = false;
  liveColumns_ = 0;
}

LiveRow TerminalView::LiveFigures() {
  return LiveRow{board_ != nullptr ? unitShown_ : std::string(),
                 stageText_,
                 bar_ > 100 ? 100 : bar_,
                 LiveBytes(),
                 LiveTime(),
                 LiveLeft()};
}

// The bytes written of all the update writes, while it writes.
std::string TerminalView::LiveBytes() const {
  if (pauseRemainingMs_ > 0 || barError_ || (board_ != nullptr && result_ >= 0) || totalBytes_ == 0) return "";
  return std::to_string(bytesWritten_ / 1024) + "/" + std::to_string(totalBytes_ / 1024) + " KiB";
}

// The pause's countdown; or the time so far; in a tray, the outcome once the update ended.
std::string TerminalView::LiveTime() {
  if (pauseRemainingMs_ > 0) {
    return std::string(CliString(IDS_CLI_NEXT_STEP_IN, GetUiLanguage())) + " " +
           std::to_string((pauseRemainingMs_ + 999) / 1000) + " s";
  }
  if (board_ != nullptr && result_ >= 0) return CliString(OutcomeText(ending_, result_), GetUiLanguage());
  if (barError_) return "";
  return Duration(clock_.NowMs() - startMs_);
}

// The time left while the update runs, once its estimate is steady; rounded up, so that it reads 0:00 only at the
// end.
std::string TerminalView::LiveLeft() {
  if (result_ >= 0 || barError_ || !timeLeft_.Steady()) return "";
  return std::string(CliString(IDS_CLI_LEFT, GetUiLanguage())) + " " + Duration(timeLeft_.LeftMs(clock_.NowMs()) + 999);
}

void TerminalView::Event(nlohmann::json event) {
  if (board_ != nullptr) {
    event["unit"] = unit_;
    board_->Line(JsonText(event));
    return;
  }
  out_ << JsonText(event) << '\n' << std::flush;
}
