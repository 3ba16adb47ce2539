#pragma once
// The live line of an update, as the terminal shows it while the update runs: the one unit's line, or a unit's
// row in a tray's block. One fitting for both, so that neither is ever wider than the terminal.

#include <cstddef>
#include <cstdint>
#include <string>

struct LiveRow {
  std::string unit;           // a tray's unit (its port); empty on the one unit's line
  std::string stage;          // the stage text
  std::uint32_t percent = 0;  // the bar, 0..100, of the whole update
  std::string bytes;          // written of all the update writes, while it writes
  std::string time;           // the time so far, or the pause's countdown, or the outcome
  std::string left;           // the time left, once its estimate is steady
};

// The row in at most `columns` columns, its bar at most `barWidth` wide: "unit  stage [bar] 42%  bytes  time
// left". What does not fit goes in a fixed order: the stage text is shortened (to the words that fit) and then
// left out, then the bar narrows and goes, then the bytes, the time so far and the time left go; the unit and the
// percentage stay, cut only when nothing else is left.
std::string FitLiveRow(const LiveRow& row, std::size_t columns, std::size_t barWidth);

// The columns a frame may take on a terminal `columns` wide now (0: not known, 80 is taken): one less, since
// writing the last column makes some terminals wrap.
inline std::size_t FrameColumns(std::size_t columns) {
  if (columns == 0) columns = 80;
  return columns > 1 ? columns - 1 : 1;
}
