#pragma once
// The one output of a tray of units: every unit's view writes through it, a whole line at a time, from the
// thread that runs the updates or from the threads that check the units at the start. On a terminal that moves
// its cursor it keeps a block at the bottom, one row per unit and a summary row, redrawn in place and never
// wider than the terminal; the lines of the units' events scroll above the block. Elsewhere, and when quiet, it
// writes the lines only.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "cli/live_row.h"
#include "cli/output_style.h"

// A unit's row is its live line (cli/live_row.h), fitted to the terminal's width as the one unit's line is, with a
// narrower bar.
inline constexpr std::size_t TRAY_BAR_WIDTH = 20;

class TrayBoard {
 public:
  // `columns` tells the terminal's width now (0: not known, 80 is taken); `live`: the block is drawn.
  TrayBoard(std::ostream& out, bool live, std::function<std::size_t()> columns);
  // The block is drawn in the live style only; quiet draws no rows at all.
  TrayBoard(std::ostream& out, OutputStyle style, std::function<std::size_t()> columns);
  TrayBoard(const TrayBoard&) = delete;
  TrayBoard& operator=(const TrayBoard&) = delete;

  bool Live() const { return live_; }
  bool Quiet() const { return quiet_; }
  std::ostream& Stream() { return out_; }
  // A row for a unit; its index.
  std::size_t AddRow(const std::string& unit);
  void SetRow(std::size_t index, const LiveRow& row);
  void SetSummary(const std::string& text);
  // A whole line above the block.
  void Line(const std::string& text);
  // Draws the block again if a row changed since (rows change often; the block is drawn once per turn of the
  // loop), or in any case with `always` (the width may have changed).
  void Redraw(bool always = false);
  // The unit's row leaves the block; `line` takes its place above it.
  void RetireRow(std::size_t index, const std::string& line);
  // While a question is asked on the terminal the block is taken away; rows still change meanwhile.
  void Suspend();
  void Resume();
  // The block is drawn a last time and left on the screen; what follows is written below it.
  void Close();

 private:
  void EraseBlock();
  void DrawBlock();

  std::mutex mutex_;
  std::ostream& out_;
  bool live_;
  bool quiet_ = false;
  std::function<std::size_t()> columns_;
  std::vector<LiveRow> rows_;
  std::vector<bool> retired_;
  bool dirty_ = false;
  bool suspended_ = false;
  std::string summary_;
  std::size_t drawnRows_ = 0;  // the rows of the block on the screen now
};
