// Whole updates kept as digests: for each road (both plans, the refusals before the first step, a failing step,
// a power cut, a confirmed cancel) the trace lines, the request blocks the unit received and what the progress
// view was told are recorded as text lines, and each sequence is kept as its count and a 64-bit FNV-1a digest.
// The expected figures are literals taken from a run of the program as it is; a change of behaviour anywhere
// along a road changes them.
//
// Only the rig and Drive below know how an update is driven (the controller's dialog procedure, the lock-step
// queue, timers fired after the virtual clock has passed their interval); the road set-ups and the literals do
// not depend on it.
//
// On a mismatch the counts are printed. With DIGEST_DUMP=<folder> every road's lines are written to
// <folder>/<road>-<kind>.txt; when that file already exists (a run of the earlier program), it is kept as the
// reference, the lines go to <road>-<kind>.new.txt instead, and the first differing line is printed.
//
// Nothing here depends on real time or memory addresses: the clock is virtual, the view's window tokens are
// fixed numbers and are not recorded, and no trace line carries a pointer or handle, so no field is normalised.

#include <gtest/gtest.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/clock.h"
#include "emu/emulated_usb.h"
#include "image/firmware_image.h"
#include "support/fake_progress_view.h"
#include "support/lockstep_poster.h"
#include "support/trace_capture.h"
#include "tools/image_check.h"
#include "ui/resource_ids.h"
#include "ui/update_controller.h"
#include "usb/usb_fw_loader.h"

namespace {

constexpr int IDYES_ANSWER = 6;

// ---------------------------------------------------------------------------------------------------------
// Digests

constexpr std::uint64_t FNV_OFFSET = 0xcbf29ce484222325ull;
constexpr std::uint64_t FNV_PRIME = 0x100000001b3ull;

std::uint64_t Fnv1a(const void* bytes, std::size_t size, std::uint64_t hash = FNV_OFFSET) {
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ p[i]) * FNV_PRIME;
  return hash;
}

struct Digest {
  std::size_t count = 0;
  std::uint64_t fnv = FNV_OFFSET;
};

// Each line followed by a line feed.
Digest DigestOf(const std::vector<std::string>& lines) {
  Digest digest;
  digest.count = lines.size();
  for (const std::string& line : lines) {
    digest.fnv = Fnv1a(line.data(), line.size(), digest.fnv);
    digest.fnv = Fnv1a("\n", 1, digest.fnv);
  }
  return digest;
}

// Line breaks inside a trace text are shown escaped, so that one record is one line of a dump.
std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

// One request as a line: its header words readable, the whole 272-byte block (data and CRC field included) in
// the digest of the bytes, and the number of bytes written.
std::string RequestLine(const ExchangeRecord& record) {
  char line[128];
  std::snprintf(line, sizeof line,
                "id %" PRIu32 " address 0x%08" PRIx32 " length %" PRIu32 " crc 0x%08" PRIx32 " written %" PRIu32
                " block %016" PRIx64,
                record.request.BlockID, record.request.BlockAddress, record.request.BlockLength,
                record.request.BlockCRC, record.requestLength, Fnv1a(&record.request, sizeof record.request));
  return line;
}

// ---------------------------------------------------------------------------------------------------------
// The rig: one whole update on the emulated unit, driven through the controller as the window system would.

struct Recording {
  std::vector<std::string> trace;     // whole trace lines, prefix and line end included
  std::vector<std::string> requests;  // the requests the unit received, in order
  std::vector<std::string> view;      // the calls the progress view got, in order
};

class Rig {
 public:
  Rig() { EXPECT_NE(ScanFirmwareImage(IDR_APPLICATION_IMAGE, image, ProgramResources()), 0); }
  ~Rig() { poster.Release(); }  // a worker still running is let go; the loader's destruction then stops it

  // "Update!" pressed, then every notification handled and every armed timer fired once the clock has passed
  // its interval, until the window is gone and no worker runs.
  void Drive() {
    controller.OpenProgressWindow(parent, &loader, &image);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(120);  // a guard against a hang
    std::size_t handled = 0;
    while (std::chrono::steady_clock::now() < limit) {
      std::optional<PostedMessage> message = poster.TryTake();
      if (!message && loader.busy.load() != 0) message = poster.Take(1);
      if (message) {
        view.Deliver(*message);  // dropped when the window is gone
        if (duringStep) duringStep(handled);
        ++handled;
        poster.Done();  // the worker waits in its post until here
        continue;
      }
      // A worker clears busy only after its last post has been handled: idle now means idle for good.
      if (loader.busy.load() != 0) continue;
      if (!view.IsOpen() || view.timers.empty()) return;
      const auto [id, ms] = *view.timers.begin();
      clock.Advance(ms);
      view.FireTimer(id);
    }
    ADD_FAILURE() << "the update did not come to an end";
  }

