#include "app/startup.h"

#include "app/trace.h"

int RunApplication(StartupPlatform& platform, std::int32_t& restartFlag) {
  Trace("Start Application");
  if (platform.CheckTavikRegistry() == 0) {
    Trace("Exit Application: rc = -1 (CheckTavikRegistry failed!)");
    return EXIT_CODE_FAILED;
  }

  do {
    // Only this window's own change of language may bring it back, not one of an earlier window.
    restartFlag = 0;
    platform.SetInterfaceLanguage(platform.ReadUiLanguage());
    // Without a window no quit message would ever come: the loop would wait for ever.
    if (!platform.CreateMainWindow()) {
      Trace("Exit Application: rc = -1 (main window not created!)");
      return EXIT_CODE_FAILED;
    }
    platform.RunMessageLoop();
  } while (restartFlag != 0);

  Trace("Exit Application: rc = 0");
  return EXIT_CODE_OK;
}
