#include "platform/win32/demo_unit_config.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

constexpr std::uint32_t DEMO_COMEBACK_MS = 3000;

struct FaultName {
  const char* name;
  FaultKind kind;
  std::uint8_t mask;
};
constexpr FaultName FAULT_NAMES[] = {
    {"drop", FaultKind::DropAnswer, 0},        {"badcrc", FaultKind::BadCrc, 0},
    {"wrongid", FaultKind::WrongId, 0},        {"wrongaddress", FaultKind::WrongAddress, 0},
    {"wronglength", FaultKind::WrongLength, 0}, {"wrongdata", FaultKind::WrongData, 0xFF},
    {"shortread", FaultKind::ShortRead, 0},    {"transient", FaultKind::TransientBitError, 0x01},
    {"stuck", FaultKind::StuckBit, 0x01},      {"slowerase", FaultKind::SlowErase, 0},
    {"unplug", FaultKind::Unplug, 0},          {"powerloss", FaultKind::PowerLoss, 0},
};

bool ParseNumber(std::string_view text, std::uint64_t* value) {
  if (text.empty()) return false;
  const std::string copy(text);
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(copy.c_str(), &end, 0);
  if (end == copy.c_str() || *end != '\0' || copy[0] == '-') return false;
  *value = parsed;
  return true;
}

bool ParseFault(std::string_view item, Fault* fault) {
  const std::size_t at = item.find('@');
  const std::string_view name = item.substr(0, at);
  for (const FaultName& known : FAULT_NAMES) {
    if (name != known.name) continue;
    *fault = Fault{};
    fault->kind = known.kind;
    fault->mask = known.mask;
    if (known.kind == FaultKind::Unplug || known.kind == FaultKind::PowerLoss) fault->value = DEMO_COMEBACK_MS;
    if (at == std::string_view::npos) return true;
    return ParseNumber(item.substr(at + 1), &fault->exchange);
  }
  return false;
}

}  // namespace

DemoUnitSettings ReadDemoUnitSettings(const std::function<const char*(const char*)>& lookup) {
  DemoUnitSettings settings;
  settings.unit.timing = UnitTiming::FullSpeed();
  settings.unit.recordExchanges = false;  // a whole update would keep every block in memory
  auto problem = [&settings](const char* name, const char* value) {
    settings.problems.push_back(std::string(name) + "=" + value);
  };

  if (const char* mode = lookup("DEMO_UNIT_MODE")) {
    const std::string_view m(mode);
    if (m == "bootloader") settings.unit.mode = UnitMode::Bootloader;
    else if (m == "application") settings.unit.mode = UnitMode::Application;
    else if (m == "old") settings.unit.mode = UnitMode::OldApplication;
    else if (m == "none") settings.attached = false;
    else problem("DEMO_UNIT_MODE", mode);
  }
  if (const char* version = lookup("DEMO_APP_VERSION")) settings.unit.application.version = version;
  if (const char* flag = lookup("DEMO_BOOT2_FLAG")) {
    const std::string_view f(flag);
    if (f == "0" || f == "1") settings.unit.bootloader2.valid = f == "1";
    else problem("DEMO_BOOT2_FLAG", flag);
  }
  if (const char* id = lookup("DEMO_HWID")) {
    std::uint64_t value = 0;
    if (ParseNumber(id, &value) && value <= 0xFFFFFFFFu) settings.unit.hardwareId = static_cast<std::uint32_t>(value);
    else problem("DEMO_HWID", id);
  }
  if (const char* timing = lookup("DEMO_TIMING")) {
    const std::string_view t(timing);
    if (t == "fast") settings.unit.timing = UnitTiming::Instant();
    else if (t != "realistic") problem("DEMO_TIMING", timing);
  }
  if (const char* faults = lookup("DEMO_FAULT")) {
    std::string_view rest(faults);
    while (!rest.empty()) {
      const std::size_t comma = rest.find(',');
      const std::string_view item = rest.substr(0, comma);
      Fault fault;
      if (ParseFault(item, &fault)) settings.faults.push_back(fault);
      else if (!item.empty()) problem("DEMO_FAULT", std::string(item).c_str());
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
  }
  return settings;
}

DemoUnitSettings ReadDemoUnitSettingsFromEnvironment() {
  return ReadDemoUnitSettings([](const char* name) { return std::getenv(name); });
}
