#pragma once
// The emulated unit's boot stage: at power-up it chooses the bootloader copy to start, as dual-copy bootloaders
// do, by flag and by content.
//
//   BootRule::Flags     the plain unit: the first copy whose flag is set starts (copy 1 before copy 2). Its flags
//                       are cleared as soon as a copy is touched, so a set flag always stands for a whole copy.
//   BootRule::Checked   a copy starts when its content matches the seal beside it (length and CRC-32, written by
//                       the FINISH that set its flag). The flagged copies are tried first (copy 1 before copy 2),
//                       then the others: a flag that was lost (a torn flag sector) costs nothing, and a flag never
//                       starts a copy whose content is damaged.
//   BootRule::FlagOnly  the control: the first flagged copy starts without a look at its content; if that content
//                       is not what its FINISH sealed, the copy crashes and the unit never comes up.
//
// Without a copy that starts, the unit is bricked.

#include <functional>
#include <optional>

#include "emu/unit_slots.h"

enum class BootRule { Flags, Checked, FlagOnly };

struct BootQuestions {
  std::function<bool(UnitSlot)> flagSet;      // as the boot stage reads the flag now
  std::function<bool(UnitSlot)> contentGood;  // Checked: matches its seal; FlagOnly: is what FINISH sealed
};

// The copy that starts, or none.
std::optional<UnitSlot> ChooseBootCopy(BootRule rule, const BootQuestions& ask);
