#include "cli/tray_board.h"

#include "cli/utf8.h"

namespace {
constexpr std::size_t DEFAULT_COLUMNS = 80;
constexpr std::size_t BAR_MAX = 20;
constexpr std::size_t BAR_MIN = 5;  // a bar narrower than this says nothing: it goes

// The start of `text` that takes at most `columns` columns, on a whole character.
std::string CutColumns(const std::string& text, std::size_t columns) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (seen == columns) return text.substr(0, i);
    ++seen;
  }
  return text;
}

std::string Bar(std::uint32_t percent, std::size_t width) {
  const std::size_t filled = width * (percent > 100 ? 100 : percent) / 100;
  std::string bar = "[";  // appended piece by piece: the chained + of temporaries warns falsely with some compilers
  bar.append(filled, '#');
  bar.append(width - filled, '.');
  bar += "] ";
  return bar;
}
}  // namespace

std::string FitTrayRow(const TrayRow& row, std::size_t columns) {
  const std::string percent = std::to_string(row.percent > 100 ? 100 : row.percent) + "%";
  const std::string head = row.unit + "  ";
  const std::string time = row.time.empty() ? "" : "  " + row.time;
  const std::string bytes = row.bytes.empty() ? "" : "  " + row.bytes;
  const std::size_t fixed = Utf8Columns(head) + Utf8Columns(percent);
  const std::size_t room = columns > fixed ? columns - fixed : 0;
  const std::size_t tail = Utf8Columns(bytes) + Utf8Columns(time);
  // Everything, with the stage text shortened to what is left.
  if (room >= BAR_MAX + 3 + tail + 1) {
    const std::string stage = CutColumns(row.stage, room - (BAR_MAX + 3 + tail) - 1);
    return head + (stage.empty() ? "" : stage + " ") + Bar(row.percent, BAR_MAX) + percent + bytes + time;
  }
  // No stage: a narrower bar, then none; then no bytes; then what fits.
  if (room >= BAR_MIN + 3 + tail) {
    return head + Bar(row.percent, std::min(BAR_MAX, room - 3 - tail)) + percent + bytes + time;
  }
  if (room >= tail) return head + percent + bytes + time;
  return CutColumns(head + percent + time, columns);
}

TrayBoard::TrayBoard(std::ostream& out, bool live, std::function<std::size_t()> columns)
    : out_(out), live_(live), columns_(std::move(columns)) {}

std::size_t TrayBoard::AddRow(const std::string& unit) {
  std::lock_guard lock(mutex_);
  rows_.push_back(TrayRow{unit, "", 0, "", ""});
  retired_.push_back(false);
  dirty_ = true;
  return rows_.size() - 1;
}

void TrayBoard::SetRow(std::size_t index, const TrayRow& row) {
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
  std::size_t columns = columns_ ? columns_() : 0;
  if (columns == 0) columns = DEFAULT_COLUMNS;
  const std::size_t usable = columns > 1 ? columns - 1 : 1;  // the last column would wrap on some terminals
  if (drawnRows_ > 0) out_ << "\x1b[" << drawnRows_ << "A";
  std::size_t drawn = 0;
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    if (retired_[i]) continue;
    out_ << '\r' << FitTrayRow(rows_[i], usable) << "\x1b[K\n";
    ++drawn;
  }
  out_ << '\r' << CutColumns(summary_, usable) << "\x1b[K\n";
  // Rows that the block had before and has no more.
  if (drawnRows_ > drawn + 1) out_ << "\x1b[J";
  drawnRows_ = drawn + 1;
  dirty_ = false;
  out_.flush();
}
