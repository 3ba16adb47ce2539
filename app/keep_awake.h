#pragma once
// Keeps the PC from going to sleep while something that must not be cut off runs (an update writes the unit's
// flash). Hold and Release are idempotent: a second Hold or a Release without Hold changes nothing.

class KeepAwake {
 public:
  virtual ~KeepAwake() = default;
  virtual void Hold() = 0;
  virtual void Release() = 0;
};
