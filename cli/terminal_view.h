#pragma once
// The progress window of the terminal updater: what the controller shows goes to the terminal (one live line
// with the stage, a bar, the bytes written and the time left; status lines and boxes as lines of their own),
// to plain lines when the output is no terminal, or to one JSON object per event. Questions are asked on the
// terminal through the runner's answer function. Armed timers are only recorded: the runner fires them.

#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <string>

#include "app/clock.h"
#include "ui/progress_view.h"
#include "usb/result_code.h"

class UsbFwLoader;

enum class OutputStyle { LiveLine, PlainLines, Json };

class TerminalView final : public ProgressView {
 public:
  // `ask` answers a yes/no question shown on the terminal (true: yes).
  TerminalView(std::ostream& out, OutputStyle style, Clock& clock, std::function<bool()> ask);

  // The loader whose step is shown, and the sizes of the two images (for the bytes written).
  void Attach(const UsbFwLoader* loader, std::uint32_t bootloaderSize, std::uint32_t applicationSize);

  WindowRef CreateProgressWindow(WindowRef parent, UpdateController& controller) override;
  void ShowProgressWindow(WindowRef window) override;
  void DestroyProgressWindow(WindowRef window) override;
  void AddStatusLine(WindowRef window, std::uint16_t textId) override;
  void SetBarPosition(WindowRef window, std::uint32_t position) override;
  void SetBarError(WindowRef window) override;
  int ShowMessage(WindowRef owner, std::uint16_t textId, std::uint16_t captionId, std::uint32_t style) override;
  void SetTimer(WindowRef window, std::uintptr_t id, std::uint32_t ms) override;
  void KillTimer(WindowRef window, std::uintptr_t id) override;
  void EnableParent(WindowRef, bool) override {}
  void ForegroundParent(WindowRef) override {}

  // The window that exists now, or null.
  WindowRef Window() const { return open_ ? window_ : nullptr; }
  bool IsOpen() const { return open_; }
  // The armed timer due first: its id and the clock's time when it is due; false when none is armed.
  bool NextTimer(std::uintptr_t* id, std::uint64_t* dueMs) const;
  // The countdown of the pause while a timer is armed.
  void ShowPause(std::uint64_t remainingMs);
  // Redraws the live line (elapsed time moves on while a block is written).
  void Refresh();
  // The code of the notification that ends a step, handed over before the controller handles it.
  void NoteNotification(ResultCode code);
  // Finishes the output: the live line is ended, the exit status reported.
  void Finish(int exitStatus);

  // The outcome so far: 0 after the update completed; the result code of a refusal, a failure or a cancel;
  // -1 while nothing decided it.
  int Result() const { return result_; }

 private:
  void PrintLine(const std::string& text);
  void DrawLive();
  void Event(const std::string& json);
  std::uint32_t StepImageSize() const;

  std::ostream& out_;
  OutputStyle style_;
  Clock& clock_;
  std::function<bool()> ask_;
  UpdateController* controller_ = nullptr;
  const UsbFwLoader* loader_ = nullptr;
  std::uint32_t bootloaderSize_ = 0;
  std::uint32_t applicationSize_ = 0;
  WindowRef window_ = reinterpret_cast<WindowRef>(0x100);
  bool open_ = false;
  std::map<std::uintptr_t, std::uint64_t> timers_;  // armed: id -> due time
  std::string stageText_;
  std::uint32_t bar_ = 0;
  std::uint32_t lastPlainTenth_ = 0;
  bool barError_ = false;
  bool liveShown_ = false;
  std::size_t liveColumns_ = 0;  // the columns the live line took when last drawn
  std::uint64_t startMs_ = 0;
  std::uint64_t pauseRemainingMs_ = 0;
  std::uint64_t lastPauseSecond_ = ~std::uint64_t{0};  // the countdown shown; all ones: no pause
  ResultCode lastNotification_ = FWL_OK;
  int result_ = -1;
};
