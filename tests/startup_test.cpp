#include "app/startup.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/trace_capture.h"

using ::testing::ElementsAre;

namespace {

// Records the order of start-up's calls. Each window's end sets the restart flag from a script.
class FakeStartup final : public StartupPlatform {
 public:
  explicit FakeStartup(std::int32_t& restartFlag) : restartFlag_(restartFlag) {}

  int registryResult = 1;
  bool windowFails = false;
  std::vector<std::uint16_t> languages = {1033};  // read before each window, the last one repeats
  std::vector<std::int32_t> restartAfter = {0};   // the flag each window leaves, the last one repeats
  std::vector<std::string> calls;

  int CheckTavikRegistry() override {
    calls.push_back("registry");
    return registryResult;
  }
  std::uint16_t ReadUiLanguage() override {
    const std::uint16_t id = languages[std::min(windows_, languages.size() - 1)];
    calls.push_back("read " + std::to_string(id));
    return id;
  }
  void SetInterfaceLanguage(std::uint16_t id) override { calls.push_back("language " + std::to_string(id)); }
  bool CreateMainWindow() override {
    calls.push_back("window");
    return !windowFails;
  }
  void RunMessageLoop() override {
    calls.push_back("loop");
    const std::int32_t after = restartAfter[std::min(windows_, restartAfter.size() - 1)];
    if (after >= 0) restartFlag_ = after;  // -1: the window ends without touching the flag
    ++windows_;
  }

 private:
  std::int32_t& restartFlag_;
  std::size_t windows_ = 0;
};

}  // namespace

TEST(Startup, AFailedRegistryCheckEndsWithMinusOneAndNoWindow) {
  std::int32_t flag = 0;
  FakeStartup platform(flag);
  platform.registryResult = 0;
  TraceCapture trace;
  EXPECT_EQ(RunApplication(platform, flag), -1);
  EXPECT_THAT(platform.calls, ElementsAre("registry"));
  EXPECT_THAT(trace.Lines(),
              ElementsAre("[Tavik_FW_Update] Start Application\r\n",
                          "[Tavik_FW_Update] Exit Application: rc = -1 (CheckTavikRegistry failed!)\r\n"));
}

TEST(Startup, OneWindowThenTheEnd) {
  std::int32_t flag = 0;
  FakeStartup platform(flag);
  platform.languages = {1036};
  TraceCapture trace;
  EXPECT_EQ(RunApplication(platform, flag), 0);
  EXPECT_THAT(platform.calls, ElementsAre("registry", "read 1036", "language 1036", "window", "loop"));
  EXPECT_THAT(trace.Texts(), ElementsAre("Start Application", "Exit Application: rc = 0"));
}

TEST(Startup, AChangeOfLanguageBringsTheWindowBackInTheNewLanguage) {
  std::int32_t flag = 0;
  FakeStartup platform(flag);
  platform.languages = {1033, 1031, 3082};
  platform.restartAfter = {1, 1, 0};
  EXPECT_EQ(RunApplication(platform, flag), 0);
  EXPECT_THAT(platform.calls,
              ElementsAre("registry", "read 1033", "language 1033", "window", "loop", "read 1031", "language 1031",
                          "window", "loop", "read 3082", "language 3082", "window", "loop"));
}

TEST(Startup, AStaleRestartFlagDoesNotBringBackAWindowThatEndedOtherwise) {
  std::int32_t flag = 1;  // left over from an earlier window
  FakeStartup platform(flag);
  platform.restartAfter = {-1};
  EXPECT_EQ(RunApplication(platform, flag), 0);
  EXPECT_EQ(std::count(platform.calls.begin(), platform.calls.end(), "window"), 1);
}

TEST(Startup, AWindowThatCannotBeMadeEndsWithMinusOneInsteadOfWaitingForEver) {
  std::int32_t flag = 0;
  FakeStartup platform(flag);
  platform.windowFails = true;
  TraceCapture trace;
  EXPECT_EQ(RunApplication(platform, flag), -1);
  EXPECT_THAT(platform.calls, ElementsAre("registry", "read 1033", "language 1033", "window"));
  EXPECT_THAT(trace.Texts(), ElementsAre("Start Application", "Exit Application: rc = -1 (main window not created!)"));
}
