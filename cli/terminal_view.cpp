#include "cli/terminal_view.h"

#include <nlohmann/json.hpp>

#include <cstdio>

#include "cli/cli_texts.h"
#include "cli/utf8.h"
#include "ui/resource_ids.h"
#include "ui/result_message.h"

namespace {

constexpr int BAR_WIDTH = 30;
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

}  // namespace

TerminalView::TerminalView(std::ostream& out, OutputStyle style, Clock& clock, std::function<bool()> askStart,
                           std::function<bool()> askCancel)
    : out_(out),
      style_(style),
      clock_(clock),
      askStart_(std::move(askStart)),
      askCancel_(std::move(askCancel)),
      startMs_(clock.NowMs()) {}

void TerminalView::StageEntered(UpdateStage stage, UpdateStep step) {
  const std::uint16_t textId = StageLine(stage, step);
  const std::string text = textId != 0 ? UiText(textId) : std::string();
  if (text.empty()) return;
  stageText_ = text;
  if (style_ == OutputStyle::Json) {
    Event({{"event", "stage"}, {"id", textId}, {"text", text}});
    return;
  }
  if (board_ != nullptr && board_->Live()) {  // the unit's row shows it
    DrawLive();
    return;
  }
  PrintLine(text);
}

void TerminalView::StepStarted(const StepStart& start) {
  stepBytes_ = start.size;
  stepBytesWritten_ = 0;
  if (style_ == OutputStyle::Json) {
    Event({{"event", "step"},
           {"step", start.step},
           {"number", start.number},
           {"address", start.address},
           {"size", start.size}});
  }
}

void TerminalView::ProgressMoved(const UpdateProgress& progress) {
  stepBytesWritten_ = progress.stepBytesWritten;
  stepBytes_ = progress.stepBytes;
  if (progress.barPosition == bar_) return;
  bar_ = progress.barPosition;
  pauseRemainingMs_ = 0;
  switch (style_) {
    case OutputStyle::Json:
      Event({{"event", "progress"}, {"percent", bar_}, {"bytes", progress.stepBytesWritten}});
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
  }
}

void TerminalView::PauseStarted(UpdateStep, std::uint32_t ms) { ShowPause(ms); }

bool TerminalView::Ask(UpdateQuestion question) {
  if (question == UpdateQuestion::StartUpdate) return askStart_ ? askStart_() : true;
  if (board_ != nullptr) return askCancel_ ? askCancel_() : true;  // the tray asked, once for all units
  const bool hidden = style_ != OutputStyle::Json && liveShown_;  // the answer is typed below the live line
  PrintMessage(IDS_CONFIRM_ABORT, IDS_CAPTION_INFORMATION, true);
  const bool yes = askCancel_ ? askCancel_() : true;
  if (hidden && result_ < 0) DrawLive();  // back, unless the update ended while the question was open
  if (style_ == OutputStyle::Json) Event({{"event", "answer"}, {"yes", yes}});
  return yes;
}

void TerminalView::StepNotStarted(ResultCode code) {
  ResultMessage message{};
  if (ResultMessageFor(code, &message)) PrintMessage(message.text, message.caption, false);
}

void TerminalView::Ended(const UpdateEnd& end) {
  ending_ = end.ending;
  pauseRemainingMs_ = 0;
  result_ = end.result;
  if (board_ != nullptr && board_->Live()) {  // the row shows the end; the tray lists the results
    barError_ = end.ending == UpdateEnding::Failed;
    DrawLive();
    return;
  }
  switch (end.ending) {
    case UpdateEnding::Completed:
      PrintMessage(IDS_UPDATE_COMPLETED, IDS_CAPTION_INFORMATION, false);
      break;
    case UpdateEnding::Failed:  // the bar stays where the update stopped
      barError_ = true;
      PrintMessage(IDS_UPDATE_FAILED, IDS_CAPTION_ERROR, false);
      break;
    case UpdateEnding::NotStarted:  // its message has been shown
    case UpdateEnding::Cancelled:
      break;
  }
  pauseRemainingMs_ = 0;
  result_ = end.result;
}

