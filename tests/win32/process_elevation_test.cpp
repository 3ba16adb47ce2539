// The process's elevation as the program asks it: the token's TokenElevation, and Wine's tokens (every one a
// full administrator's, with no right beyond the Unix user's) counted as not elevated.

#include <windows.h>
#include <gtest/gtest.h>

#include "platform/program_context.h"
#include "platform/win32/win32_process_elevation.h"

namespace {

TEST(ProcessElevationTest, TheTokensAnswerExceptUnderWine) {
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const BOOL read = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
  CloseHandle(token);
  ASSERT_TRUE(read);
  EXPECT_EQ(ProcessTokenIsElevated(), elevation.TokenIsElevated != 0);

  Win32ProcessElevation program;
  if (UnderWine()) {
    EXPECT_FALSE(program.IsElevated());
  } else {
    EXPECT_EQ(program.IsElevated(), elevation.TokenIsElevated != 0);
  }
  EXPECT_EQ(ProgramContext().elevation, &PlatformElevation());
}

}  // namespace
