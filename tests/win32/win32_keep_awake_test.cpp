// Keeping the PC awake on Windows: what the thread's execution state is asked, recorded in place of the system.

#include "platform/win32/win32_keep_awake.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<EXECUTION_STATE> g_asked;

EXECUTION_STATE WINAPI RecordState(EXECUTION_STATE state) {
  g_asked.push_back(state);
  return ES_CONTINUOUS;
}

constexpr EXECUTION_STATE kAwake = ES_CONTINUOUS | ES_SYSTEM_REQUIRED;
constexpr EXECUTION_STATE kReleased = ES_CONTINUOUS;

TEST(Win32KeepAwakeTest, EachHoldAndReleaseAsksOnceHoweverOftenItIsCalled) {
  const struct {
    const char* calls;  // H: Hold, R: Release, then the end of the holder
    std::vector<EXECUTION_STATE> asked;
  } cases[] = {
      {"HR", {kAwake, kReleased}},
      {"HHR", {kAwake, kReleased}},
      {"HRR", {kAwake, kReleased}},
      {"R", {}},
      {"", {}},
      {"HRHR", {kAwake, kReleased, kAwake, kReleased}},
      {"H", {kAwake, kReleased}},  // a holder that goes releases what it holds
      {"RHH", {kAwake, kReleased}},
  };
  for (const auto& c : cases) {
    g_asked.clear();
    {
      Win32KeepAwake keepAwake(RecordState);
      KeepAwake& awake = keepAwake;
      for (const char* call = c.calls; *call != '\0'; ++call) {
        if (*call == 'H') awake.Hold();
        if (*call == 'R') awake.Release();
      }
    }
    EXPECT_EQ(g_asked, c.asked) << c.calls;
  }
}

// The real system call takes both requests (the state belongs to this thread and is given back at once).
TEST(Win32KeepAwakeTest, TheSystemTakesTheRequests) {
  Win32KeepAwake keepAwake;
  keepAwake.Hold();
  const EXECUTION_STATE now = SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  keepAwake.Release();
  EXPECT_NE(now, 0u);
}

}  // namespace
