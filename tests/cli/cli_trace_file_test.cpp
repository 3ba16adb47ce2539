// The terminal updater's trace file: the header of each run, appending, the time in front of each line as in
// the window program's trace file, the echo on standard error (--verbose), and a file that cannot be written.
#include "cli/cli_trace_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/clock.h"
#include "app/message_poster.h"
#include "app/trace.h"
#include "cli/helmet_update.h"
#include "emu/emulated_usb.h"
#include "image/image_resources.h"
#include "support/cli_program.h"
#include "ui/ui_language.h"

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

// A calendar that moves one millisecond each time it is read.
class SteppingCalendar final : public TraceClock {
 public:
  TraceTime LocalNow() override {
    TraceTime time = now;
    ++now.millisecond;
    return time;
  }
  TraceTime now{2026, 12, 10, 13, 45, 7, 123};
};

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

std::string TempPath(const char* name) {
  const std::string path = ::testing::TempDir() + name;
  std::remove(path.c_str());
  return path;
}

const char HEADER[] =
    "helmet-update 1.1\r\n"
    "Command line: helmet-update update --yes --trace \"my trace.log\"\r\n"
    "Started: 2026-12-10 13:45:07.123\r\n"
    "Platform: Testix 1.0 z80\r\n";

TEST(CliTraceFile, HeaderNamesTheProgramItsArgumentsTheTimeAndThePlatform) {
  EXPECT_EQ(TraceFileHeader({"update", "--yes", "--trace", "my trace.log"}, TraceTime{2026, 12, 10, 13, 45, 7, 123},
                            "Testix 1.0 z80"),
            HEADER);
  EXPECT_EQ(TraceFileHeader({"info", ""}, TraceTime{2027, 1, 2, 3, 4, 5, 6}, "p"),
            "helmet-update 1.1\r\nCommand line: helmet-update info \"\"\r\nStarted: 2027-01-02 03:04:05.006\r\n"
            "Platform: p\r\n");
  EXPECT_FALSE(PlatformDescription().empty());
}

TEST(CliTraceFile, EachRunIsAppendedWithItsHeaderAndEveryLineWithItsTime) {
  const std::string path = TempPath("cli_trace_append.log");
  const std::vector<std::string> args{"update", "--yes", "--trace", "my trace.log"};
  SteppingCalendar calendar;
  for (int run = 0; run < 2; ++run) {
    CliTrace trace(calendar, nullptr);
    calendar.now.millisecond = 123;
    std::string reason;
    ASSERT_TRUE(trace.OpenFile(path, args, "Testix 1.0 z80", &reason)) << reason;
    trace.Write("[Tavik_FW_Update] first\r\n");
    TraceStarted started(&trace);
    {
      const std::string unit = "Port_#0003.Hub_#0001";
      TraceTag tag(unit);  // a tray's unit: its tag stays behind the time
      Trace("second %d", run);
    }
    EXPECT_EQ(trace.FirstFailure(), "");
  }
  const std::string run0 = std::string(HEADER) + "2026-12-10 13:45:07.124 [Tavik_FW_Update] first\r\n" +
                           "2026-12-10 13:45:07.125 [Port_#0003.Hub_#0001] [Tavik_FW_Update] second 0\r\n";
  const std::string run1 = std::string(HEADER) + "2026-12-10 13:45:07.124 [Tavik_FW_Update] first\r\n" +
                           "2026-12-10 13:45:07.125 [Port_#0003.Hub_#0001] [Tavik_FW_Update] second 1\r\n";
  EXPECT_EQ(ReadFile(path), run0 + "\r\n" + run1);
  std::remove(path.c_str());
}

TEST(CliTraceFile, VerboseEchoesTheStampedLinesWithPlainLineFeeds) {
  const std::string path = TempPath("cli_trace_echo.log");
  SteppingCalendar calendar;
  std::ostringstream echo;
  {
    CliTrace trace(calendar, &echo);
    std::string reason;
    ASSERT_TRUE(trace.OpenFile(path, {"list"}, "Testix", &reason)) << reason;
    trace.Write("[Tavik_FW_Update] one\r\n");
    trace.Write("[Tavik_FW_Update] two\r\n");
  }
  // The header is the file's: standard error gets the trace lines only.
  EXPECT_EQ(echo.str(),
            "2026-12-10 13:45:07.124 [Tavik_FW_Update] one\n2026-12-10 13:45:07.125 [Tavik_FW_Update] two\n");
  const std::string file = ReadFile(path);
  EXPECT_THAT(file, HasSubstr("\r\n2026-12-10 13:45:07.124 [Tavik_FW_Update] one\r\n"));

  // Without a file the echo alone.
  std::ostringstream alone;
  CliTrace withoutFile(calendar, &alone);
  withoutFile.Write("[Tavik_FW_Update] three\r\n");
  EXPECT_EQ(alone.str(), "2026-12-10 13:45:07.126 [Tavik_FW_Update] three\n");
  std::ostringstream err;
  EXPECT_EQ(withoutFile.Finish(0, err), 0);
  EXPECT_EQ(err.str(), "");
  std::remove(path.c_str());
}

