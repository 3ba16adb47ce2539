#include "emu/demo_unit_config.h"

#include <cstdlib>
#include <string_view>

namespace {

constexpr std::uint32_t DEMO_MINIMUM_WAIT_MS = 20;
constexpr std::uint64_t MAX_WORD = 0xFFFFFFFFu;
constexpr std::uint64_t MAX_EXCHANGE = ANY_EXCHANGE - 1;  // ANY_EXCHANGE itself means "any request"

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A number is decimal without leading zeros, or 0x and hex digits: nothing else, not even a blank or a sign, so
// that "010" is not read as octal 8 and " -5" does not wrap around. Returns why the text is not one, or "".
std::string ReadNumber(std::string_view text, std::uint64_t max, std::uint64_t* value) {
  const bool hex = text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string_view digits = hex ? text.substr(2) : text;
  const std::uint64_t base = hex ? 16 : 10;
  if (digits.empty()) return "no number (decimal, or 0x and hex digits)";
  if (!hex && digits.size() > 1 && digits[0] == '0') {
    return "a leading zero (a number is decimal without leading zeros, or 0x and hex digits)";
  }
  std::uint64_t result = 0;
  for (char c : digits) {
    const int digit = HexDigit(c);
    if (digit < 0 || static_cast<std::uint64_t>(digit) >= base) {
      return "not a number (decimal, or 0x and hex digits; no blanks or signs)";
    }
    if (result > (max - static_cast<std::uint64_t>(digit)) / base) {
      return "too large (at most " + std::to_string(max) + ")";
    }
    result = result * base + static_cast<std::uint64_t>(digit);
  }
  *value = result;
  return "";
}

// kind[@exchange][=value]; returns why the item is refused, or "".
std::string ReadFault(std::string_view item, Fault* fault) {
  const std::size_t equals = item.find('=');
  const std::string_view valueText = equals == std::string_view::npos ? std::string_view() : item.substr(equals + 1);
  item = item.substr(0, equals);
  const std::size_t at = item.find('@');
  const std::string_view exchangeText = at == std::string_view::npos ? std::string_view() : item.substr(at + 1);
  item = item.substr(0, at);
  const FaultKindInfo* known = FindFaultKind(item);
  if (!known) return "no such fault kind";
  *fault = Fault{};
  fault->kind = known->kind;
  fault->blockId = known->blockId;
  fault->value = known->value;
  if (at != std::string_view::npos) {
    const std::string why = ReadNumber(exchangeText, MAX_EXCHANGE, &fault->exchange);
    if (!why.empty()) return "the exchange: " + why;
  }
  if (equals != std::string_view::npos) {
    std::uint64_t value = 0;
    const std::string why = ReadNumber(valueText, MAX_WORD, &value);
    if (!why.empty()) return "the value: " + why;
    fault->value = static_cast<std::uint32_t>(value);
  }
  return "";
}

}  // namespace

DemoUnitSettings ReadDemoUnitSettings(const std::function<const char*(const char*)>& lookup) {
  DemoUnitSettings settings;
  settings.unit.timing = UnitTiming::FullSpeed();
  // The demo's clock is the real one, whose shortest sleeps last longer than a millisecond: the unit's short
  // waits are gathered so that the update lasts as long as on the unit.
  settings.unit.timing.minimumWaitMs = DEMO_MINIMUM_WAIT_MS;
  settings.unit.recordExchanges = false;  // a whole update would keep every block in memory
  auto problem = [&settings](const char* name, std::string_view value, const std::string& why) {
    settings.problems.push_back(std::string(name) + "=" + std::string(value) + ": " + why);
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
      problem("DEMO_UNIT_MODE", mode, "not bootloader, application, old or none");
    }
  }
  if (const char* version = lookup("DEMO_APP_VERSION")) settings.unit.application.version = version;
  if (const char* flag = lookup("DEMO_BOOT2_FLAG")) {
    const std::string_view f(flag);
    if (f == "0" || f == "1") {
      settings.unit.bootloader2.valid = f == "1";
    } else {
      problem("DEMO_BOOT2_FLAG", flag, "not 0 or 1");
    }
  }
  if (const char* id = lookup("DEMO_HWID")) {
    std::uint64_t value = 0;
    const std::string why = ReadNumber(id, MAX_WORD, &value);
    if (why.empty()) {
      settings.unit.hardwareId = static_cast<std::uint32_t>(value);
    } else {
      problem("DEMO_HWID", id, why);
    }
  }
  if (const char* timing = lookup("DEMO_TIMING")) {
    const std::string_view t(timing);
    if (t == "fast") {
      settings.unit.timing = UnitTiming::Instant();
    } else if (t != "realistic") {
      problem("DEMO_TIMING", timing, "not realistic or fast");
    }
  }
  if (const char* faults = lookup("DEMO_FAULT")) {
    std::string_view rest(faults);
    while (!rest.empty()) {
      const std::size_t comma = rest.find(',');
      const std::string_view item = rest.substr(0, comma);
      Fault fault;
      if (!item.empty()) {
        const std::string why = ReadFault(item, &fault);
        if (why.empty()) {
          settings.faults.push_back(fault);
        } else {
          problem("DEMO_FAULT", item, why);
        }
      }
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
  }
  return settings;
}

DemoUnitSettings ReadDemoUnitSettingsFromEnvironment() {
  return ReadDemoUnitSettings([](const char* name) { return std::getenv(name); });
}
