// Text from the unit as it is shown: control bytes and what is not UTF-8 escaped, everything else kept.

#include "app/unit_text.h"

#include <gtest/gtest.h>

#include <string>

TEST(UnitText, EscapesControlsAndBrokenUtf8AndKeepsTheRest) {
  struct Case {
    const char* name;
    std::string text;
    std::string shown;
  };
  const Case cases[] = {
      {"plain version", "001.005.010", "001.005.010"},
      {"empty", "", ""},
      {"escape sequence", "\x1b]0;x\x07\x1b[2K1.0", "\\x1b]0;x\\x07\\x1b[2K1.0"},
      {"CR LF", "1.0\r\nforged", "1.0\\x0d\\x0aforged"},
      {"TAB", "a\tb", "a\\x09b"},
      {"DEL", "a\x7f", "a\\x7f"},
      {"NUL inside", std::string("a\0b", 3), "a\\x00b"},
      {"0xFF", "1.0\xff", "1.0\\xff"},
      {"0x80 alone", "\x80", "\\x80"},
      {"raw C1 CSI",
       "\x9b"
       "2J",
       "\\x9b2J"},
      {"C1 as UTF-8 (U+009B)",
       "\xc2\x9b"
       "2J",
       "\\xc2\\x9b2J"},
      {"overlong slash", "\xc0\xaf", "\\xc0\\xaf"},
      {"overlong three bytes", "\xe0\x80\xaf", "\\xe0\\x80\\xaf"},
      {"surrogate U+D800", "\xed\xa0\x80", "\\xed\\xa0\\x80"},
      {"past U+10FFFF", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
      {"cut at the end, 3 of 4", "v\xf0\x9f\x98", "v\\xf0\\x9f\\x98"},
      {"cut before an ASCII byte",
       "\xc3"
       "A",
       "\\xc3A"},
      {"two bytes (U+00E9, U+00A0)",
       "r\xc3\xa9vision\xc2\xa0"
       "2",
       "r\xc3\xa9vision\xc2\xa0"
       "2"},
      {"three bytes (U+20AC)", "\xe2\x82\xac", "\xe2\x82\xac"},
      {"four bytes (U+1F600)", "\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
      {"highest code point", "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
      {"a backslash stays", "a\\b", "a\\b"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UnitText(c.text), c.shown) << c.name;
  }
}

TEST(UnitText, WhatItShowsHasNoControlByteAndIsUtf8) {
  // Every single byte and every pair of bytes: the result is printable ASCII or a well-formed character above
  // U+009F, so escaping again changes nothing.
  for (int first = 0; first < 256; ++first) {
    for (int second = 0; second < 256; ++second) {
      const std::string text{static_cast<char>(first), static_cast<char>(second)};
      const std::string shown = UnitText(text);
      ASSERT_EQ(UnitText(shown), shown) << first << ' ' << second;
      for (const char c : shown) {
        const auto byte = static_cast<unsigned char>(c);
        ASSERT_TRUE(byte >= 0x20 && byte != 0x7F) << first << ' ' << second;
      }
    }
  }
}
