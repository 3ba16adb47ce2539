#pragma once
// What the terminal updater shows of an update session: one live line with the stage, a bar, the bytes written
// and the time left on a terminal (status lines and messages as lines of their own), plain lines when the output
// is no terminal, or one JSON object per event. Questions are asked through the answer functions it is given.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "app/clock.h"
#include "cli/tray_board.h"
#include "ui/update_view.h"

enum class OutputStyle { LiveLine, PlainLines, Json };

class TerminalView final : public UpdateView {
 public:
  // `askStart` answers the question before the update (null: yes, nothing asked); `askCancel` the question
  // whether to stop it (true: yes).
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
  // Redraws the live line (elapsed time moves on while a block is written).
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
  void PrintLine(const std::string& text);
  void PrintMessage(std::uint16_t textId, std::uint16_t captionId, bool question);
  void DrawLive();
  void Event(nlohmann::json event);
  std::string LiveTail();
  std::string LiveBytes() const;
  std::string LiveTime();

  std::ostream& out_;
  OutputStyle style_;
  Clock& clock_;
  std::function<bool()> askStart_;
  std::function<bool()> askCancel_;
  std::string stageText_;
  std::uint32_t bar_ = 0;
  std::uint64_t stepBytesWritten_ = 0;
  std::uint64_t stepBytes_ = 0;
  std::uint32_t lastPlainTenth_ = 0;
  bool barError_ = false;
  bool liveShown_ = false;
  std::size_t liveColumns_ = 0;  // the columns the live line took when last drawn
  bool started_ = false;
  std::uint64_t startMs_ = 0;
  std::uint64_t pauseRemainingMs_ = 0;
  std::uint64_t lastPauseSecond_ = ~std::uint64_t{0};  // the countdown shown; all ones: no pause
  int result_ = -1;
  UpdateEnding ending_ = UpdateEnding::NotStarted;
  TrayBoard* board_ = nullptr;  // a unit of a tray: its board, its port and its row
  std::string unit_;
  std::size_t row_ = 0;
};
