#pragma once
// The cut sweep: a whole update of the harder emulated unit is cut at one point (an exchange, a place inside the
// unit's own work, a moment of the host's pauses), the unit is brought back, and "Update!" is pressed again as a
// user would. Every point must leave a unit that is not bricked, whose next update completes with the flash equal
// to the images and every flag set; no update may report success while the flash or the flags are not right.
// Double faults cut the recovery update once more, on a grid.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Which exchanges of the update are cut.
enum class SweepSelection {
  Every,   // every exchange (the full sweep)
  Subset,  // the device query and probes, around every erase, start and finish, and every stride-th exchange
  Sparse,  // every stride-th exchange, every (stride / 20)-th in the bootloader steps
};

struct SweepOptions {
  SweepSelection selection = SweepSelection::Subset;
  unsigned stride = 1500;
  bool control = false;  // the control unit (flags trusted over damaged content), which must brick
  unsigned jobs = 2;
  bool doubles = true;  // the grid of double faults
  bool pauses = true;   // cuts in the pauses
  // Only every `parts`-th point of the choice, from point `part` (0-based): the parts of one choice, run one by
  // one or on several machines, add up to the whole of it.
  unsigned part = 0;
  unsigned parts = 1;
  std::function<void(std::uint64_t done, std::uint64_t total)> progress;  // now and then, from one thread
  std::function<void(const std::string& line)> verbose;  // every point with a problem or a retry, from any thread
};

// One line of the table: a plan and a kind of cut.
struct SweepRow {
  std::string plan;  // "boot2 flag 1" or "boot2 flag 0"
  std::string kind;
  std::uint64_t points = 0;
  std::uint64_t bricked = 0;
  std::uint64_t recovered = 0;
  std::uint64_t notRecovered = 0;  // not bricked, but the next updates did not complete
  std::uint64_t falseSuccesses = 0;
  std::uint64_t cutCompleted = 0;  // the cut update itself completed, rightly (a cut it did not notice)
  std::uint64_t retried = 0;       // the first "Update!" after the cut was refused; the user had to try again
  std::string firstProblem;        // the first point that bricked, did not recover or succeeded falsely
  std::string firstRetry;          // the first point whose next "Update!" was refused, and why
};

std::vector<SweepRow> RunCutSweep(const SweepOptions& options);

// One table for the rows, with a total line.
std::string FormatSweepTable(const std::vector<SweepRow>& rows);

// The kinds of cut, one line each, for the program's help.
std::string SweepKindHelp();
