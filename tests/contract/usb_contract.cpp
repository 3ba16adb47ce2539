// The cases every USB backend passes (usb_contract.h): enumeration, opening by location, the read's time
// limit, a unit that leaves in the middle of an exchange, and a unit that comes back.

#include "contract/usb_contract.h"

#include <gmock/gmock.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/clock.h"
#include "app/message_poster.h"
#include "contract/seam_walk.h"
#include "image/crc32.h"
#include "usb/unit_list.h"
#include "usb/usb_block.h"
#include "usb/usb_port.h"

namespace {
using ::testing::UnorderedElementsAre;
using ::testing::UnorderedElementsAreArray;

constexpr std::uint16_t kVendor = 0x7A31;
constexpr std::uint16_t kProduct = 0xACDC;
constexpr std::uint16_t kOtherProduct = 0xACDD;
constexpr std::uint32_t kWriteLimitMs = 1000;
constexpr std::uint32_t kAnswerLimitMs = 1000;
constexpr Guid kNoUnitsClass = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};

#define SKIP_UNLESS(bench, part)                     \
  do {                                               \
    const std::string lacking = (bench).Lacks(part); \
    if (!lacking.empty()) GTEST_SKIP() << lacking;   \
  } while (0)

// A connection opened as the updater opens one: the first unit, or the one at `location`.
class Link {
 public:
  Link(UsbBench& bench, const std::optional<std::string>& location)
      : usb_(bench.Usb()),
        port_(DeviceLinkContext{&usb_, bench.InjectedClock() != nullptr ? bench.InjectedClock() : &spareClock_,
                                &poster_, nullptr}) {
    port_.interfaceGuid = TAVIK_INTERFACE_GUID;
    if (location) {
      port_.checkLocation = 1;
      std::strncpy(port_.locationId, location->c_str(), sizeof port_.locationId - 1);
    }
  }

  int Open() { return port_.OpenUsbConnection(); }
  void Close() {
    port_.CloseUsbConnection();
    EXPECT_EQ(port_.connected, 0);
    EXPECT_EQ(port_.deviceHandle, UsbInvalidHandle());
    EXPECT_EQ(port_.winUsbHandle, UsbInvalidHandle());
  }

  // A PING on the OUT pipe, sealed, as the block exchange writes it.
  bool SendPing() {
    UsbBlock block{};
    block.BlockID = BLK_PING;
    block.BlockCRC = Crc32(&block, BLOCK_CRC_OFFSET);
    usb_.SetPipePolicy(port_.winUsbHandle, port_.pipeOut, USB_POLICY_PIPE_TRANSFER_TIMEOUT, sizeof kWriteLimitMs,
                       &kWriteLimitMs);
    std::uint32_t moved = 0;
    const bool ok = usb_.WritePipe(port_.winUsbHandle, port_.pipeOut, reinterpret_cast<const std::uint8_t*>(&block),
                                   USB_BLOCK_SIZE, &moved);
    return ok && moved == USB_BLOCK_SIZE;
  }

  struct Answer {
    bool ok;                // the read succeeded
    std::uint32_t moved;    // bytes read
    std::uint32_t error;    // the platform's error when it failed
    std::uint32_t blockId;  // of a whole answer with a sound CRC, else 0
  };
  Answer Read(std::uint32_t limitMs) {
    usb_.SetPipePolicy(port_.winUsbHandle, port_.pipeIn, USB_POLICY_PIPE_TRANSFER_TIMEOUT, sizeof limitMs, &limitMs);
    UsbBlock answer{};
    std::uint32_t moved = 0;
    if (!usb_.ReadPipe(port_.winUsbHandle, port_.pipeIn, reinterpret_cast<std::uint8_t*>(&answer), USB_BLOCK_SIZE,
                       &moved)) {
      return {false, moved, usb_.LastError(), 0};
    }
    const bool whole = moved == USB_BLOCK_SIZE && Crc32(&answer, BLOCK_CRC_OFFSET) == answer.BlockCRC;
    return {true, moved, 0, whole ? answer.BlockID : 0};
  }

  // The answer's block id to a PING; 0 when the exchange failed.
  std::uint32_t Ping() { return SendPing() ? Read(kAnswerLimitMs).blockId : 0; }

  UsbPort& Port() { return port_; }

 private:
  UsbPlatform& usb_;
  VirtualClock spareClock_;  // opening takes no time; a bench without a clock of its own needs none
  PostedMessageQueue poster_;
  UsbPort port_;
};

std::vector<std::uint64_t> RequestsOfEach(UsbBench& bench, std::size_t count) {
  std::vector<std::uint64_t> seen;
  for (std::size_t i = 0; i < count; ++i) seen.push_back(bench.RequestsSeen(i));
  return seen;
}

std::vector<std::string> ListedLocations(UsbPlatform& usb) {
  std::vector<std::string> locations;
  for (const UnitEntry& unit : ListUnits(usb)) locations.push_back(unit.location);
  return locations;
}
}  // namespace

