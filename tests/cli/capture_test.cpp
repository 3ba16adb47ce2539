// --capture and replay of the terminal updater, in-process on the emulated unit: the capture of a whole update
// read back pair by pair against the unit's own record, and a capture played back to the program's update
// reaching the same result and trace lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/trace.h"
#include "app/trace_file.h"
#include "emu/unit_fault.h"
#include "support/cli_program.h"
#include "usb/capture_exchanges.h"
#include "usb/pcapng_reader.h"

using ::testing::HasSubstr;

namespace {

// A file of this test's own (the tests run side by side as processes).
std::string TestFile(const std::string& what) {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  return ::testing::TempDir() + "capture_" + test->name() + "_" + std::to_string(::getpid()) + "_" + what;
}

std::vector<std::uint8_t> FileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// The trace lines of a --trace file, without their time and the run's header.
std::vector<std::string> TraceLines(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) {
    if (line.size() > TRACE_TIMESTAMP_LENGTH &&
        line.compare(TRACE_TIMESTAMP_LENGTH, std::strlen(TRACE_PREFIX), TRACE_PREFIX) == 0) {
      lines.push_back(line.substr(TRACE_TIMESTAMP_LENGTH));
    }
  }
  return lines;
}

class CaptureTest : public CliProgramTest {
 protected:
  ~CaptureTest() override {
    for (const std::string& file : files_) std::remove(file.c_str());
  }
  std::string File(const std::string& what) {
    files_.push_back(TestFile(what));
    std::remove(files_.back().c_str());
    return files_.back();
  }
  std::vector<std::string> files_;
};

// A whole update of each plan: one pair per exchange, equal to what the unit recorded.
TEST_F(CaptureTest, AWholeUpdateOfEachPlanReadsBackAsTheUnitRecordedIt) {
  for (const bool bootloader2Valid : {true, false}) {
    SCOPED_TRACE(bootloader2Valid);
    VirtualClock caseClock;
    EmulatedUsb bus(caseClock);
    UnitConfig config;
    config.bootloader2.valid = bootloader2Valid;
    EmulatedUnit& unit = bus.AddUnit(config);
    context.clock = &caseClock;
    context.usb = &bus;
    const std::string capture = File(bootloader2Valid ? "plan1.pcapng" : "plan3.pcapng");
    ASSERT_EQ(Run({"update", "--yes", "--capture", capture}), 0) << err.str();

    const std::vector<std::uint8_t> bytes = FileBytes(capture);
    CaptureContents contents;
    const CaptureReadResult read = ReadCapture(bytes.data(), bytes.size(), &contents);
    ASSERT_EQ(read.error, CaptureReadError::None) << read.text;
    EXPECT_EQ(contents.application, std::string("helmet-update ") + HELMET_UPDATE_VERSION);
    EXPECT_THAT(contents.comments, ::testing::Contains(bootloader2Valid ? "plan: 1 -> 4 -> 5" : "plan: 3 -> 2 -> 5"));
    std::string problem;
    const std::vector<CaptureEvent> events = CaptureEvents(contents, &problem);
    EXPECT_EQ(problem, "");
    ASSERT_FALSE(events.empty());
    ASSERT_TRUE(events.front().open);
    EXPECT_EQ(events.front().ids.vendorId, 0x7A31);
    EXPECT_EQ(events.front().ids.productId, 0xACDC);

    std::vector<const CaptureEvent*> exchanges;
    for (const CaptureEvent& event : events) {
      if (!event.open) exchanges.push_back(&event);
    }
    const std::vector<ExchangeRecord> recorded = unit.Exchanges();
    ASSERT_EQ(exchanges.size(), recorded.size());
    for (std::size_t i = 0; i < recorded.size(); ++i) {
      const CaptureEvent& e = *exchanges[i];
      const ExchangeRecord& r = recorded[i];
      SCOPED_TRACE(i);
      EXPECT_EQ(e.number, i);
      EXPECT_EQ(e.startUs, r.timeMs * 1000);
      ASSERT_EQ(e.request.size(), USB_BLOCK_SIZE);
      EXPECT_EQ(std::memcmp(e.request.data(), &r.request, USB_BLOCK_SIZE), 0);
      ASSERT_TRUE(e.answered);
      ASSERT_EQ(e.readOk, r.answered);
      if (r.answered) {
        ASSERT_EQ(e.answerLength, r.answerLength);
        EXPECT_EQ(std::memcmp(e.answer.data(), &r.answer, r.answerLength), 0);
      }
      if (i + 1 == recorded.size()) break;
      if (testing::Test::HasFailure()) break;
    }
  }
}

TEST_F(CaptureTest, InfoIsCapturedAndSaysNoUpdateRan) {
  usb.AddUnit();
  const std::string capture = File("info.pcapng");
  ASSERT_EQ(Run({"info", "--capture", capture}), 0) << err.str();
  const std::vector<std::uint8_t> bytes = FileBytes(capture);
  CaptureContents contents;
  ASSERT_EQ(ReadCapture(bytes.data(), bytes.size(), &contents).error, CaptureReadError::None);
  EXPECT_THAT(contents.comments, ::testing::Contains("no update: info"));
  EXPECT_EQ(CaptureEvents(contents, nullptr).size() - 1, usb.Unit(0).Exchanges().size() + 0u)
      << "one opening before the exchanges";
}

