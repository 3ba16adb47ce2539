#include "cli/terminal_view.h"

#include <nlohmann/json.hpp>

#include <cstdio>

#include "cli/cli_texts.h"
#include "cli/utf8.h"
#include "ui/resource_ids.h"
#include "ui/update_controller.h"
#include "usb/usb_fw_loader.h"

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

// A box's text on one line: its line breaks become spaces.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

// The result code that a box shown by the controller stands for.
int ResultOfBox(std::uint16_t textId) {
  switch (textId) {
    case IDS_UPDATE_COMPLETED:
      return FWL_OK;
    case IDS_DEVICE_NOT_FOUND:
      return FWL_ERR_NOT_FOUND;
    case IDS_DEVICE_IN_APP_MODE:
      return FWL_ERR_APP_MODE;
    case IDS_UPDATE_RUNNING:
      return FWL_BUSY;
    case IDS_NEWER_FIRMWARE:
      return FWL_ERR_NEWER_FIRMWARE;
    case IDS_WRONG_DEVICE:
      return FWL_ERR_WRONG_DEVICE;
    default:
      return FWL_ERR_FAILED;
  }
}

}  // namespace

TerminalView::TerminalView(std::ostream& out, OutputStyle style, Clock& clock, std::function<bool()> ask)
    : out_(out), style_(style), clock_(clock), ask_(std::move(ask)) {}

void TerminalView::Attach(const UsbFwLoader* loader, std::uint32_t bootloaderSize, std::uint32_t applicationSize) {
  loader_ = loader;
  bootloaderSize_ = bootloaderSize;
  applicationSize_ = applicationSize;
}

WindowRef TerminalView::CreateProgressWindow(WindowRef, UpdateController& controller) {
  controller_ = &controller;
  open_ = true;
  startMs_ = clock_.NowMs();
  controller.OnOpened(window_);
  return open_ ? window_ : nullptr;
}

void TerminalView::ShowProgressWindow(WindowRef) {}

void TerminalView::DestroyProgressWindow(WindowRef window) {
  if (!open_ || window != window_) return;
  open_ = false;
  timers_.clear();  // pending timers die with the window
  if (controller_ != nullptr) controller_->OnClosed();
}

void TerminalView::AddStatusLine(WindowRef, std::uint16_t textId) {
  const std::string text = UiText(textId);
  if (text.empty()) return;
  stageText_ = text;
  if (style_ == OutputStyle::Json) {
    Event(nlohmann::json{{"event", "stage"}, {"id", textId}, {"text", text}}.dump());
    return;
  }
  PrintLine(text);
}

void TerminalView::SetBarPosition(WindowRef, std::uint32_t position) {
  if (position == bar_) return;
  bar_ = position;
  pauseRemainingMs_ = 0;
  switch (style_) {
    case OutputStyle::Json: {
      const std::uint32_t size = StepImageSize();
      const std::uint64_t written = loader_ != nullptr ? std::uint64_t{loader_->ProgramPercent()} * size / 100 : 0;
      Event(nlohmann::json{{"event", "progress"}, {"percent", position}, {"bytes", written}}.dump());
      break;
    }
    case OutputStyle::PlainLines:
      if (position / 10 > lastPlainTenth_) {
        lastPlainTenth_ = position / 10;
        PrintLine(std::to_string(lastPlainTenth_ * 10) + " %");
      }
      break;
    case OutputStyle::LiveLine:
      DrawLive();
      break;
  }
}

void TerminalView::SetBarError(WindowRef) { barError_ = true; }

int TerminalView::ShowMessage(WindowRef, std::uint16_t textId, std::uint16_t captionId, std::uint32_t style) {
  const std::string text = UiText(textId);
  if (text.empty()) return 0;  // as a box that could not be shown
  const std::string caption = UiText(captionId);
  const bool question = style == UI_QUESTION_STYLE;
  bool hiddenForQuestion = false;
  if (style_ == OutputStyle::Json) {
    Event(nlohmann::json{{"event", "message"}, {"id", textId}, {"caption", caption}, {"text", text},
                         {"question", question}}
              .dump());
  } else if (question && liveShown_) {
    // The answer is typed on a line of its own; the live line comes back after it.
    out_ << '\r' << std::string(liveColumns_, ' ') << '\r' << caption << ": " << OneLine(text) << '\n';
    liveShown_ = false;
    liveColumns_ = 0;
    hiddenForQuestion = true;
  } else {
    PrintLine(caption + ": " + OneLine(text));
  }
  if (!question) {
    if (result_ < 0 || textId == IDS_UPDATE_COMPLETED) result_ = ResultOfBox(textId);
    // A failed step ends with the code of its last notification.
    if (textId == IDS_UPDATE_FAILED && lastNotification_ != FWL_OK && lastNotification_ != FWL_PROGRESS) {
      result_ = lastNotification_;
    }
    return WIN_IDOK;
  }
  const bool yes = ask_ ? ask_() : true;
  if (hiddenForQuestion) DrawLive();
  if (style_ == OutputStyle::Json) Event(nlohmann::json{{"event", "answer"}, {"yes", yes}}.dump());
  if (yes && textId == IDS_CONFIRM_ABORT) result_ = FWL_ABORTED;
  return yes ? WIN_IDYES : WIN_IDNO;
}

