#pragma once
// The behaviour every USB backend shows through the seam (usb/usb_platform.h), written once: the cases are in
// usb_contract.cpp, and each backend's file instantiates them with a bench of its own:
//
//   INSTANTIATE_TEST_SUITE_P(Emulated, UsbContract, ::testing::Values(BenchMaker{"emulated", MakeEmulatedBench}),
//                            BenchName);
//
// A bench puts units on a bus at ports the case chooses, takes a unit off the bus and brings it back, and tells
// which unit the requests reached. Every unit answers as a sound unit in its bootloader (a PING with an ACK).
// A backend that cannot model a part says why (Lacks), and the cases that need that part are skipped with it.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "usb/usb_platform.h"

class Clock;

// What a case may need beyond one unit at one port.
enum class BenchPart {
  SeveralUnits,     // more than one unit on the bus
  OtherProducts,    // a unit with another product id than 0xACDC
  Locations,        // each port has its own location text
  Leaving,          // a unit leaves the bus while the host holds its handles
  ReturnSamePort,   // a unit that left comes back at the port it left
  ReturnOtherPort,  // a unit that left comes back at another port
};

// Where a unit that left the bus comes back.
enum class Return { SamePort, OtherPort };

struct BenchUnit {
  std::uint8_t port;  // 1 to 7, distinct on one bus
  std::uint16_t productId = 0xACDC;
};

class UsbBench {
 public:
  virtual ~UsbBench() = default;

  // Why the backend cannot model the part; empty when it can.
  virtual std::string Lacks(BenchPart part) const = 0;
  // Puts the units on the bus (once per bench). With Return::OtherPort a bench may ask for units at the
  // ports 1, 2, ... in order; the cases keep to that.
  virtual void Make(const std::vector<BenchUnit>& units, Return returns) = 0;
  virtual UsbPlatform& Usb() = 0;
  // The location text the backend gives a unit at this port.
  virtual std::string LocationOf(std::uint8_t port) const = 0;
  // Unit `index` (in the order of Make) leaves the bus.
  virtual void Leave(std::size_t index) = 0;
  // It comes back, where Make said; the location it is at now.
  virtual std::string ComeBack(std::size_t index) = 0;
  // Requests that unit `index` has received so far.
  virtual std::uint64_t RequestsSeen(std::size_t index) = 0;
  // The clock that the backend's transfer timeouts run on; null when they take real time.
  virtual Clock* InjectedClock() = 0;
  // Device lists, device files and interfaces open on the backend (and on the units' side of it).
  virtual std::size_t OpenHandles() = 0;
};

struct BenchMaker {
  const char* name;
  std::function<std::unique_ptr<UsbBench>()> make;
};

// Named by its bench in the cases' names and messages.
inline void PrintTo(const BenchMaker& maker, std::ostream* out) { *out << maker.name; }
inline std::string BenchName(const ::testing::TestParamInfo<BenchMaker>& info) { return info.param.name; }

class UsbContract : public ::testing::TestWithParam<BenchMaker> {};
