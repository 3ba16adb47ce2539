// Reading one string out of a string-table block, and the choice of the resource language.

#include "ui/ui_language.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

// A block of 16 counted strings; `texts` fills the first entries, the rest are empty.
std::vector<std::uint16_t> Block(const std::vector<std::u16string>& texts) {
  std::vector<std::uint16_t> block;
  for (std::size_t i = 0; i < 16; ++i) {
    const std::u16string text = i < texts.size() ? texts[i] : std::u16string();
    block.push_back(static_cast<std::uint16_t>(text.size()));
    block.insert(block.end(), text.begin(), text.end());
  }
  return block;
}

std::u16string Copied(const wchar_t (&buffer)[UI_TEXT_CAPACITY], int length) {
  std::u16string text;
  for (int i = 0; i < length; ++i) text.push_back(static_cast<char16_t>(buffer[i]));
  return text;
}

TEST(CopyStringFromBlock, FindsEachEntryOfTheBlock) {
  const std::vector<std::uint16_t> block = Block({u"", u"Tavik_FW_Update", u"\u00A1Iniciar!", u"a\nb"});
  struct Case {
    unsigned index;
    std::u16string text;
  };
  const Case cases[] = {{1, u"Tavik_FW_Update"}, {2, u"\u00A1Iniciar!"}, {3, u"a\nb"}};
  for (const Case& test : cases) {
    wchar_t buffer[UI_TEXT_CAPACITY];
    const int length = CopyStringFromBlock(block.data(), block.size(), test.index, buffer);
    EXPECT_EQ(Copied(buffer, length), test.text) << test.index;
    EXPECT_EQ(buffer[length], L'\0');
  }
}

TEST(CopyStringFromBlock, LastEntryOfAFullBlock) {
  std::vector<std::u16string> texts(16, u"x");
  texts[15] = u"last";
  const std::vector<std::uint16_t> block = Block(texts);
  wchar_t buffer[UI_TEXT_CAPACITY];
  EXPECT_EQ(Copied(buffer, CopyStringFromBlock(block.data(), block.size(), 15, buffer)), u"last");
}

TEST(CopyStringFromBlock, MissingTextsHaveNoLength) {
  const std::vector<std::uint16_t> block = Block({u"one", u"", u"three"});
  struct Case {
    const char* what;
    const std::uint16_t* data;
    std::size_t units;
    unsigned index;
  };
  const Case cases[] = {
      {"empty entry", block.data(), block.size(), 1},
      {"entry after the strings", block.data(), block.size(), 14},
      {"index past the block", block.data(), block.size(), 16},
      {"no block", nullptr, 0, 0},
      {"block cut inside the text", block.data(), 2, 0},           // count 3, one unit present
      {"block cut before the entry's count", block.data(), 4, 1},  // "one" only
      {"block cut after an empty entry", block.data(), 5, 2},      // "one" and the empty count only
  };
  for (const Case& test : cases) {
    wchar_t buffer[UI_TEXT_CAPACITY];
    buffer[0] = L'x';
    EXPECT_LE(CopyStringFromBlock(test.data, test.units, test.index, buffer), 0) << test.what;
    EXPECT_EQ(buffer[0], L'\0') << test.what;
  }
}

// A count that runs past the end of the block must not be followed.
TEST(CopyStringFromBlock, ACountPastTheBlockIsNotFollowed) {
  const std::vector<std::uint16_t> block = {0xFFFF, 'a', 'b'};
  wchar_t buffer[UI_TEXT_CAPACITY];
  EXPECT_LE(CopyStringFromBlock(block.data(), block.size(), 0, buffer), 0);
  EXPECT_LE(CopyStringFromBlock(block.data(), block.size(), 1, buffer), 0);
}

TEST(CopyStringFromBlock, ALongTextIsCutToTheBuffer) {
  const std::vector<std::uint16_t> block = Block({std::u16string(300, u'w')});
  wchar_t buffer[UI_TEXT_CAPACITY];
  EXPECT_EQ(CopyStringFromBlock(block.data(), block.size(), 0, buffer), UI_TEXT_CAPACITY - 1);
  EXPECT_EQ(buffer[UI_TEXT_CAPACITY - 2], L'w');
  EXPECT_EQ(buffer[UI_TEXT_CAPACITY - 1], L'\0');
}

TEST(UiLanguages, TheFiveLanguagesInTheChoosersOrder) {
  const UiLanguageId ids[] = {1033, 1031, 1036, 1040, 3082};
  ASSERT_EQ(std::size(UI_LANGUAGES), std::size(ids));
  for (std::size_t i = 0; i < std::size(ids); ++i) {
    EXPECT_EQ(UI_LANGUAGES[i].id, ids[i]);
    EXPECT_TRUE(IsUiLanguage(ids[i]));
    EXPECT_EQ(ResourceLanguageFor(ids[i]), ids[i]);
  }
  EXPECT_EQ(std::wstring(UI_LANGUAGES[2].name), L"Fran\u00E7ais");
  EXPECT_EQ(std::wstring(UI_LANGUAGES[4].name), L"Espa\u00F1ol");
}

TEST(UiLanguages, OtherLanguagesUseTheEnglishResources) {
  for (UiLanguageId other : {0, 1, 1034 /* Spanish, traditional sort */, 2055 /* German, Switzerland */, 0xFFFF}) {
    EXPECT_FALSE(IsUiLanguage(other)) << other;
    EXPECT_EQ(ResourceLanguageFor(other), UILANG_ENGLISH) << other;
  }
}

}  // namespace
