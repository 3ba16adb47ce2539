// The contract on the libusb backend: the real libusb on emulated units that a umockdev testbed serves as USB
// devices (tests/libusb/umockdev_unit.h). Its transfer timeouts are libusb's own, on real time.

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "contract/usb_contract.h"
#include "libusb/libusb_rig.h"

namespace {
// A unit that comes back elsewhere is plugged this many ports further on.
constexpr std::uint8_t kOtherPortStep = 8;

class LibusbBench final : public UsbBench {
 public:
  std::string Lacks(BenchPart) const override { return {}; }

  void Make(const std::vector<BenchUnit>& units, Return returns) override {
    if (!UmockdevUnits::InMockEnvironment()) throw std::runtime_error("run this test program under umockdev-wrapper");
    std::vector<PluggedUnit> plugged;
    for (const BenchUnit& u : units) {
      UnitConfig config;
      config.productId = u.productId;
      plugged.push_back({config, u.port});
      ports_.push_back(u.port);
    }
    returns_ = returns;
    rig_ = std::make_unique<LibusbRig>(plugged);
  }

  UsbPlatform& Usb() override { return rig_->Usb(); }
  std::string LocationOf(std::uint8_t port) const override { return "1-" + std::to_string(port); }

  void Leave(std::size_t index) override { rig_->Bus().Unplug(rig_->Unit(index)); }
  std::string ComeBack(std::size_t index) override {
    EmulatedUnit& unit = rig_->Unit(index);
    unit.PlugIn();
    if (returns_ == Return::SamePort) {
      rig_->Bus().Follow();  // back at its port under a new device address, as a real device re-enumerates
    } else {
      ports_[index] = static_cast<std::uint8_t>(ports_[index] + kOtherPortStep);
      rig_->Bus().Plug(unit, ports_[index]);
    }
    return LocationOf(ports_[index]);
  }
  std::uint64_t RequestsSeen(std::size_t index) override { return rig_->Unit(index).ExchangeCount(); }
  Clock* InjectedClock() override { return nullptr; }
  std::size_t OpenHandles() override { return rig_->Usb().OpenHandleCount() + rig_->Units().OpenHandleCount(); }

 private:
  std::unique_ptr<LibusbRig> rig_;  // its end checks that both sides closed everything
  std::vector<std::uint8_t> ports_;
  Return returns_ = Return::SamePort;
};
}  // namespace

INSTANTIATE_TEST_SUITE_P(Libusb, UsbContract,
                         ::testing::Values(BenchMaker{"libusb", [] { return std::make_unique<LibusbBench>(); }}),
                         BenchName);
