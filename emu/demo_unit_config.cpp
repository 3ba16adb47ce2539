#include "emu/demo_unit_config.h"

#include <cstdlib>
#include <optional>
#include <string_view>

#include "emu/emulated_usb.h"

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

// What DEMO_TIMING=realistic gives, the default.
UnitTiming RealisticTiming() {
  UnitTiming timing = UnitTiming::FullSpeed();
  // The demo's clock is the real one, whose shortest sleeps last longer than a millisecond: the unit's short
  // waits are gathered so that the update lasts as long as on the unit.
  timing.minimumWaitMs = DEMO_MINIMUM_WAIT_MS;
  return timing;
}

// The unit that a prefix "K:" at the start of `item` names (K decimal 1 to 16, no leading zero), with the
// prefix's length; 0 when the item has none.
std::size_t UnitPrefix(std::string_view item, std::size_t* length) {
  const std::size_t colon = item.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon > 2 || item[0] == '0') return 0;
  std::size_t unit = 0;
  for (char c : item.substr(0, colon)) {
    if (c < '0' || c > '9') return 0;
    unit = unit * 10 + static_cast<std::size_t>(c - '0');
  }
  if (unit > MAX_DEMO_UNITS) return 0;
  *length = colon + 1;
  return unit;
}

// A value's items: split at every comma, or, for a free text that may hold commas, only at a comma that a unit
// prefix follows.
std::vector<std::string_view> Items(std::string_view value, bool freeText) {
  std::vector<std::string_view> items;
  std::size_t start = 0;
  for (std::size_t comma = value.find(','); comma != std::string_view::npos; comma = value.find(',', comma + 1)) {
    std::size_t length = 0;
    if (freeText && UnitPrefix(value.substr(comma + 1), &length) == 0) continue;
    items.push_back(value.substr(start, comma - start));
    start = comma + 1;
  }
  items.push_back(value.substr(start));
  return items;
}

void AddProblem(DemoTraySettings& tray, const char* name, std::string_view item, const std::string& why) {
  tray.problems.push_back(std::string(name) + "=" + std::string(item) + ": " + why);
}

// Reads each item of the variable once with `parse` (which returns why it refuses the text, or "") and hands
// the value to `apply` for every unit the item applies to, in the items' order: so the last one wins.
template <typename Value, typename Parse, typename Apply>
void ReadItems(const DemoLookup& lookup, const char* name, bool freeText, DemoTraySettings& tray, Parse parse,
               Apply apply) {
  const char* value = lookup(name);
  if (!value) return;
  const std::size_t count = tray.units.size();
  for (const std::string_view item : Items(value, freeText)) {
    std::size_t prefixLength = 0;
    const std::size_t unit = UnitPrefix(item, &prefixLength);  // 0: every unit
    if (unit > count) {
      AddProblem(tray, name, item, "no unit " + std::to_string(unit) + ": DEMO_UNITS is " + std::to_string(count));
      continue;
    }
    Value parsed{};
    const std::string why = parse(item.substr(prefixLength), &parsed);
    if (!why.empty()) {
      AddProblem(tray, name, item, why);
      continue;
    }
    for (std::size_t k = 1; k <= count; ++k) {
      if (unit == 0 || unit == k) apply(tray.units[k - 1], parsed);
    }
  }
}

}  // namespace

