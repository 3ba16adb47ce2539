// The shell request of the elevated start after the driver repair: everything as before, and the shell told to
// finish before the call returns, since the program ends right after it.

#include "platform/win32/elevated_start.h"

#include <gtest/gtest.h>

namespace {

TEST(ElevatedStartTest, AsksForRunasAndForTheShellToFinishBeforeReturning) {
  const wchar_t file[] = L"C:\\Program Files\\Updater \u0395\u03BB\\HelmetUpdater.exe";
  const wchar_t parameters[] = L"one two";
  const SHELLEXECUTEINFOW info = ElevatedStartInfo(file, parameters);

  EXPECT_EQ(info.cbSize, sizeof(SHELLEXECUTEINFOW));
  EXPECT_EQ(info.fMask, static_cast<ULONG>(SEE_MASK_NOASYNC));
  EXPECT_EQ(info.hwnd, nullptr);
  EXPECT_STREQ(info.lpVerb, L"runas");
  EXPECT_EQ(info.lpFile, file);
  EXPECT_EQ(info.lpParameters, parameters);
  EXPECT_EQ(info.lpDirectory, nullptr);
  EXPECT_EQ(info.nShow, SW_SHOWNORMAL);
  EXPECT_EQ(info.hInstApp, nullptr);
  EXPECT_EQ(info.lpIDList, nullptr);
  EXPECT_EQ(info.hProcess, nullptr);
}

}  // namespace
