// The DLL search restriction every Windows program makes first: the flag it asks for, and the end of the
// program when the system refuses. The system's own call is never made here: it would change how this test
// process loads libraries for every test after it (and its presence is checked in the programs' import tables).

#include "platform/win32/safe_dll_search.h"

#include <gtest/gtest.h>

namespace {

int g_calls = 0;
DWORD g_flags = 0;

BOOL WINAPI Accepts(DWORD flags) {
  ++g_calls;
  g_flags = flags;
  return TRUE;
}

BOOL WINAPI Refuses(DWORD flags) {
  ++g_calls;
  g_flags = flags;
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

TEST(SafeDllSearchTest, AsksForTheSystemFolderOnly) {
  g_calls = 0;
  EXPECT_TRUE(RestrictDllSearchToSystemFolder(Accepts, DllSearchReport::StandardError));
  EXPECT_EQ(g_calls, 1);
  EXPECT_EQ(g_flags, static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32));
}

TEST(SafeDllSearchTest, ARefusalEndsTheProgram) {
  g_calls = 0;
  EXPECT_FALSE(RestrictDllSearchToSystemFolder(Refuses, DllSearchReport::StandardError));
  EXPECT_EQ(g_calls, 1);
}

}  // namespace
