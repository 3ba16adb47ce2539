#include "app/trace.h"

#include <gtest/gtest.h>

#include <string>

#include "support/trace_capture.h"

namespace {
// Room for text behind the prefix, terminator excluded.
constexpr std::size_t kRoom = TRACE_TEXT_LIMIT - (sizeof(TRACE_PREFIX) - 1) - 1;

std::string OnlyLine(const TraceCapture& capture) {
  const auto lines = capture.Lines();
  EXPECT_EQ(lines.size(), 1u);
  return lines.empty() ? std::string() : lines.front();
}
}  // namespace

TEST(Trace, EmptyFormatGivesThePrefixWithoutItsBlank) {
  TraceCapture capture;
  Trace("%s", "");
  EXPECT_EQ(OnlyLine(capture), "[Tavik_FW_Update]\r\n");
}

TEST(Trace, TrailingWhiteSpaceCollapsesToOneCrLf) {
  struct Case {
    const char* text;
    const char* expected;
  };
  const Case cases[] = {
      {"Message: WM_DESTROY\n", "[Tavik_FW_Update] Message: WM_DESTROY\r\n"},
      {"many feeds\n\n\n\n", "[Tavik_FW_Update] many feeds\r\n"},
      {"blanks and tabs \t \r\n\v\f ", "[Tavik_FW_Update] blanks and tabs\r\n"},
      {"  inner  blanks stay", "[Tavik_FW_Update]   inner  blanks stay\r\n"},
      {"\n\n", "[Tavik_FW_Update]\r\n"},
      {"inner\r\n[Tavik_FW_Update] forged\n", "[Tavik_FW_Update] inner  [Tavik_FW_Update] forged\r\n"},
      {"lone\rreturn and\nfeed", "[Tavik_FW_Update] lone return and feed\r\n"},
  };
  for (const Case& c : cases) {
    TraceCapture capture;
    Trace("%s", c.text);
    EXPECT_EQ(OnlyLine(capture), c.expected) << c.text;
  }
}

TEST(Trace, TextIsCutAtTheRoomBehindThePrefix) {
  struct Case {
    std::size_t length;
    std::size_t kept;
  };
  const Case cases[] = {{kRoom - 1, kRoom - 1}, {kRoom, kRoom}, {kRoom + 1, kRoom}, {10000, kRoom}};
  for (const Case& c : cases) {
    TraceCapture capture;
    const std::string text(c.length, 'x');
    Trace("%s", text.c_str());
    const std::string line = OnlyLine(capture);
    EXPECT_EQ(line, std::string(TRACE_PREFIX) + std::string(c.kept, 'x') + "\r\n") << c.length;
    EXPECT_LE(line.size(), 4094u);
  }
}

TEST(Trace, ACutTextEndingInBlanksIsStillTrimmed) {
  TraceCapture capture;
  const std::string text = std::string(kRoom - 3, 'y') + "      tail";
  Trace("%s", text.c_str());
  EXPECT_EQ(OnlyLine(capture), std::string(TRACE_PREFIX) + std::string(kRoom - 3, 'y') + "\r\n");
}

TEST(Trace, PercentSignsInArgumentsAreNotFormattedAgain) {
  TraceCapture capture;
  Trace("Tavik: Program Device ...   %3d %%", 7);
  Trace("%s", "100% %d %s %n");
  Trace("value = %d, text = %s", -5, "%x");
  const auto texts = capture.Texts();
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0], "Tavik: Program Device ...     7 %");
  EXPECT_EQ(texts[1], "100% %d %s %n");
  EXPECT_EQ(texts[2], "value = -5, text = %x");
}
