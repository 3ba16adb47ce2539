#pragma once
// The process's start and its main loop: the driver registry check, then, for as long as the main window
// ends with a change of language, the interface language, the main window and its message loop.

#include <cstdint>

// What start-up needs of the platform and of the other parts of the program.
class StartupPlatform {
 public:
  virtual ~StartupPlatform() = default;
  // Nonzero when the driver's registry entries are right (possibly after repair).
  virtual int CheckTavikRegistry() = 0;
  virtual std::uint16_t ReadUiLanguage() = 0;
  // Makes the language the one that the thread's dialogs, strings and messages come in.
  virtual void SetInterfaceLanguage(std::uint16_t languageId) = 0;
  // The main window, modeless and without owner, shown normally; false when it could not be created.
  virtual bool CreateMainWindow() = 0;
  // Gets and dispatches the thread's messages until the quit message arrives.
  virtual void RunMessageLoop() = 0;
};

inline constexpr int EXIT_CODE_OK = 0;
inline constexpr int EXIT_CODE_FAILED = -1;

// The whole run of the program; returns the process's exit code. `restartFlag` is set by the main window
// (1 after a change of language, 0 when the user closes it).
int RunApplication(StartupPlatform& platform, std::int32_t& restartFlag);
