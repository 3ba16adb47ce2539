#pragma once
// Runs the thread's window messages until `done` while the loader's worker runs on; a guard of real time ends
// a hang as a failure of the test.

#include <windows.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

inline void PumpMessagesUntil(const std::function<bool()>& done) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done()) {
    ASSERT_LT(std::chrono::steady_clock::now(), limit) << "timed out";
    MSG message;
    if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    } else {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);  // the worker runs meanwhile
    }
  }
}