  void PressCancel() { view.AskCancel(); }

  Recording Record() {
    Recording r;
    for (const std::string& line : trace.Lines()) r.trace.push_back(Escaped(line));
    for (std::size_t unit = 0; unit < usb.UnitCount(); ++unit) {
      for (const ExchangeRecord& record : usb.Unit(unit).Exchanges()) r.requests.push_back(RequestLine(record));
    }
    r.view = view.events;
    return r;
  }

  TraceCapture trace;
  VirtualClock clock;
  EmulatedUsb usb{clock};
  LockstepPoster poster;
  UsbFwLoader loader{DeviceLinkContext{&usb, &clock, &poster, &ProgramResources()}};
  FakeProgressView view;
  UpdateController controller{view};
  FirmwareImageInfo image{};
  WindowRef parent = reinterpret_cast<WindowRef>(0x77);
  // Runs after each notification has been handled, while the worker still waits in its post.
  std::function<void(std::size_t handledBefore)> duringStep;
};

// ---------------------------------------------------------------------------------------------------------
// The roads

void Bootloader2FlagSet(Rig& rig) { rig.usb.AddUnit({}); }

void Bootloader2FlagClear(Rig& rig) {
  UnitConfig config;
  config.bootloader2.valid = false;
  rig.usb.AddUnit(config);
}

void NoUnit(Rig&) {}

void ApplicationMode(Rig& rig) {
  UnitConfig config;
  config.mode = UnitMode::Application;
  rig.usb.AddUnit(config);
}

void NewerApplication(Rig& rig) {
  UnitConfig config;
  config.application.version = "002.000.000";
  rig.usb.AddUnit(config);
}

void HardwareOutOfRange(Rig& rig) {
  UnitConfig config;
  config.hardwareId = rig.image.hardwareHigh + 1;
  rig.usb.AddUnit(config);
}

// A bit of the application's second chunk that can no longer be cleared: the block reads back wrong on every
// try, and the third step fails after the two bootloader steps.
void StuckBitInApplication(Rig& rig) {
  EmulatedUnit& unit = rig.usb.AddUnit({});
  const std::vector<std::uint8_t> app = ResourceCopy(IDR_APPLICATION_IMAGE);
  std::uint32_t offset = CHUNK_SIZE + 0x1234;
  while (offset < app.size() && app[offset] == 0xFF) ++offset;
  ASSERT_LT(offset, app.size());
  std::uint8_t mask = 1;  // its lowest 0 bit
  while (app[offset] & mask) mask = static_cast<std::uint8_t>(mask << 1);
  unit.AddStuckBit(UNIT_APPLICATION_ADDRESS + offset, mask);
}

// The power fails in the middle of the second step, at its 301st write (the first step has 611), and stays off.
void PowerCutInSecondStep(Rig& rig) {
  EmulatedUnit& unit = rig.usb.AddUnit({});
  Fault cut;
  cut.kind = FaultKind::PowerLoss;
  cut.blockId = BLK_WRITE;
  cut.skip = 611 + 300;
  unit.AddFault(cut);
}

// Cancel pressed and confirmed while the first step's second progress report is handled.
void CancelDuringFirstStep(Rig& rig) {
  rig.usb.AddUnit({});
  rig.view.answer = [](const FakeBox& box) { return box.text == IDS_CONFIRM_ABORT ? IDYES_ANSWER : 1; };
  rig.duringStep = [&rig](std::size_t handledBefore) {
    if (handledBefore == 1) rig.PressCancel();
  };
}

struct Road {
  const char* name;
  void (*setup)(Rig&);
  Digest trace, requests, view;
  friend void PrintTo(const Road& road, std::ostream* os) { *os << road.name; }
};

