#pragma once
// The process's elevation on Windows: the token's TokenElevation (app/process_elevation.h).

#include "app/process_elevation.h"

// Whether the process runs under Wine.
bool UnderWine();

// Whether the process's token is elevated; a token that cannot be read counts as elevated.
bool ProcessTokenIsElevated();

class Win32ProcessElevation final : public ProcessElevation {
 public:
  // The token's answer, except under Wine: Wine gives every process a full administrator's token that has no
  // right beyond those of the Unix user running it, so there is no boundary that a planted link could carry a
  // write across.
  bool IsElevated() override { return !UnderWine() && ProcessTokenIsElevated(); }
};