TEST_F(CaptureTest, CaptureTakesOneUnitOnly) {
  usb.AddUnit();
  usb.AddUnit();
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"update", "--all", "--yes", "--capture", "x.pcapng"},
        std::vector<std::string>{"update", "--watch", "--capture", "x.pcapng"}}) {
    EXPECT_EQ(Run(args), 2);
    EXPECT_THAT(err.str(), HasSubstr("--capture takes one unit"));
  }
  EXPECT_EQ(usb.Unit(0).Exchanges().size(), 0u);
}

// Replay: a captured success and captured failures reach the same result code and the same trace lines.
TEST_F(CaptureTest, ReplayReachesTheCapturedResultAndTraceLines) {
  struct Case {
    const char* name;
    std::vector<Fault> faults;
    int status;
  };
  Fault powerLoss;
  powerLoss.kind = FaultKind::PowerLoss;
  powerLoss.exchange = 1000;
  Fault drop;
  drop.kind = FaultKind::DropAnswer;
  drop.exchange = 400;
  Fault stuck;
  stuck.kind = FaultKind::StuckBit;
  Fault shortRead;
  shortRead.kind = FaultKind::ShortRead;
  shortRead.exchange = 3;
  const Case cases[] = {
      {"success", {}, 0},
      {"power loss", {powerLoss}, 11},
      {"dropped answer", {drop}, 11},
      {"stuck bit", {stuck}, 5},
      {"short read of the hardware id", {shortRead}, 13},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualClock caseClock;
    EmulatedUsb bus(caseClock);
    EmulatedUnit& unit = bus.AddUnit();
    for (const Fault& fault : c.faults) unit.AddFault(fault);
    context.clock = &caseClock;
    context.usb = &bus;
    const std::string capture = File(std::string(c.name) + ".pcapng");
    const std::string captureTrace = File(std::string(c.name) + ".log");
    const std::string replayTrace = File(std::string(c.name) + ".replay.log");
    const int captured = Run({"update", "--yes", "--capture", capture, "--trace", captureTrace});
    EXPECT_EQ(captured, c.status) << err.str();

    EmulatedUsb empty(caseClock);  // replay needs no unit
    context.usb = &empty;
    EXPECT_EQ(Run({"replay", capture, "--trace", replayTrace}), captured) << err.str();
    EXPECT_THAT(out.str(), HasSubstr("Replay: every request as captured"));
    // Every captured exchange played, no more: as many as the unit was asked (and one more where it had gone).
    unsigned played = 0;
    unsigned held = 0;
    int result = -1;
    const std::size_t line = out.str().rfind("Replay: ");
    ASSERT_NE(line, std::string::npos);
    ASSERT_EQ(std::sscanf(out.str().c_str() + line, "Replay: %u of %u captured exchanges played; result %d", &played,
                          &held, &result),
              3);
    EXPECT_EQ(played, held);
    EXPECT_EQ(result, captured);
    // The unit records the requests it received: all but a write that failed as the cable was pulled.
    EXPECT_LE(unit.Exchanges().size(), held);
    const std::vector<std::string> original = TraceLines(captureTrace);
    EXPECT_FALSE(original.empty());
    EXPECT_EQ(TraceLines(replayTrace), original);
  }
}

// A request changed in the capture: the replay names the exchange, the field and both values.
TEST_F(CaptureTest, ReplayNamesTheFirstRequestThatDiffers) {
  usb.AddUnit();
  const std::string capture = File("changed.pcapng");
  ASSERT_EQ(Run({"update", "--yes", "--capture", capture}), 0);
  std::vector<std::uint8_t> bytes = FileBytes(capture);
  CaptureContents contents;
  ASSERT_EQ(ReadCapture(bytes.data(), bytes.size(), &contents).error, CaptureReadError::None);
  // The first WRITE request: its data byte 5 in the file.
  std::uint64_t number = 0;
  for (const CaptureEvent& event : CaptureEvents(contents, nullptr)) {
    if (!event.open && event.request[0] == BLK_WRITE) {
      number = event.number;
      break;
    }
  }
  ASSERT_NE(number, 0u);
  std::size_t at = 0;
  for (std::size_t i = 0; i + 8 < bytes.size(); ++i) {
    std::uint64_t irp;
    std::memcpy(&irp, &bytes[i], 8);
    if (irp == number && bytes[i + 14] == 0 && bytes[i - 2] == 27) {  // the OUT submission's header
      at = i - 2 + 27 + 12 + 5;
      break;
    }
  }
  ASSERT_NE(at, 0u);
  char was[8];
  std::snprintf(was, sizeof was, "0x%02X", bytes[at]);
  bytes[at] ^= 0xFF;
  std::ofstream(capture, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  Run({"replay", capture});
  EXPECT_THAT(out.str(), HasSubstr("Replay: the requests differ first at exchange " + std::to_string(number) +
                                   ": BlockData[5] captured "));
  EXPECT_THAT(out.str(), HasSubstr(std::string(", now ") + was));
}

TEST_F(CaptureTest, ReplayOfAFileThatIsNoCaptureIsAUsageError) {
  const std::string text = File("text.pcapng");
  std::ofstream(text) << "not a capture\n";
  usb.AddUnit();
  const std::string capture = File("cut.pcapng");
  ASSERT_EQ(Run({"info", "--capture", capture}), 0);
  std::vector<std::uint8_t> bytes = FileBytes(capture);
  bytes.resize(bytes.size() - 7);
  std::ofstream(capture, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  struct Case {
    std::string file;
    const char* words;
  };
  for (const Case& c : {Case{text, "not a pcapng file"}, Case{capture, "the file ends inside a block"},
                        Case{File("missing.pcapng"), "cannot be read"}}) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(Run({"replay", c.file}), 2);
    EXPECT_THAT(err.str(), HasSubstr(c.words));
  }
}

}  // namespace