// Counts and digests of the program as it was when they were taken.
const Road kRoads[] = {
    {"Bootloader2FlagSet",
     Bootloader2FlagSet,
     {247, 0x19b7ad3e776fb79bull},
     {34594, 0xdb63db5d0c613039ull},
     {131, 0x9bea82df3ede9d99ull}},
    {"Bootloader2FlagClear",
     Bootloader2FlagClear,
     {247, 0xbc667fb30dc569aaull},
     {34594, 0xd13ba4543f5a9ce5ull},
     {131, 0x9ba0061eeeaec88bull}},
    {"NoUnit", NoUnit, {0, 0xcbf29ce484222325ull}, {0, 0xcbf29ce484222325ull}, {7, 0xedd18c40642bdd9full}},
    {"ApplicationMode",
     ApplicationMode,
     {10, 0xb5fa1290135a0aa7ull},
     {7, 0x8fe85d094772d9c7ull},
     {7, 0x1302b8895a3bca39ull}},
    {"NewerApplication",
     NewerApplication,
     {6, 0xd8f375a50544a1dfull},
     {5, 0x793f25f36679d21cull},
     {7, 0x46346a57d6cd0e8eull}},
    {"HardwareOutOfRange",
     HardwareOutOfRange,
     {6, 0x6f07577ee2834a40ull},
     {5, 0x793f25f36679d21cull},
     {7, 0xa61a9af176abaf81ull}},
    {"StuckBitInApplication",
     StuckBitInApplication,
     {134, 0xc150910bb6a4ba3eull},
     {4319, 0x0798842d641b5f80ull},
     {70, 0xbff228f1c2053771ull}},
    {"PowerCutInSecondStep",
     PowerCutInSecondStep,
     {72, 0x6b1857ce929215e8ull},
     {2451, 0x385fc8c2ba5c4024ull},
     {42, 0xe18cbc07a6985471ull}},
    {"CancelDuringFirstStep",
     CancelDuringFirstStep,
     {17, 0x4e9beebdbd8a1e5cull},
     {1035, 0x2776138dc3bb4224ull},
     {11, 0x106dd0ee8cf5ba3bull}},
};

Recording RunRoad(const Road& road) {
  Rig rig;
  road.setup(rig);
  rig.Drive();
  return rig.Record();
}

// ---------------------------------------------------------------------------------------------------------
// Dumps

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void WriteLines(const std::string& path, const std::vector<std::string>& lines) {
  std::ofstream out(path);
  for (const std::string& line : lines) out << line << '\n';
  if (!out) ADD_FAILURE() << "cannot write " << path;
}

// Writes the lines; an existing dump is kept as the reference and the first difference from it is reported.
void Dump(const std::string& road, const char* kind, const std::vector<std::string>& lines) {
  const char* folder = std::getenv("DIGEST_DUMP");
  if (folder == nullptr || *folder == '\0') return;
  const std::string base = std::string(folder) + "/" + road + "-" + kind;
  if (!std::ifstream(base + ".txt")) {
    WriteLines(base + ".txt", lines);
    return;
  }
  WriteLines(base + ".new.txt", lines);
  const std::vector<std::string> reference = ReadLines(base + ".txt");
  std::size_t i = 0;
  while (i < lines.size() && i < reference.size() && lines[i] == reference[i]) ++i;
  if (i == lines.size() && i == reference.size()) return;
  std::printf("[ digest   ] %s %s: first difference at line %zu of %zu (reference %zu)\n  now: %s\n  was: %s\n",
              road.c_str(), kind, i + 1, lines.size(), reference.size(), i < lines.size() ? lines[i].c_str() : "(end)",
              i < reference.size() ? reference[i].c_str() : "(end)");
}

void Check(const Road& road, const char* kind, const std::vector<std::string>& lines, const Digest& expected) {
  const Digest got = DigestOf(lines);
  std::printf("[ digest   ] %-22s %-8s {%zu, 0x%016" PRIx64 "ull}\n", road.name, kind, got.count, got.fnv);
  EXPECT_EQ(got.count, expected.count) << road.name << " " << kind << ": number of lines";
  EXPECT_EQ(got.fnv, expected.fnv) << road.name << " " << kind << ": digest";
  Dump(road.name, kind, lines);
}

class BehaviourDigest : public ::testing::TestWithParam<Road> {};

TEST_P(BehaviourDigest, KeepsTheTraceTheRequestsAndTheViewOfTheWholeRoad) {
  const Road& road = GetParam();
  const Recording recording = RunRoad(road);
  Check(road, "trace", recording.trace, road.trace);
  Check(road, "requests", recording.requests, road.requests);
  Check(road, "view", recording.view, road.view);
}

INSTANTIATE_TEST_SUITE_P(, BehaviourDigest, ::testing::ValuesIn(kRoads),
                         [](const ::testing::TestParamInfo<Road>& info) { return std::string(info.param.name); });

}  // namespace
