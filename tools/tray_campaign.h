#pragma once
// The tray campaign: trays of 2 to 8 emulated units (plain and harder, some refused by design) updated at once
// by the terminal updater's `update --all --yes --json`, in-process on a virtual clock, while units are
// unplugged, lose their power, come back late or on another port, and are swapped between ports in the pauses
// between steps. Each tray is made from its own seed. After each tray it checks that every unit was written by
// one update session only (the session of the port the unit sat on when the tray started), that every unit
// whose session reported done holds the images, that no unit is bricked, and that a second `update --all
// --yes`, with every unit back at its port, completes every unit that is not refused by design.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct CampaignOptions {
  std::uint64_t seed = 1;  // tray i is made from seed + i
  unsigned trays = 120;
  unsigned jobs = 2;
  // The control: units that come back at once, and nothing but swaps, each unit plugged in at the other's port
  // before the tray can look at the bus. The tray cannot see such a swap: units must be written by two sessions,
  // or the campaign would not see it when they are.
  bool control = false;
  std::function<void(std::uint64_t done, std::uint64_t total)> progress;  // now and then, from one thread
  std::function<void(const std::string& line)> verbose;                   // one line per tray, from any thread
};

// One line of the table: a kind of event, and the trays in which it happened.
struct CampaignRow {
  std::string kind;
  std::uint64_t trays = 0;
  std::uint64_t events = 0;
  std::uint64_t wrongUnitRequests = 0;  // requests a unit received from the session of another port
  std::uint64_t bricked = 0;
  std::uint64_t falseSuccesses = 0;  // "done" reported for a unit that does not hold the images
  std::uint64_t notRecovered = 0;    // not bricked, and the second run did not complete it
};

// A tray with a problem: its seed reproduces it (`tray_campaign --seed S --trays 1`).
struct CampaignProblem {
  std::uint64_t seed = 0;
  std::string text;
};

struct CampaignResult {
  bool control = false;
  std::vector<CampaignRow> rows;  // one per kind of event
  CampaignRow total;              // every tray once
  std::uint64_t units = 0;
  // How the first runs ended, over all units: done, failed, of those "no unit" (status 3: the unit left its
  // port, or was not back), and refused.
  std::uint64_t firstDone = 0, firstFailed = 0, firstNoUnit = 0, firstRefused = 0;
  std::uint64_t violations = 0;           // request and bus violations the emulated units saw (not counted as problems)
  std::vector<CampaignProblem> problems;  // by seed
};

CampaignResult RunTrayCampaign(const CampaignOptions& options);

// The table with its total line, the first runs' ends, and every problem with its seed.
std::string FormatCampaign(const CampaignResult& result);

// The kinds of event, one line each, for the program's help.
std::string CampaignKindHelp();
