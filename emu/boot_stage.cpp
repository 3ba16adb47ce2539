#include "emu/boot_stage.h"

std::optional<UnitSlot> ChooseBootCopy(BootRule rule, const BootQuestions& ask) {
  bool tried[2] = {false, false};
  for (std::size_t i = 0; i < 2; ++i) {
    const UnitSlot copy = UNIT_BOOT_COPIES[i];
    if (!ask.flagSet(copy)) continue;
    switch (rule) {
      case BootRule::Flags:
        return copy;
      case BootRule::FlagOnly:
        // The flag is trusted: the copy runs, and crashes if its content is damaged.
        if (ask.contentGood(copy)) return copy;
        return std::nullopt;
      case BootRule::Checked:
        if (ask.contentGood(copy)) return copy;
        tried[i] = true;
        break;
    }
  }
  if (rule != BootRule::Checked) return std::nullopt;
  // No flagged copy is whole: the other copy, if its content matches its seal.
  for (std::size_t i = 0; i < 2; ++i) {
    if (!tried[i] && ask.contentGood(UNIT_BOOT_COPIES[i])) return UNIT_BOOT_COPIES[i];
  }
  return std::nullopt;
}
