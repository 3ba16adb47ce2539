#pragma once
// A lock's result as one letter, for the lock tests' reports between processes (T taken, B busy, F failed).

#include "app/unit_lock.h"

inline char Code(UnitLockResult result) {
  switch (result) {
    case UnitLockResult::Taken:
      return 'T';
    case UnitLockResult::Busy:
      return 'B';
    case UnitLockResult::Failed:
      return 'F';
  }
  return '?';
}
