// tray_campaign: trays of emulated units updated at once by `helmet-update update --all --yes --json`, in-process
// on a virtual clock, with units unplugged, cut, coming back late or on another port, and swapped between ports
// in the pauses; prints one table. Exit status 0 when no unit was written by two sessions, none was bricked, no
// session reported done falsely and a second run completed every unit that is not refused by design.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/tray_campaign.h"

namespace {
void Usage(std::FILE* out) {
  std::fprintf(out,
               "usage: tray_campaign [--trays N] [--seed S] [--jobs N] [--quick] [--control] [--verbose]\n"
               "  --trays N     trays to run (120); tray i is made from seed + i\n"
               "  --seed S      the seed of the first tray (default 1); a problem names its tray's seed, and\n"
               "                --seed S --trays 1 runs that tray again (the same units, faults and acts; the\n"
               "                threads of the updates may still interleave otherwise)\n"
               "  --quick       3 trays (for the sanitizer builds and every test run)\n"
               "  --control     units that come back at once, and nothing but swaps, each unit plugged in at the\n"
               "                other's port before the tray can look: the units must be written by two sessions\n"
               "                (exit status 0 when they were), or the campaign would not see it\n"
               "  --verbose     on standard error one line per tray: its units, its events and what was done\n"
               "  --jobs N      threads (2)\n"
               "each tray has 2 to 8 units (plain or harder, some refused by design); the events:\n%s",
               CampaignKindHelp().c_str());
}

bool Number(const char* text, unsigned long long low, unsigned long long high, unsigned long long* value) {
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0' || text[0] == '-' || parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}
}  // namespace

int main(int argc, char** argv) {
  CampaignOptions options;
  bool quick = false;
  bool traysGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    unsigned long long value = 0;
    if (arg == "--quick") {
      quick = true;
    } else if (arg == "--control") {
      options.control = true;
    } else if (arg == "--verbose") {
      options.verbose = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    } else if ((arg == "--trays" || arg == "--jobs") && i + 1 < argc) {
      if (!Number(argv[++i], 1, arg == "--jobs" ? 64 : 10000000, &value)) {
        std::fprintf(stderr, "tray_campaign: %s wants a number from 1, not \"%s\"\n", arg.c_str(), argv[i]);
        return 2;
      }
      if (arg == "--jobs") {
        options.jobs = static_cast<unsigned>(value);
      } else {
        options.trays = static_cast<unsigned>(value);
        traysGiven = true;
      }
    } else if (arg == "--seed" && i + 1 < argc) {
      if (!Number(argv[++i], 0, ~0ull, &value)) {
        std::fprintf(stderr, "tray_campaign: --seed wants a number, not \"%s\"\n", argv[i]);
        return 2;
      }
      options.seed = value;
    } else if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "tray_campaign: unknown argument \"%s\"\n", arg.c_str());
      Usage(stderr);
      return 2;
    }
  }
  if (quick && !traysGiven) options.trays = 3;
  // No trace is started: the loaders' lines of thousands of updates are of no use here.

  const auto began = std::chrono::steady_clock::now();
  std::uint64_t lastReport = 0;
  options.progress = [&](std::uint64_t done, std::uint64_t total) {
    if (done - lastReport < total / 20 && done != total) return;
    lastReport = done;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::fprintf(stderr, "tray_campaign: %llu of %llu trays, %.0f s\n", static_cast<unsigned long long>(done),
                 static_cast<unsigned long long>(total), seconds);
  };
  const CampaignResult result = RunTrayCampaign(options);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf("%s%u trays from seed %llu, %u jobs, %.0f s\n", options.control ? "control: " : "", options.trays,
              static_cast<unsigned long long>(options.seed), options.jobs, seconds);
  std::fputs(FormatCampaign(result).c_str(), stdout);
  if (options.control) {
    if (result.total.wrongUnitRequests == 0) {
      std::printf("the control never wrote to a wrong unit: the campaign would not see it\n");
    }
    return result.total.wrongUnitRequests > 0 ? 0 : 1;
  }
  return result.problems.empty() ? 0 : 1;
}
