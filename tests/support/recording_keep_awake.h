#pragma once
// A KeepAwake that records every call and whether the PC is held awake, for the tests of what holds it.

#include <string>
#include <vector>

#include "app/keep_awake.h"

class RecordingKeepAwake final : public KeepAwake {
 public:
  void Hold() override {
    calls.push_back("Hold");
    held = true;
  }
  void Release() override {
    calls.push_back("Release");
    held = false;
  }

  std::vector<std::string> calls;  // "Hold" and "Release", in order
  bool held = false;
};
