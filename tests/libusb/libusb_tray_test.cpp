// A tray of units through the real libusb: `update --all` as helmet-update runs it on Linux, every unit of the
// testbed in an update of its own at once. Every unit completes; a unit pulled out in the middle of an erase
// fails alone, receives nothing more of that run once it is back at its port, and a run of its own completes it.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "emu/unit_fault.h"
#include "libusb/libusb_cli_fixture.h"
#include "usb/result_code.h"
#include "usb/usb_block.h"

namespace {

// Ports in a row, the units of both products among them.
constexpr std::uint8_t kPorts[] = {2, 3, 4};

std::vector<PluggedUnit> Tray() {
  UnitConfig alt;
  alt.productId = UNIT_PRODUCT_ID_ALT;
  return {{UnitConfig{}, kPorts[0]}, {alt, kPorts[1]}, {UnitConfig{}, kPorts[2]}};
}

using LibusbTrayTest = LibusbCliFixture;

}  // namespace

TEST_F(LibusbTrayTest, AllUpdatesEveryUnitAtOnce) {
  LibusbRig rig(Tray());

  EXPECT_EQ(Run({"update", "--all", "--yes", "--json"}, rig, rig.Following()), 0) << out.str();
  const std::map<std::string, nlohmann::json> results = Results();
  ASSERT_EQ(results.size(), std::size(kPorts)) << out.str();
  for (std::size_t i = 0; i < std::size(kPorts); ++i) {
    const std::string location = LocationAt(kPorts[i]);
    SCOPED_TRACE(location);
    ASSERT_EQ(results.count(location), 1u) << out.str();
    EXPECT_EQ(results.at(location).at("code"), 0);
    EXPECT_EQ(results.at(location).at("outcome"), "done");
    EXPECT_TRUE(HoldsProgramImages(rig.Unit(i)));
  }
  EXPECT_EQ(Events().back(), (nlohmann::json{{"event", "exit"}, {"status", 0}}));
}

// The cable goes as the unit carries out the first erase of its application (half of it done, no answer); the
// unit is back at its port a second later, while the others still run. Its update fails, the others complete;
// the erase was the last request that reached it, on its old device and on the one it came back as.
TEST_F(LibusbTrayTest, AUnitPulledOutMidEraseFailsAloneAndARunOfItsOwnCompletesIt) {
  constexpr std::uint64_t kNone = ~std::uint64_t{0};
  constexpr std::size_t kPulled = 1;
  std::atomic<std::uint64_t> pullExchange{kNone};  // set on the testbed's thread
  LibusbRig rig(Tray());
  EmulatedUnit& pulled = rig.Unit(kPulled);
  const std::string pulledAt = LocationAt(kPorts[kPulled]);
  pulled.SetExchangeHook([&](const UsbBlock& request, std::uint64_t index) {
    if (request.BlockID != BLK_ERASE || request.BlockAddress < APPLICATION_ADDRESS) return;
    std::uint64_t none = kNone;
    if (pullExchange.compare_exchange_strong(none, index)) {
      pulled.AddFault({.kind = FaultKind::PowerLoss, .value = 1000});
    }
  });

  EXPECT_EQ(Run({"update", "--all", "--yes", "--json"}, rig, rig.Following()), EXIT_SOME_UNITS) << out.str();
  ASSERT_NE(pullExchange.load(), kNone) << "the application's erase never came";
  const std::map<std::string, nlohmann::json> results = Results();
  ASSERT_EQ(results.size(), std::size(kPorts)) << out.str();
  for (std::size_t i = 0; i < std::size(kPorts); ++i) {
    const std::string location = LocationAt(kPorts[i]);
    SCOPED_TRACE(location);
    ASSERT_EQ(results.count(location), 1u) << out.str();
    if (i == kPulled) {
      EXPECT_EQ(results.at(location).at("outcome"), "failed");
      EXPECT_EQ(results.at(location).at("code"), FWL_ERR_FAILED);
    } else {
      EXPECT_EQ(results.at(location).at("outcome"), "done");
      EXPECT_EQ(results.at(location).at("code"), 0);
      EXPECT_TRUE(HoldsProgramImages(rig.Unit(i)));
    }
  }
  EXPECT_EQ(Events().back(), (nlohmann::json{{"event", "exit"}, {"status", EXIT_SOME_UNITS}}));
  // Back during the run: the run's own listing put it into the testbed again, as a new device, which received
  // no transfer at all.
  EXPECT_TRUE(pulled.IsPresent());
  EXPECT_EQ(rig.Bus().Submitted(pulled), 0u) << "not back in the testbed, or a transfer reached it there";
  EXPECT_EQ(pulled.ExchangeCount(), pullExchange.load() + 1) << "a request reached the unit after it was pulled";

  pulled.SetExchangeHook(nullptr);
  EXPECT_EQ(Run({"update", "--unit", pulledAt, "--yes", "--json"}, rig, rig.Following()), 0) << out.str();
  EXPECT_TRUE(HoldsProgramImages(pulled));
}