void TerminalView::PrintMessage(std::uint16_t textId, std::uint16_t captionId, bool question) {
  const std::string text = UiText(textId);
  if (text.empty()) return;
  const std::string caption = UiText(captionId);
  if (style_ == OutputStyle::Json) {
    Event({{"event", "message"}, {"id", textId}, {"caption", caption}, {"text", text}, {"question", question}});
  } else if (question && liveShown_) {
    // The answer is typed on a line of its own; the live line comes back after it.
    out_ << '\r' << std::string(liveColumns_, ' ') << '\r' << caption << Colon(GetUiLanguage()) << OneLine(text) << '\n';
    liveShown_ = false;
    liveColumns_ = 0;
  } else {
    PrintLine(caption + Colon(GetUiLanguage()) + OneLine(text));
  }
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
        PrintLine(std::string(CliString(CliText::NextStepIn, GetUiLanguage())) + " " + std::to_string(second) + " s");
      }
      break;
    case OutputStyle::LiveLine:
      DrawLive();
      break;
  }
}

void TerminalView::Refresh() {
  if (style_ == OutputStyle::LiveLine && liveShown_) DrawLive();
}

void TerminalView::JoinTray(TrayBoard& board, const std::string& unit) {
  board_ = &board;
  unit_ = unit;
  row_ = board.AddRow(unit);
}

void TerminalView::Finish(int exitStatus) {
  if (style_ == OutputStyle::Json) {
    Event({{"event", "result"}, {"code", result_}});
    Event({{"event", "exit"}, {"status", exitStatus}});
    return;
  }
  if (liveShown_) {
    DrawLive();
    out_ << '\n';
    liveShown_ = false;
  }
  out_ << CliString(CliText::ExitStatus, GetUiLanguage()) << Colon(GetUiLanguage()) << exitStatus << std::endl;
}

void TerminalView::PrintLine(const std::string& text) {
  if (board_ != nullptr) {
    board_->Line(unit_ + ": " + text);
    return;
  }
  if (liveShown_) out_ << '\r' << std::string(liveColumns_, ' ') << '\r';
  out_ << text << '\n';
  if (liveShown_) DrawLive();
  out_.flush();
}

void TerminalView::DrawLive() {
  liveShown_ = true;
  const std::uint32_t position = bar_ > 100 ? 100 : bar_;
  if (board_ != nullptr) {
    board_->SetRow(row_, TrayRow{unit_, stageText_, position, LiveBytes(), LiveTime()});
    return;
  }
  const int filled = static_cast<int>(position) * BAR_WIDTH / 100;
  std::string line = stageText_ + " [" + std::string(filled, '#') + std::string(BAR_WIDTH - filled, '.') +
                     "] " + std::to_string(position) + "%";
  const std::string tail = LiveTail();
  if (!tail.empty()) line += "  " + tail;
  // Blanks wipe what the line before had beyond this one: every console understands them, not every console
  // understands the escape sequences that would erase the rest of the line.
  const std::size_t columns = Utf8Columns(line);
  out_ << '\r' << line << std::string(liveColumns_ > columns ? liveColumns_ - columns : 0, ' ') << std::flush;
  liveColumns_ = columns;
}

// The pause's countdown, or the bytes of the step, the time so far and the time left.
std::string TerminalView::LiveTail() {
  const std::string bytes = LiveBytes();
  const std::string time = LiveTime();
  return bytes.empty() ? time : bytes + "  " + time;
}

// The bytes of the step written so far, while the step writes.
std::string TerminalView::LiveBytes() const {
  if (pauseRemainingMs_ > 0 || barError_ || (board_ != nullptr && result_ >= 0) || stepBytes_ == 0) return "";
  return std::to_string(stepBytesWritten_ / 1024) + "/" + std::to_string(stepBytes_ / 1024) + " KiB";
}

// The pause's countdown; or the time so far and the time left; in a tray, the outcome once the update ended.
std::string TerminalView::LiveTime() {
  const std::uint32_t position = bar_ > 100 ? 100 : bar_;
  if (pauseRemainingMs_ > 0) {
    return std::string(CliString(CliText::NextStepIn, GetUiLanguage())) + " " +
           std::to_string((pauseRemainingMs_ + 999) / 1000) + " s";
  }
  if (board_ != nullptr && result_ >= 0) return CliString(OutcomeText(ending_, result_), GetUiLanguage());
  if (barError_) return "";
  const std::uint64_t elapsed = clock_.NowMs() - startMs_;
  std::string time = Duration(elapsed);
  if (position > 0 && position < 100) {
    time += "  " + std::string(CliString(CliText::Left, GetUiLanguage())) + " " +
            Duration(elapsed * (100 - position) / position);
  }
  return time;
}

void TerminalView::Event(nlohmann::json event) {
  if (board_ != nullptr) {
    event["unit"] = unit_;
    board_->Line(event.dump());
    return;
  }
  out_ << event.dump() << '\n' << std::flush;
}
