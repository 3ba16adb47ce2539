#include "platform/win32/win32_keep_awake.h"

void Win32KeepAwake::Hold() {
  if (held_) return;
  // Continuous: the request stays until it is replaced, not just a reset of the idle timer. Its result (the
  // previous state, or 0 for a failure that cannot be told from a previous state of 0) is not needed: the
  // release is harmless either way.
  setState_(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  held_ = true;
}

void Win32KeepAwake::Release() {
  if (!held_) return;
  setState_(ES_CONTINUOUS);
  held_ = false;
}
