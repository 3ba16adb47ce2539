// The contract on the fuzzers' scripted unit: one unit, always on the bus, with no location and no clock. Its
// bytes say "a sound answer" for every request (mode 0); once they run out every read times out.

#include <vector>

#include "contract/usb_contract.h"
#include "fuzz/scripted_unit_usb.h"

namespace {
class ScriptedBench final : public UsbBench {
 public:
  ~ScriptedBench() override { EXPECT_EQ(usb_.OpenHandles(), 0); }

  std::string Lacks(BenchPart part) const override {
    switch (part) {
      case BenchPart::SeveralUnits:
        return "the scripted unit is the one unit of its bus";
      case BenchPart::OtherProducts:
        return "the scripted unit stands for a 0xACDC only";
      case BenchPart::Locations:
        return "the scripted unit has no location (the fuzzed loader never pins one)";
      case BenchPart::Leaving:
      case BenchPart::ReturnSamePort:
      case BenchPart::ReturnOtherPort:
        return "the scripted unit is on the bus or not for a whole run; its handles never go stale";
    }
    return {};
  }

  void Make(const std::vector<BenchUnit>& units, Return) override { EXPECT_EQ(units.size(), 1u); }
  UsbPlatform& Usb() override { return usb_; }
  std::string LocationOf(std::uint8_t) const override { return {}; }
  void Leave(std::size_t) override { ADD_FAILURE() << "the scripted unit cannot leave"; }
  std::string ComeBack(std::size_t) override {
    ADD_FAILURE() << "the scripted unit cannot come back";
    return {};
  }
  std::uint64_t RequestsSeen(std::size_t) override { return counters_.exchanges; }
  Clock* InjectedClock() override { return nullptr; }
  std::size_t OpenHandles() override { return static_cast<std::size_t>(usb_.OpenHandles()); }

 private:
  std::vector<std::uint8_t> script_ = std::vector<std::uint8_t>(64, 0);  // 64 sound answers
  FuzzInput input_{script_.data(), script_.size()};
  std::vector<std::uint8_t> flash_ = std::vector<std::uint8_t>(4096, 0xFF);
  ScriptedUnitCounters counters_;
  ScriptedUnitUsb usb_{input_, 0x20000, flash_, true, false, counters_};
};
}  // namespace

INSTANTIATE_TEST_SUITE_P(Scripted, UsbContract,
                         ::testing::Values(BenchMaker{"scripted", [] { return std::make_unique<ScriptedBench>(); }}),
                         BenchName);