TEST_P(UsbContract, ListsEachUnitOnceWithItsPathLocationAndIds) {
  const std::unique_ptr<UsbBench> bench = GetParam().make();
  const bool several = bench->Lacks(BenchPart::SeveralUnits).empty();
  const bool locations = bench->Lacks(BenchPart::Locations).empty();
  const std::uint16_t other = bench->Lacks(BenchPart::OtherProducts).empty() ? kOtherProduct : kProduct;
  const std::vector<BenchUnit> units = several ? std::vector<BenchUnit>{{3, kProduct}, {1, other}, {2, kProduct}}
                                               : std::vector<BenchUnit>{{1, kProduct}};
  bench->Make(units, Return::SamePort);
  UsbPlatform& usb = bench->Usb();

  const std::vector<WalkedInterface> walked = WalkInterfaces(usb, TAVIK_INTERFACE_GUID, locations);
  ASSERT_EQ(walked.size(), units.size());
  std::set<std::string> paths;
  for (const WalkedInterface& w : walked) paths.insert(w.path);
  EXPECT_EQ(paths.size(), units.size()) << "each unit has a path of its own";
  for (const BenchUnit& unit : units) {
    SCOPED_TRACE("the unit at port " + std::to_string(unit.port));
    const WalkedInterface* found = &walked.front();
    if (locations) {
      const std::string location = bench->LocationOf(unit.port);
      found = nullptr;
      for (const WalkedInterface& w : walked) {
        if (w.location == location) {
          EXPECT_EQ(found, nullptr) << "listed twice at " << location;
          found = &w;
        }
      }
      ASSERT_NE(found, nullptr) << location << " is not listed";
    }
    ASSERT_TRUE(found->ids.has_value());
    EXPECT_EQ(found->ids->vendorId, kVendor);
    EXPECT_EQ(found->ids->productId, unit.productId);
  }

  // The shared listing of the program reads the same.
  const std::vector<UnitEntry> listed = ListUnits(usb);
  ASSERT_EQ(listed.size(), walked.size());
  for (std::size_t i = 0; i < listed.size(); ++i) {
    SCOPED_TRACE(walked[i]);
    ASSERT_TRUE(walked[i].ids.has_value());
    EXPECT_EQ(listed[i].path, walked[i].path);
    EXPECT_EQ(listed[i].location, walked[i].location.value_or(""));
    EXPECT_EQ(listed[i].vendorId, walked[i].ids->vendorId);
    EXPECT_EQ(listed[i].productId, walked[i].ids->productId);
  }
  // A class that no unit carries lists nothing.
  EXPECT_TRUE(WalkInterfaces(usb, kNoUnitsClass, locations).empty());
  EXPECT_EQ(bench->OpenHandles(), 0u);
}

TEST_P(UsbContract, OpensExactlyTheUnitAtThePinnedLocationAndNothingWhereNoUnitIs) {
  const std::unique_ptr<UsbBench> bench = GetParam().make();
  SKIP_UNLESS(*bench, BenchPart::SeveralUnits);
  SKIP_UNLESS(*bench, BenchPart::Locations);
  const std::vector<BenchUnit> units = {{2}, {5}, {3}};
  bench->Make(units, Return::SamePort);

  for (std::size_t i = 0; i < units.size(); ++i) {
    const std::string location = bench->LocationOf(units[i].port);
    SCOPED_TRACE(location);
    Link link(*bench, location);
    ASSERT_EQ(link.Open(), 1);
    std::vector<std::uint64_t> expected = RequestsOfEach(*bench, units.size());
    ++expected[i];
    EXPECT_EQ(link.Ping(), BLK_ACK);
    EXPECT_EQ(RequestsOfEach(*bench, units.size()), expected) << "the PING reached the pinned unit alone";
    link.Close();
  }

  const std::string present = bench->LocationOf(2);
  const std::vector<std::uint64_t> before = RequestsOfEach(*bench, units.size());
  for (const std::string& wanted : {bench->LocationOf(4), present.substr(0, present.size() - 1), present + "1"}) {
    SCOPED_TRACE(wanted);
    Link link(*bench, wanted);
    EXPECT_EQ(link.Open(), 0);
    EXPECT_EQ(bench->OpenHandles(), 0u);
  }
  EXPECT_EQ(RequestsOfEach(*bench, units.size()), before);
}

TEST_P(UsbContract, AReadWithNoAnswerFailsWithASemaphoreTimeoutWithinItsLimit) {
  const std::unique_ptr<UsbBench> bench = GetParam().make();
  bench->Make({{1}}, Return::SamePort);
  Link link(*bench, std::nullopt);
  ASSERT_EQ(link.Open(), 1);

  constexpr std::uint32_t kLimitMs = 20;  // on real time a short one: no request is out, nothing will answer
  Clock* clock = bench->InjectedClock();
  const std::uint64_t startMs = clock != nullptr ? clock->NowMs() : 0;
  const auto startReal = std::chrono::steady_clock::now();
  const Link::Answer answer = link.Read(kLimitMs);
  EXPECT_FALSE(answer.ok);
  EXPECT_EQ(answer.error, WIN_ERROR_SEM_TIMEOUT);
  EXPECT_EQ(answer.moved, 0u);
  if (clock != nullptr) {
    EXPECT_LE(clock->NowMs() - startMs, kLimitMs);
  } else {
    // Real time: only a bound far above the limit, which a read that ignored its limit would still pass
    // by hanging the test; a read that ignores it fails on the clock of the benches that inject one.
    EXPECT_LT(std::chrono::steady_clock::now() - startReal, std::chrono::seconds(5));
  }
  // The pipe goes on.
  EXPECT_EQ(link.Ping(), BLK_ACK);
  link.Close();
}

