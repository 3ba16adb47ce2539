// The trace file's logic against a file system and a calendar held in memory: the stamp in front of each
// trace line, the change to a new file at the size limit, and failures that leave the trace's other output be.

#include "app/trace_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/trace.h"

namespace {

class FakeStorage final : public TraceFileStorage {
 public:
  bool CurrentSize(std::uint64_t* size) override {
    ++sizeQueries;
    if (failSize) return false;
    *size = current.size();
    return true;
  }
  bool Append(const char* data, std::size_t size) override {
    if (failAppend) return false;
    current.append(data, size);
    return true;
  }
  bool KeepAsPrevious() override {
    if (failKeep) return false;
    previous = current;
    current.clear();
    ++kept;
    return true;
  }

  std::string current;
  std::string previous;
  bool failSize = false;
  bool failAppend = false;
  bool failKeep = false;
  int sizeQueries = 0;
  int kept = 0;
};

class FakeCalendar final : public TraceClock {
 public:
  TraceTime LocalNow() override { return now; }
  TraceTime now{2026, 12, 10, 13, 45, 7, 123};
};

std::string Stamp(const TraceTime& time) {
  char text[TRACE_TIMESTAMP_LENGTH + 1];
  FormatTraceTimestamp(time, text);
  return text;
}

TEST(TraceFileStampTest, EveryFieldHasItsFixedWidth) {
  const struct {
    TraceTime time;
    const char* stamp;
  } cases[] = {
      {{2026, 12, 10, 13, 45, 7, 123}, "2026-12-10 13:45:07.123 "},
      {{2027, 1, 2, 3, 4, 5, 6}, "2027-01-02 03:04:05.006 "},
      {{1999, 12, 31, 23, 59, 59, 999}, "1999-12-31 23:59:59.999 "},
      {{2026, 6, 1, 0, 0, 0, 0}, "2026-06-01 00:00:00.000 "},
      {{2026, 6, 1, 0, 0, 0, 40}, "2026-06-01 00:00:00.040 "},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Stamp(c.time), c.stamp);
    EXPECT_EQ(Stamp(c.time).size(), TRACE_TIMESTAMP_LENGTH);
  }
}

// Whatever the calendar hands over, the stamp keeps its width: the lines stay aligned and the buffer holds.
TEST(TraceFileStampTest, ValuesBeyondTheirFieldsDoNotWidenTheStamp) {
  EXPECT_EQ(Stamp({12345, 99, 99, 99, 99, 99, 9999}), "2345-99-99 99:99:99.999 ");
}

class TraceFileTest : public ::testing::Test {
 protected:
  FakeStorage storage;
  FakeCalendar calendar;
};

TEST_F(TraceFileTest, ALineIsTheStampFollowedByTheTraceLineAsItIs) {
  TraceFile file(storage, calendar);
  file.Write("[Tavik_FW_Update] Start Application\r\n");
  calendar.now = {2026, 12, 10, 13, 45, 8, 4};
  file.Write("[Tavik_FW_Update] Tavik: Program Device ...    50 %\r\n");

  EXPECT_EQ(storage.current,
            "2026-12-10 13:45:07.123 [Tavik_FW_Update] Start Application\r\n"
            "2026-12-10 13:45:08.004 [Tavik_FW_Update] Tavik: Program Device ...    50 %\r\n");
  EXPECT_EQ(storage.sizeQueries, 1);  // the size is asked once, then counted
}

// The file and the debugger output receive the same lines: the sink hands the line that Trace built to both.
TraceFile* g_file = nullptr;
std::vector<std::string> g_debugOutput;
class TeeSink final : public TraceSink {
 public:
  void Write(const char* line) override {
    g_debugOutput.push_back(line);
    g_file->Write(line);
  }
};

TEST_F(TraceFileTest, TracedLinesReachTheFileWholeIncludingTheLongestOne) {
  TraceFile file(storage, calendar);
  g_file = &file;
  g_debugOutput.clear();
  TeeSink tee;
  StartTrace(&tee);
  Trace("Message: WM_DESTROY\n");
  Trace("%s", std::string(5000, 'x').c_str());  // cut by the trace itself
  Trace("Percent %d %%", 7);
  StartTrace(nullptr);

  ASSERT_EQ(g_debugOutput.size(), 3u);
  std::string expected;
  for (const std::string& line : g_debugOutput) expected += "2026-12-10 13:45:07.123 " + line;
  EXPECT_EQ(storage.current, expected);
  EXPECT_EQ(g_debugOutput[0], "[Tavik_FW_Update] Message: WM_DESTROY\r\n");
  EXPECT_EQ(g_debugOutput[1].size(), TRACE_TEXT_LIMIT - 1 + 2);
}

