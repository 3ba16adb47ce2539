#include "cli/live_row.h"

#include <algorithm>

#include "cli/utf8.h"

namespace {
constexpr std::size_t BAR_MIN = 5;  // a bar narrower than this says nothing: it goes

std::string Bar(std::uint32_t percent, std::size_t width) {
  const std::size_t filled = width * (percent > 100 ? 100 : percent) / 100;
  std::string bar = "[";  // appended piece by piece: the chained + of temporaries warns falsely with some compilers
  bar.append(filled, '#');
  bar.append(width - filled, '.');
  bar += "] ";
  return bar;
}

// The stage text in at most `columns` columns: its words that fit whole (a piece of a word says nothing).
std::string CutStage(const std::string& stage, std::size_t columns) {
  const std::string cut = Utf8CutColumns(stage, columns);
  if (cut.size() == stage.size() || stage[cut.size()] == ' ') return cut;
  const std::size_t blank = cut.find_last_of(' ');
  const std::size_t end = blank == std::string::npos ? std::string::npos : cut.find_last_not_of(' ', blank);
  return end == std::string::npos ? std::string() : cut.substr(0, end + 1);
}

// A piece of the tail with the two blanks before it; nothing for an empty piece.
std::string Piece(const std::string& text) { return text.empty() ? std::string() : "  " + text; }
}  // namespace

std::string FitLiveRow(const LiveRow& row, std::size_t columns, std::size_t barWidth) {
  const std::string percent = std::to_string(row.percent > 100 ? 100 : row.percent) + "%";
  const std::string head = row.unit.empty() ? std::string() : row.unit + "  ";
  const std::string bytes = Piece(row.bytes);
  const std::string times = Piece(row.time) + Piece(row.left);
  const std::string tail = bytes + times;
  const std::size_t fixed = Utf8Columns(head) + Utf8Columns(percent);
  const std::size_t room = columns > fixed ? columns - fixed : 0;
  const std::size_t tailColumns = Utf8Columns(tail);
  // Everything, with the stage text shortened to what is left.
  if (room >= barWidth + 3 + tailColumns + 1) {
    const std::string stage = CutStage(row.stage, room - (barWidth + 3 + tailColumns) - 1);
    return head + (stage.empty() ? "" : stage + " ") + Bar(row.percent, barWidth) + percent + tail;
  }
  // No stage: a narrower bar, then none; then the pieces of the tail go one by one.
  if (room >= BAR_MIN + 3 + tailColumns) {
    return head + Bar(row.percent, std::min(barWidth, room - 3 - tailColumns)) + percent + tail;
  }
  for (const std::string& rest : {tail, times, Piece(row.left)}) {
    if (room >= Utf8Columns(rest)) return head + percent + rest;
  }
  return Utf8CutColumns(head + percent, columns);
}
