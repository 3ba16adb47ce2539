#pragma once
// What the terminal updater shows of an update session: one live line with the stage, a bar, the bytes written
// and the time left on a terminal (status lines and messages as lines of their own), plain lines when the output
// is no terminal, one JSON object per event, or quietly only the errors and the result. Questions are asked
// through the answer functions it is given. The errors (refusals, failures, what a cancelled or failed update
// left on the unit) go to the error stream; everything else, and all of the JSON, to the output.

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

#include "app/clock.h"
#include "cli/output_style.h"
#include "cli/tray_board.h"
#include "ui/update_view.h"

// How long an update still takes, from what it has measured of itself. The two passes of a step are measured
// apart, pauses left out: programming (its erases included) in ms per byte written, verification in ms per byte
// verified. Each rate is taken over a window: the pass running, once it has measured STEADY_BYTES (a unit may write
// the application at another pace than the short bootloader); until then the passes finished so far, each counted
// whole, from its start to its end. A programming pass reports, after each chunk, the bytes of the chunks before
// it: so a running one is measured from its first report (no bytes after one chunk's time) to the one before its
// latest (the latest may follow a short last chunk, whose bytes it does not credit yet). The time left is the bytes
// still to program and to verify at those rates, plus the pause running and a STEP_PAUSE_MS for each step to come.
//
// Steady: the estimate is shown once both rates rest on finished passes of at least STEADY_BYTES each (in the
// update's plan: at the end of its first step, before the first pause); from then on it stays.
class TimeLeft {
 public:
  static constexpr std::uint64_t STEADY_BYTES = 128 * 1024;

  // A step starts; `stepsAfter` steps follow it, each after a pause.
  void StepStarted(std::uint64_t nowMs, int stepsAfter);
  void Progress(std::uint64_t nowMs, const UpdateProgress& progress);
  // The step before has ended; the next one starts in `pauseMs`, `stepsAfter` steps follow that one.
  void PauseStarted(std::uint64_t nowMs, std::uint64_t pauseMs, int stepsAfter);
  bool Steady() const { return steady_; }
  // The estimate; meaningful once steady.
  std::uint64_t LeftMs(std::uint64_t nowMs) const;

 private:
  enum class Pass { None, Programming, Verifying };
  struct Measured {
    std::uint64_t ms = 0;
    std::uint64_t bytes = 0;
  };
  static double MsPerByte(Measured done, Measured running);
  void EndPass(std::uint64_t nowMs);

  Pass pass_ = Pass::None;
  Measured programmed_;  // finished passes
  Measured verified_;
  std::uint64_t passStartMs_ = 0;
  int reports_ = 0;          // of the running pass
  Measured firstReport_;     // the running pass's first report: its time and the step's bytes then
  Measured measuredReport_;  // the one before its latest, up to which a programming pass is measured
  Measured latestReport_;
  std::uint64_t stepBytes_ = 0;
  std::uint64_t written_ = 0;        // of the whole update
  std::uint64_t verifiedBytes_ = 0;  // of the whole update
  std::uint64_t totalBytes_ = 0;
  int stepsAfter_ = 0;
  std::uint64_t pauseDueMs_ = 0;  // 0: no pause runs
  bool steady_ = false;
};

class TerminalView final : public UpdateView {
 public:
  // `askStart` answers the question before the update (null: yes, nothing asked); `askCancel` the question
  // whether to stop it (true: yes). The errors go to `err`; `columns` tells the terminal's width at each frame
  // (null or 0: not known, 80 is taken).
  TerminalView(std::ostream& out, std::ostream& err, OutputStyle style, Clock& clock, std::function<bool()> askStart,
               std::function<bool()> askCancel, std::function<std::size_t()> columns);
  // Errors on `out` too, 80 columns: a view that joins a tray, whose board has the one output and the width.
  TerminalView(std::ostream& out, OutputStyle style, Clock& clock, std::function<bool()> askStart,
               std::function<bool()> askCancel);

  void StageEntered(UpdateStage stage, UpdateStep step) override;
  void StepStarted(const StepStart& start) override;
  void ProgressMoved(const UpdateProgress& progress) override;
  void PauseStarted(UpdateStep next, std::uint32_t ms) override;
  bool Ask(UpdateQuestion question) override;
  void StepNotStarted(ResultCode code) override;
  void Ended(const UpdateEnd& end) override;

  // The countdown of the pause while it runs; 0 when it is over.
  void ShowPause(std::uint64_t remainingMs);
  // Redraws the live line (elapsed time moves on while a block is written; the width may have changed).
  void Refresh();
  // Finishes the output: the live line is ended, the exit status reported.
  void Finish(int exitStatus);

  // This view shows one unit of a tray: everything it writes goes through `board`, tagged with `unit` (a prefix
  // on plain lines, a field of every JSON object, the unit's row of the live block). The tray asks its questions
  // once for all units, so the view asks none of its own, and the tray reports the units' results.
  void JoinTray(TrayBoard& board, const std::string& unit);

  // The outcome so far: 0 after the update completed; the result code of a refusal, a failure or a cancel;
  // -1 while the update has not ended.
  int Result() const { return result_; }
  UpdateEnding Ending() const { return ending_; }
  std::size_t Row() const { return row_; }

 private:
  enum class Kind { Question, Result, Error };  // where a message goes

  void PrintLine(const std::string& text, bool error = false);
  void PrintMessage(std::uint16_t textId, std::uint16_t captionId, Kind kind);
  void PrintUnitNow(UnitState unit);
  void DrawLive();
  void WipeLive();
  void CloseLive();
  void Event(nlohmann::json event);
  LiveRow LiveFigures();
  std::string LiveBytes() const;
  std::string LiveTime();
  std::string LiveLeft();

  std::ostream& out_;
  std::ostream& err_;
  OutputStyle style_;
  Clock& clock_;
  std::function<bool()> askStart_;
  std::function<bool()> askCancel_;
  std::function<std::size_t()> columns_;
  std::string stageText_;
  std::uint32_t bar_ = 0;
  std::uint64_t bytesWritten_ = 0;  // of the whole update
  std::uint64_t totalBytes_ = 0;
  TimeLeft timeLeft_;
  std::uint32_t lastPlainTenth_ = 0;
  bool barError_ = false;
  bool liveShown_ = false;
  std::size_t liveColumns_ = 0;  // the columns the live line took when last drawn
  std::uint64_t startMs_ = 0;
  std::uint64_t pauseRemainingMs_ = 0;
  std::uint64_t lastPauseSecond_ = ~std::uint64_t{0};  // the countdown shown; all ones: no pause
  int result_ = -1;
  UpdateEnding ending_ = UpdateEnding::NotStarted;
  TrayBoard* board_ = nullptr;  // a unit of a tray: its board, its port and its row
  std::string unit_;
  std::string unitShown_;  // unit_ as text lines and rows show it (escaped)
  std::size_t row_ = 0;
};