TEST_P(UsbContract, AUnitThatLeavesMidExchangeFailsItAndEveryLaterCallAndItsHandlesCloseClean) {
  const std::unique_ptr<UsbBench> bench = GetParam().make();
  SKIP_UNLESS(*bench, BenchPart::Leaving);
  SKIP_UNLESS(*bench, BenchPart::SeveralUnits);
  SKIP_UNLESS(*bench, BenchPart::Locations);
  bench->Make({{1}, {2}}, Return::SamePort);
  struct Moment {
    const char* name;
    bool requestOut;  // the request was written before the unit left
  };
  // Unit 0 leaves as the request is about to go, unit 1 while its answer is awaited.
  const Moment moments[] = {{"before the request", false}, {"with the answer awaited", true}};
  for (std::size_t unit = 0; unit < 2; ++unit) {
    const Moment& moment = moments[unit];
    SCOPED_TRACE(moment.name);
    Link link(*bench, bench->LocationOf(static_cast<std::uint8_t>(unit + 1)));
    ASSERT_EQ(link.Open(), 1);
    if (moment.requestOut) {
      ASSERT_TRUE(link.SendPing());
      bench->Leave(unit);
      const Link::Answer answer = link.Read(kAnswerLimitMs);
      EXPECT_FALSE(answer.ok);
      EXPECT_NE(answer.error, 0u);
    } else {
      bench->Leave(unit);
      EXPECT_FALSE(link.SendPing());
    }
    // Every later transfer on the old handles fails too.
    EXPECT_FALSE(link.SendPing());
    EXPECT_FALSE(link.Read(kAnswerLimitMs).ok);
    link.Close();
    EXPECT_EQ(bench->OpenHandles(), 0u);
  }
  EXPECT_THAT(ListedLocations(bench->Usb()), ::testing::IsEmpty());
}

TEST_P(UsbContract, AUnitBackAtItsPortOpensThereAgainWhileItsOldHandlesStayDead) {
  const std::unique_ptr<UsbBench> bench = GetParam().make();
  SKIP_UNLESS(*bench, BenchPart::Leaving);
  SKIP_UNLESS(*bench, BenchPart::Locations);
  SKIP_UNLESS(*bench, BenchPart::ReturnSamePort);
  bench->Make({{1}}, Return::SamePort);
  const std::string location = bench->LocationOf(1);
  Link old(*bench, location);
  ASSERT_EQ(old.Open(), 1);
  EXPECT_EQ(old.Ping(), BLK_ACK);

  bench->Leave(0);
  EXPECT_EQ(bench->ComeBack(0), location);
  EXPECT_THAT(ListedLocations(bench->Usb()), UnorderedElementsAre(location));
  EXPECT_FALSE(old.SendPing()) << "a handle of the unit's last stay";

  Link again(*bench, location);
  ASSERT_EQ(again.Open(), 1);
  EXPECT_EQ(again.Ping(), BLK_ACK);
  EXPECT_FALSE(old.SendPing());
  old.Close();
  again.Close();
  EXPECT_EQ(bench->OpenHandles(), 0u);
}

TEST_P(UsbContract, AUnitBackAtAnotherPortIsListedThereAndNotFoundWhereItWas) {
  const std::unique_ptr<UsbBench> bench = GetParam().make();
  SKIP_UNLESS(*bench, BenchPart::Leaving);
  SKIP_UNLESS(*bench, BenchPart::Locations);
  SKIP_UNLESS(*bench, BenchPart::SeveralUnits);
  SKIP_UNLESS(*bench, BenchPart::ReturnOtherPort);
  bench->Make({{1}, {2}}, Return::OtherPort);
  const std::string was = bench->LocationOf(1);
  const std::string stays = bench->LocationOf(2);
  Link old(*bench, was);
  ASSERT_EQ(old.Open(), 1);

  bench->Leave(0);
  const std::string now = bench->ComeBack(0);
  EXPECT_NE(now, was);
  EXPECT_THAT(ListedLocations(bench->Usb()), UnorderedElementsAreArray({stays, now}));

  Link atOld(*bench, was);
  EXPECT_EQ(atOld.Open(), 0) << "nothing is at the old location";
  EXPECT_FALSE(old.SendPing());

  Link atNew(*bench, now);
  ASSERT_EQ(atNew.Open(), 1);
  const std::uint64_t before = bench->RequestsSeen(0);
  EXPECT_EQ(atNew.Ping(), BLK_ACK);
  EXPECT_EQ(bench->RequestsSeen(0), before + 1) << "the unit that moved answered";
  old.Close();
  atNew.Close();
  EXPECT_EQ(bench->OpenHandles(), 0u);
}
