#include "platform/win32/demo_unit_config.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "usb/usb_block.h"

namespace {

constexpr std::uint32_t DEMO_MINIMUM_WAIT_MS = 20;

bool ParseNumber(std::string_view text, std::uint64_t* value) {
  if (text.empty()) return false;
  const std::string copy(text);
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(copy.c_str(), &end, 0);
  if (end == copy.c_str() || *end != '\0' || copy[0] == '-') return false;
  *value = parsed;
  return true;
}

// kind[@exchange][=value]
bool ParseFault(std::string_view item, Fault* fault) {
  const std::size_t equals = item.find('=');
  const std::string_view valueText = equals == std::string_view::npos ? std::string_view() : item.substr(equals + 1);
  item = item.substr(0, equals);
  const std::size_t at = item.find('@');
  const std::string_view exchangeText = at == std::string_view::npos ? std::string_view() : item.substr(at + 1);
  item = item.substr(0, at);
  const FaultKindInfo* known = FindFaultKind(item);
  if (!known) return false;
  *fault = Fault{};
  fault->kind = known->kind;
  fault->blockId = known->blockId;
  fault->value = known->value;
  if (at != std::string_view::npos && !ParseNumber(exchangeText, &fault->exchange)) return false;
  if (equals != std::string_view::npos) {
    std::uint64_t value = 0;
    if (!ParseNumber(valueText, &value) || value > 0xFFFFFFFFu) return false;
    fault->value = static_cast<std::uint32_t>(value);
  }
  return true;
}

}  // namespace

DemoUnitSettings ReadDemoUnitSettings(const std::function<const char*(const char*)>& lookup) {
  DemoUnitSettings settings;
  settings.unit.timing = UnitTiming::FullSpeed();
  // The demo's clock is the real one, whose shortest sleeps last longer than a millisecond: the unit's short
  // waits are gathered so that the update lasts as long as on the unit.
  settings.unit.timing.minimumWaitMs = DEMO_MINIMUM_WAIT_MS;
  settings.unit.recordExchanges = false;  // a whole update would keep every block in memory
  auto problem = [&settings](const char* name, const char* value) {
    settings.problems.push_back(std::string(name) + "=" + value);
  };

  if (const char* mode = lookup("DEMO_UNIT_MODE")) {
    const std::string_view m(mode);
    if (m == "bootloader") {
      settings.unit.mode = UnitMode::Bootloader;
    } else if (m == "application") {
      settings.unit.mode = UnitMode::Application;
    } else if (m == "old") {
      settings.unit.mode = UnitMode::OldApplication;
    } else if (m == "none") {
      settings.attached = false;
    } else {
      problem("DEMO_UNIT_MODE", mode);
    }
  }
  if (const char* version = lookup("DEMO_APP_VERSION")) settings.unit.application.version = version;
  if (const char* flag = lookup("DEMO_BOOT2_FLAG")) {
    const std::string_view f(flag);
    if (f == "0" || f == "1") {
      settings.unit.bootloader2.valid = f == "1";
    } else {
      problem("DEMO_BOOT2_FLAG", flag);
    }
  }
  if (const char* id = lookup("DEMO_HWID")) {
    std::uint64_t value = 0;
    if (ParseNumber(id, &value) && value <= 0xFFFFFFFFu) {
      settings.unit.hardwareId = static_cast<std::uint32_t>(value);
    } else {
      problem("DEMO_HWID", id);
    }
  }
  if (const char* timing = lookup("DEMO_TIMING")) {
    const std::string_view t(timing);
    if (t == "fast") {
      settings.unit.timing = UnitTiming::Instant();
    } else if (t != "realistic") {
      problem("DEMO_TIMING", timing);
    }
  }
  if (const char* faults = lookup("DEMO_FAULT")) {
    std::string_view rest(faults);
    while (!rest.empty()) {
      const std::size_t comma = rest.find(',');
      const std::string_view item = rest.substr(0, comma);
      Fault fault;
      if (ParseFault(item, &fault)) {
        settings.faults.push_back(fault);
      } else if (!item.empty()) {
        problem("DEMO_FAULT", std::string(item).c_str());
      }
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
  }
  return settings;
}

DemoUnitSettings ReadDemoUnitSettingsFromEnvironment() {
  return ReadDemoUnitSettings([](const char* name) { return std::getenv(name); });
}