void TerminalView::SetTimer(WindowRef, std::uintptr_t id, std::uint32_t ms) {
  if (!open_) return;
  timers_[id] = clock_.NowMs() + ms;
}

void TerminalView::KillTimer(WindowRef, std::uintptr_t id) { timers_.erase(id); }

bool TerminalView::NextTimer(std::uintptr_t* id, std::uint64_t* dueMs) const {
  if (timers_.empty()) return false;
  auto first = timers_.begin();
  for (auto it = timers_.begin(); it != timers_.end(); ++it) {
    if (it->second < first->second) first = it;
  }
  *id = first->first;
  *dueMs = first->second;
  return true;
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
      Event(nlohmann::json{{"event", "pause"}, {"seconds", second}}.dump());
      break;
    case OutputStyle::PlainLines:  // one line per pause
      if (pauseBegins) PrintLine(std::string(CliString(CliText::NextStepIn, GetUiLanguage())) + " " + std::to_string(second) + " s");
      break;
    case OutputStyle::LiveLine:
      DrawLive();
      break;
  }
}

void TerminalView::Refresh() {
  if (style_ == OutputStyle::LiveLine && liveShown_) DrawLive();
}

void TerminalView::NoteNotification(ResultCode code) {
  if (code != FWL_PROGRESS) lastNotification_ = code;
}

void TerminalView::Finish(int exitStatus) {
  if (style_ == OutputStyle::Json) {
    Event(nlohmann::json{{"event", "result"}, {"code", result_}}.dump());
    Event(nlohmann::json{{"event", "exit"}, {"status", exitStatus}}.dump());
    return;
  }
  if (liveShown_) {
    DrawLive();
    out_ << '\n';
    liveShown_ = false;
  }
  out_ << CliString(CliText::ExitStatus, GetUiLanguage()) << ": " << exitStatus << std::endl;
}

void TerminalView::PrintLine(const std::string& text) {
  if (liveShown_) out_ << '\r' << std::string(liveColumns_, ' ') << '\r';
  out_ << text << '\n';
  if (liveShown_) DrawLive();
  out_.flush();
}

void TerminalView::DrawLive() {
  liveShown_ = true;
  const std::uint32_t position = bar_ > 100 ? 100 : bar_;
  const int filled = static_cast<int>(position) * BAR_WIDTH / 100;
  std::string line = stageText_ + " [" + std::string(filled, '#') + std::string(BAR_WIDTH - filled, '.') +
                     "] " + std::to_string(position) + "%";
  if (pauseRemainingMs_ > 0) {
    line += "  " + std::string(CliString(CliText::NextStepIn, GetUiLanguage())) + " " +
            std::to_string((pauseRemainingMs_ + 999) / 1000) + " s";
  } else if (!barError_) {
    const std::uint32_t size = StepImageSize();
    if (loader_ != nullptr && size != 0) {
      line += "  " + std::to_string(std::uint64_t{loader_->ProgramPercent()} * size / 1024 / 100) + "/" +
              std::to_string(size / 1024) + " KiB";
    }
    const std::uint64_t elapsed = clock_.NowMs() - startMs_;
    line += "  " + Duration(elapsed);
    if (position > 0 && position < 100) {
      line += "  " + std::string(CliString(CliText::Left, GetUiLanguage())) + " " +
              Duration(elapsed * (100 - position) / position);
    }
  }
  // Blanks wipe what the line before had beyond this one: every console understands them, not every console
  // understands the escape sequences that would erase the rest of the line.
  const std::size_t columns = Utf8Columns(line);
  out_ << '\r' << line << std::string(liveColumns_ > columns ? liveColumns_ - columns : 0, ' ') << std::flush;
  liveColumns_ = columns;
}

void TerminalView::Event(const std::string& json) { out_ << json << '\n' << std::flush; }

std::uint32_t TerminalView::StepImageSize() const {
  if (controller_ == nullptr || !IsUpdateStep(controller_->step)) return 0;
  return UPDATE_STEP_TABLE[controller_->step].resourceId == IDR_APPLICATION_IMAGE ? applicationSize_
                                                                                  : bootloaderSize_;
}
