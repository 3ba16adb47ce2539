#include "cli/tray_board.h"

#include "cli/utf8.h"

TrayBoard::TrayBoard(std::ostream& out, bool live, std::function<std::size_t()> columns)
    : out_(out), live_(live), columns_(std::move(columns)) {}

TrayBoard::TrayBoard(std::ostream& out, OutputStyle style, std::function<std::size_t()> columns)
    : out_(out),
      live_(style == OutputStyle::LiveLine),
      quiet_(style == OutputStyle::Quiet),
      columns_(std::move(columns)) {}

std::size_t TrayBoard::AddRow(const std::string& unit) {
  std::lock_guard lock(mutex_);
  rows_.push_back(LiveRow{unit, "", 0, "", "", ""});
  retired_.push_back(false);
  dirty_ = true;
  return rows_.size() - 1;
}

void TrayBoard::SetRow(std::size_t index, const LiveRow& row) {
  std::lock_guard lock(mutex_);
  if (index >= rows_.size()) return;
  rows_[index] = row;
  dirty_ = true;
}

void TrayBoard::SetSummary(const std::string& text) {
  std::lock_guard lock(mutex_);
  if (text == summary_) return;
  summary_ = text;
  dirty_ = true;
}

void TrayBoard::Line(const std::string& text) {
  std::lock_guard lock(mutex_);
  EraseBlock();
  out_ << text << '\n';
  if (live_ && !suspended_) DrawBlock();
  out_.flush();
}

void TrayBoard::Redraw(bool always) {
  std::lock_guard lock(mutex_);
  if (live_ && !suspended_ && (dirty_ || always)) DrawBlock();
}

void TrayBoard::RetireRow(std::size_t index, const std::string& line) {
  std::lock_guard lock(mutex_);
  if (index >= rows_.size() || retired_[index]) return;
  retired_[index] = true;
  EraseBlock();
  out_ << line << '\n';
  if (live_ && !suspended_) DrawBlock();
  out_.flush();
}

void TrayBoard::Suspend() {
  std::lock_guard lock(mutex_);
  EraseBlock();
  suspended_ = true;
  out_.flush();
}

void TrayBoard::Resume() {
  std::lock_guard lock(mutex_);
  suspended_ = false;
  if (live_) DrawBlock();
}

void TrayBoard::Close() {
  std::lock_guard lock(mutex_);
  if (live_ && drawnRows_ > 0) DrawBlock();
  drawnRows_ = 0;  // stays where it is: the next lines go below it
  live_ = false;
  out_.flush();
}

// Back to the block's first row; the rest of the screen is cleared.
void TrayBoard::EraseBlock() {
  if (drawnRows_ == 0) return;
  out_ << "\x1b[" << drawnRows_ << "A\r\x1b[J";
  drawnRows_ = 0;
}

void TrayBoard::DrawBlock() {
  const std::size_t usable = FrameColumns(columns_ ? columns_() : 0);
  if (drawnRows_ > 0) out_ << "\x1b[" << drawnRows_ << "A";
  std::size_t drawn = 0;
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    if (retired_[i]) continue;
    out_ << '\r' << FitLiveRow(rows_[i], usable, TRAY_BAR_WIDTH) << "\x1b[K\n";
    ++drawn;
  }
  out_ << '\r' << Utf8CutColumns(summary_, usable) << "\x1b[K\n";
  // Rows that the block had before and has no more.
  if (drawnRows_ > drawn + 1) out_ << "\x1b[J";
  drawnRows_ = drawn + 1;
  dirty_ = false;
  out_.flush();
}