DemoTraySettings ReadDemoTraySettings(const DemoLookup& lookup) {
  DemoTraySettings tray;
  std::size_t count = 1;
  if (const char* units = lookup("DEMO_UNITS")) {
    std::uint64_t value = 0;
    std::string why = ReadNumber(units, MAX_DEMO_UNITS, &value);
    if (why.empty() && value == 0) why = "too small (at least 1)";
    if (why.empty()) {
      count = static_cast<std::size_t>(value);
    } else {
      AddProblem(tray, "DEMO_UNITS", units, why);
    }
  }
  DemoUnitSettings unit;
  unit.unit.timing = RealisticTiming();
  unit.unit.recordExchanges = false;  // a whole update would keep every block in memory
  tray.units.assign(count, unit);

  // No mode: no unit.
  ReadItems<std::optional<UnitMode>>(
      lookup, "DEMO_UNIT_MODE", false, tray,
      [](std::string_view text, std::optional<UnitMode>* mode) -> std::string {
        if (text == "bootloader") {
          *mode = UnitMode::Bootloader;
        } else if (text == "application") {
          *mode = UnitMode::Application;
        } else if (text == "old") {
          *mode = UnitMode::OldApplication;
        } else if (text == "none") {
          *mode = std::nullopt;
        } else {
          return "not bootloader, application, old or none";
        }
        return "";
      },
      [](DemoUnitSettings& settings, const std::optional<UnitMode>& mode) {
        settings.attached = mode.has_value();
        if (mode) settings.unit.mode = *mode;
      });
  ReadItems<std::string>(
      lookup, "DEMO_APP_VERSION", true, tray,
      [](std::string_view text, std::string* version) {
        *version = std::string(text);
        return std::string();
      },
      [](DemoUnitSettings& settings, const std::string& version) { settings.unit.application.version = version; });
  ReadItems<bool>(
      lookup, "DEMO_BOOT2_FLAG", false, tray,
      [](std::string_view text, bool* flag) -> std::string {
        if (text != "0" && text != "1") return "not 0 or 1";
        *flag = text == "1";
        return "";
      },
      [](DemoUnitSettings& settings, bool flag) { settings.unit.bootloader2.valid = flag; });
  ReadItems<std::uint32_t>(
      lookup, "DEMO_HWID", false, tray,
      [](std::string_view text, std::uint32_t* id) {
        std::uint64_t value = 0;
        const std::string why = ReadNumber(text, MAX_WORD, &value);
        *id = static_cast<std::uint32_t>(value);
        return why;
      },
      [](DemoUnitSettings& settings, std::uint32_t id) { settings.unit.hardwareId = id; });
  ReadItems<UnitTiming>(
      lookup, "DEMO_TIMING", false, tray,
      [](std::string_view text, UnitTiming* timing) -> std::string {
        if (text == "fast") {
          *timing = UnitTiming::Instant();
        } else if (text == "realistic") {
          *timing = RealisticTiming();  // set, not left: an earlier item may have made this unit fast
        } else {
          return "not realistic or fast";
        }
        return "";
      },
      [](DemoUnitSettings& settings, const UnitTiming& timing) { settings.unit.timing = timing; });
  // An empty item ("a,,b") is no fault.
  ReadItems<std::optional<Fault>>(
      lookup, "DEMO_FAULT", false, tray,
      [](std::string_view text, std::optional<Fault>* fault) -> std::string {
        if (text.empty()) return "";
        fault->emplace();
        return ReadFault(text, &**fault);
      },
      [](DemoUnitSettings& settings, const std::optional<Fault>& fault) {
        if (fault) settings.faults.push_back(*fault);
      });
  return tray;
}

DemoUnitSettings ReadDemoUnitSettings(const DemoLookup& lookup) {
  DemoTraySettings tray = ReadDemoTraySettings(lookup);
  DemoUnitSettings first = std::move(tray.units.front());
  first.problems = std::move(tray.problems);
  return first;
}

DemoTraySettings ReadDemoTraySettingsFromEnvironment() {
  return ReadDemoTraySettings([](const char* name) { return std::getenv(name); });
}

DemoUnitSettings ReadDemoUnitSettingsFromEnvironment() {
  return ReadDemoUnitSettings([](const char* name) { return std::getenv(name); });
}

void AttachDemoUnits(EmulatedUsb& bus, const DemoTraySettings& tray) {
  for (const DemoUnitSettings& settings : tray.units) {
    // Added even when absent: the bus numbers ports in the order units are added, so unit K stays on port K.
    EmulatedUnit& unit = bus.AddUnit(settings.unit);
    if (!settings.attached) {
      unit.Unplug();
      continue;
    }
    for (const Fault& fault : settings.faults) unit.AddFault(fault);
  }
}