TEST(CliTraceFile, AFileThatCannotBeOpenedSaysWhy) {
  SteppingCalendar calendar;
  CliTrace trace(calendar, nullptr);
  std::string reason;
  EXPECT_FALSE(trace.OpenFile(::testing::TempDir() + "no-such-folder/trace.log", {}, "p", &reason));
  EXPECT_EQ(reason, std::strerror(ENOENT));
}

#ifndef _WIN32
// A full disk: the writes fail, the run goes on, the failure is told once with the system's reason, and a run
// that would have ended with 0 ends with 11; a run that failed keeps its own status.
TEST(CliTraceFile, AFullDiskIsToldOnceAndFailsASuccessfulRun) {
  SteppingCalendar calendar;
  CliTrace trace(calendar, nullptr);
  std::string reason;
  ASSERT_TRUE(trace.OpenFile("/dev/full", {"update"}, "p", &reason)) << reason;
  for (int i = 0; i < 3; ++i) trace.Write("[Tavik_FW_Update] line\r\n");
  EXPECT_EQ(trace.FirstFailure(), std::strerror(ENOSPC));
  std::ostringstream err;
  EXPECT_EQ(trace.Finish(0, err), 11);
  EXPECT_EQ(err.str(), std::string("helmet-update: the trace file /dev/full could not be written: ") +
                           std::strerror(ENOSPC) + "\n");
  std::ostringstream failedErr;
  EXPECT_EQ(trace.Finish(12, failedErr), 12);
  EXPECT_THAT(failedErr.str(), HasSubstr(std::strerror(ENOSPC)));
}
#endif

// The program as a whole, on the emulated unit and a virtual clock.
class TraceRunTest : public CliProgramTest {};

TEST_F(TraceRunTest, TwoRunsInOneFileAndTheSameLinesOnStandardError) {
  usb.AddUnit({});
  const std::string path = TempPath("cli_trace_runs.log");
  EXPECT_EQ(Run({"info", "--trace", path, "--lang", "en"}), 0);
  EXPECT_EQ(err.str(), "");
  const std::string first = ReadFile(path);
  EXPECT_EQ(Run({"info", "--verbose", "--trace", path}), 0);
  const std::string both = ReadFile(path);
  ASSERT_THAT(both, StartsWith(first));
  const std::string second = both.substr(first.size());
  ASSERT_THAT(second, StartsWith("\r\nhelmet-update 1.1\r\nCommand line: helmet-update info --verbose --trace "));
  // Below the header, each line of the file is one of standard error's, with CR LF.
  const std::string lines = second.substr(second.find("Platform: "));
  const std::string trace = lines.substr(lines.find("\r\n") + 2);
  std::string echoed = err.str();
  std::string withCrLf;
  for (const char c : echoed) withCrLf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(trace, withCrLf);
  EXPECT_THAT(trace, HasSubstr("[Tavik_FW_Update] "));
  EXPECT_EQ(trace[4], '-');  // "YYYY-MM-DD hh:mm:ss.mmm " in front
  EXPECT_EQ(trace[23], ' ');
  std::remove(path.c_str());
}

TEST_F(TraceRunTest, QuietAndVerboseTogetherTouchNoUnit) {
  usb.AddUnit({});
  EXPECT_EQ(Run({"update", "--yes", "--quiet", "--verbose"}), EXIT_USAGE);
  EXPECT_THAT(err.str(), HasSubstr("--quiet and --verbose"));
  EXPECT_EQ(usb.Unit(0).Exchanges().size(), 0u);
}

#ifndef _WIN32
TEST_F(TraceRunTest, AnUpdateWithAFullTraceDiskEndsWith11AndSaysWhyOnce) {
  usb.AddUnit({});
  EXPECT_EQ(Run({"update", "--yes", "--trace", "/dev/full", "--lang", "en"}), 11);
  EXPECT_THAT(out.str(), HasSubstr("Firmware update completed successfully!"));
  const std::string said = std::string("could not be written: ") + std::strerror(ENOSPC);
  const std::string text = err.str();
  ASSERT_THAT(text, HasSubstr(said));
  EXPECT_EQ(text.find(said), text.rfind(said));
  // The status the run reports is the one it ends with.
  EXPECT_THAT(out.str(), HasSubstr("Exit status: 11"));
  EXPECT_THAT(out.str(), Not(HasSubstr("Exit status: 0")));
  EXPECT_EQ(Run({"update", "--yes", "--json", "--trace", "/dev/full"}), 11);
  EXPECT_THAT(out.str(), HasSubstr("{\"event\":\"exit\",\"status\":11}"));
  // A run that fails of its own keeps its status (3: no such unit).
  EXPECT_EQ(Run({"update", "--yes", "--unit", "no-such-unit", "--trace", "/dev/full"}), 3);
  EXPECT_THAT(err.str(), HasSubstr(said));
}
#endif

}  // namespace