TEST_F(TraceFileTest, TheFileBecomesTheEarlierOneWhenTheNextLineWouldPassTheLimit) {
  const std::string line = "[Tavik_FW_Update] Start Application\r\n";
  const std::size_t record = TRACE_TIMESTAMP_LENGTH + line.size();
  const struct {
    std::uint64_t alreadyThere;
    bool kept;
  } cases[] = {
      {TRACE_FILE_LIMIT - record, false},     // ends exactly at the limit
      {TRACE_FILE_LIMIT - record + 1, true},  // one byte beyond
      {TRACE_FILE_LIMIT, true},               // full already
      {TRACE_FILE_LIMIT + 1000, true},        // a file that grew beyond it elsewhere
  };
  for (const auto& c : cases) {
    FakeStorage files;
    files.current.assign(c.alreadyThere, 'o');
    files.previous = "older";
    TraceFile file(files, calendar);
    file.Write(line.c_str());

    SCOPED_TRACE(c.alreadyThere);
    if (c.kept) {
      EXPECT_EQ(files.previous, std::string(c.alreadyThere, 'o'));  // the earlier one replaced
      EXPECT_EQ(files.current, "2026-12-10 13:45:07.123 " + line);
    } else {
      EXPECT_EQ(files.previous, "older");
      EXPECT_EQ(files.current.size(), TRACE_FILE_LIMIT);
    }
  }
}

TEST_F(TraceFileTest, OnlyOneEarlierFileIsKeptAsTheLinesGoOn) {
  TraceFile file(storage, calendar, 200);  // a small limit: three lines of 61 bytes fit, the fourth does not
  const char line[] = "[Tavik_FW_Update] Start Application\r\n";
  for (int i = 0; i < 10; ++i) file.Write(line);

  const std::string record = std::string("2026-12-10 13:45:07.123 ") + line;
  EXPECT_EQ(storage.kept, 3);
  EXPECT_EQ(storage.previous, record + record + record);
  EXPECT_EQ(storage.current, record);
  EXPECT_EQ(storage.sizeQueries, 1);
}

// A line longer than the whole limit still reaches an empty file instead of turning it over at every line.
TEST_F(TraceFileTest, AnEmptyFileTakesALineLargerThanTheLimit) {
  TraceFile file(storage, calendar, 10);
  file.Write("[Tavik_FW_Update] Start Application\r\n");
  EXPECT_EQ(storage.kept, 0);
  EXPECT_EQ(storage.current.size(), TRACE_TIMESTAMP_LENGTH + 37);
}

TEST_F(TraceFileTest, FailuresDropTheLineAndTheNextLineTriesAgain) {
  TraceFile file(storage, calendar);
  storage.failSize = true;
  storage.failAppend = true;
  file.Write("[Tavik_FW_Update] one\r\n");  // neither size nor file: nothing, and no complaint
  EXPECT_EQ(storage.current, "");

  storage.failSize = false;
  storage.failAppend = false;
  file.Write("[Tavik_FW_Update] two\r\n");
  EXPECT_EQ(storage.current, "2026-12-10 13:45:07.123 [Tavik_FW_Update] two\r\n");
  EXPECT_EQ(storage.sizeQueries, 2);  // asked again after the failure

  storage.failAppend = true;
  file.Write("[Tavik_FW_Update] three\r\n");
  storage.failAppend = false;
  storage.current += "written by another process\r\n";  // the size is asked anew after a failed write
  file.Write("[Tavik_FW_Update] four\r\n");
  EXPECT_EQ(storage.sizeQueries, 3);
  EXPECT_EQ(storage.current,
            "2026-12-10 13:45:07.123 [Tavik_FW_Update] two\r\n"
            "written by another process\r\n"
            "2026-12-10 13:45:07.123 [Tavik_FW_Update] four\r\n");
}

TEST_F(TraceFileTest, AFileThatCannotBeTurnedOverTakesTheLineAndIsTriedAgain) {
  storage.current.assign(TRACE_FILE_LIMIT, 'o');
  storage.failKeep = true;
  TraceFile file(storage, calendar);
  file.Write("[Tavik_FW_Update] one\r\n");
  EXPECT_EQ(storage.current.size(), TRACE_FILE_LIMIT + TRACE_TIMESTAMP_LENGTH + 23);

  storage.failKeep = false;
  file.Write("[Tavik_FW_Update] two\r\n");
  EXPECT_EQ(storage.kept, 1);
  EXPECT_EQ(storage.current, "2026-12-10 13:45:07.123 [Tavik_FW_Update] two\r\n");
}

// Both threads of an update trace: their lines never mix, and none is lost.
TEST_F(TraceFileTest, LinesOfTwoThreadsStayWhole) {
  TraceFile file(storage, calendar);
  const std::string a = "[Tavik_FW_Update] " + std::string(300, 'a') + "\r\n";
  const std::string b = "[Tavik_FW_Update] " + std::string(300, 'b') + "\r\n";
  std::thread worker([&] {
    for (int i = 0; i < 500; ++i) file.Write(a.c_str());
  });
  for (int i = 0; i < 500; ++i) file.Write(b.c_str());
  worker.join();

  const std::string recordA = "2026-12-10 13:45:07.123 " + a;
  const std::string recordB = "2026-12-10 13:45:07.123 " + b;
  ASSERT_EQ(storage.current.size(), 500 * (recordA.size() + recordB.size()));
  for (std::size_t at = 0; at < storage.current.size(); at += recordA.size()) {
    const std::string record = storage.current.substr(at, recordA.size());
    ASSERT_TRUE(record == recordA || record == recordB) << "at " << at;
  }
}

}  // namespace
