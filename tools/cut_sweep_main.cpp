// cut_sweep: cuts whole updates of the harder emulated unit at every point tried, brings the unit back, presses
// "Update!" again, and prints one table. Exit status 0 when no point bricked the unit, failed to recover or saw a
// false success (with --control: when the control unit did brick, and no false success appeared).

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/trace.h"
#include "tools/cut_sweep.h"

namespace {
void Usage(std::FILE* out) {
  std::fprintf(out,
               "usage: cut_sweep [--full] [--control] [--jobs N] [--stride N] [--quick] [--no-doubles] "
               "[--no-pauses] [--part K/N] [--verbose]\n"
               "  --full        cut at every exchange of a whole update, with larger grids of double faults and\n"
               "                pause cuts\n"
               "  (default)     the device query and probes, around every erase, start and finish, and every\n"
               "                stride-th exchange (stride 1500)\n"
               "  --control     the control unit, whose flag is trusted over damaged content: it must brick;\n"
               "                every stride-th exchange (2000), every (stride/20)-th in the bootloader steps\n"
               "  --quick       a few points: like the control's choice with stride 30000, no double faults,\n"
               "                no pause cuts (for the sanitizer builds)\n"
               "  --stride N    the stride of the choice\n"
               "  --no-doubles, --no-pauses   leave out the double faults, the pause cuts\n"
               "  --part K/N    only every N-th point of the choice, from the K-th: parts 1/N to N/N add up to it\n"
               "  --verbose     on standard error every point with a problem, a refused \"Update!\" or a cut\n"
               "                update that completed\n"
               "  --jobs N      threads (2)\n"
               "the cuts:\n%s",
               SweepKindHelp().c_str());
}

bool Number(const char* text, unsigned* value) {
  char* end = nullptr;
  const unsigned long parsed = std::strtoul(text, &end, 10);
  if (end == text || *end != '\0' || parsed == 0 || parsed > 100000) return false;
  *value = static_cast<unsigned>(parsed);
  return true;
}
}  // namespace

int main(int argc, char** argv) {
  SweepOptions options;
  unsigned stride = 0;
  bool quick = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--full") {
      options.selection = SweepSelection::Every;
    } else if (arg == "--control") {
      options.control = true;
    } else if (arg == "--quick") {
      quick = true;
    } else if (arg == "--no-doubles") {
      options.doubles = false;
    } else if (arg == "--no-pauses") {
      options.pauses = false;
    } else if (arg == "--verbose") {
      options.verbose = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    } else if ((arg == "--jobs" || arg == "--stride") && i + 1 < argc) {
      if (!Number(argv[++i], arg == "--jobs" ? &options.jobs : &stride)) {
        std::fprintf(stderr, "cut_sweep: %s wants a number from 1 to 100000, not \"%s\"\n", arg.c_str(), argv[i]);
        return 2;
      }
    } else if (arg == "--part" && i + 1 < argc) {
      unsigned part = 0;
      unsigned parts = 0;
      char end = '\0';
      if (std::sscanf(argv[++i], "%u/%u%c", &part, &parts, &end) != 2 || part < 1 || part > parts || parts > 1000) {
        std::fprintf(stderr, "cut_sweep: --part wants K/N with 1 <= K <= N <= 1000, not \"%s\"\n", argv[i]);
        return 2;
      }
      options.part = part - 1;
      options.parts = parts;
    } else if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "cut_sweep: unknown argument \"%s\"\n", arg.c_str());
      Usage(stderr);
      return 2;
    }
  }
  // The control only has to show its bricks, and the quick run has to be short: a sparse choice for both.
  if (options.selection != SweepSelection::Every && (options.control || quick)) {
    options.selection = SweepSelection::Sparse;
  }
  if (quick) {
    options.doubles = false;
    options.pauses = false;
  }
  options.stride = stride != 0 ? stride : quick ? 30000 : options.control ? 2000 : 1500;
  // No trace is started: the loader's lines of thousands of updates are of no use here.

  const auto began = std::chrono::steady_clock::now();
  std::uint64_t lastReport = 0;
  options.progress = [&](std::uint64_t done, std::uint64_t total) {
    if (done - lastReport < total / 50 && done != total) return;
    lastReport = done;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::fprintf(stderr, "cut_sweep: %llu of %llu points, %.0f s\n", static_cast<unsigned long long>(done),
                 static_cast<unsigned long long>(total), seconds);
  };
  const std::vector<SweepRow> rows = RunCutSweep(options);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

  const char* selection = options.selection == SweepSelection::Every    ? "every exchange"
                          : options.selection == SweepSelection::Subset ? "subset"
                                                                        : "sparse";
  std::string choice = selection;
  if (options.selection != SweepSelection::Every) choice += " (stride " + std::to_string(options.stride) + ")";
  if (options.parts > 1)
    choice += ", part " + std::to_string(options.part + 1) + " of " + std::to_string(options.parts);
  std::printf("%s unit, %s, %u jobs, %.0f s\n", options.control ? "control" : "harder", choice.c_str(), options.jobs,
              seconds);
  std::fputs(FormatSweepTable(rows).c_str(), stdout);

  std::uint64_t bricked = 0, notRecovered = 0, falseSuccesses = 0;
  for (const SweepRow& row : rows) {
    bricked += row.bricked;
    notRecovered += row.notRecovered;
    falseSuccesses += row.falseSuccesses;
  }
  if (options.control) {
    if (bricked == 0) std::printf("the control unit never bricked: the sweep would not see a brick\n");
    return bricked > 0 && falseSuccesses == 0 ? 0 : 1;
  }
  return bricked == 0 && notRecovered == 0 && falseSuccesses == 0 ? 0 : 1;
}
