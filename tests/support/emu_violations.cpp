#include "support/emu_violations.h"

namespace {
void FailRunningTest(const std::string& text) { ADD_FAILURE() << "emulated USB violation: " << text; }

// Installed before main: every test program that links the emulated unit reports its violations.
const bool g_installed = [] {
  SetUsbViolationSink(FailRunningTest);
  return true;
}();
}  // namespace
