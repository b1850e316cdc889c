#include <gtest/gtest.h>

#include "utf8.h"

namespace kzb {
namespace {

TEST(Utf8, ConvertsEveryRangeAndReplacesUnpairedSurrogates) {
  const struct {
    const char* what;
    std::u16string text;
    std::string utf8;
  } cases[] = {
      {"ascii", u"a.jpg", "a.jpg"},
      {"two bytes", u"\u00e9", "\xc3\xa9"},
      {"Hangul", u"\ud55c\uae00", "\xed\x95\x9c\xea\xb8\x80"},
      {"last of three bytes", u"\uffff", "\xef\xbf\xbf"},
      {"surrogate pair", u"\U0001F600", "\xf0\x9f\x98\x80"},
      {"highest pair", u"\U0010FFFF", "\xf4\x8f\xbf\xbf"},
      {"high surrogate at the end", std::u16string{u'a', char16_t{0xD83D}}, "a\xef\xbf\xbd"},
      {"low surrogate alone", std::u16string{char16_t{0xDE00}, u'b'},
       "\xef\xbf\xbd"
       "b"},
      {"high then not low", std::u16string{char16_t{0xD83D}, u'c'},
       "\xef\xbf\xbd"
       "c"},
      {"two highs then a low", std::u16string{char16_t{0xD83D}, char16_t{0xD83D}, char16_t{0xDE00}},
       "\xef\xbf\xbd\xf0\x9f\x98\x80"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(toUtf8(c.text), c.utf8) << c.what;
    // Used as UTF-16, a name must mean the same file as in UTF-8.
    EXPECT_EQ(toUtf8(wellFormed(c.text)), c.utf8) << c.what;
    EXPECT_EQ(wellFormed(c.text).size(), c.text.size()) << c.what;
  }
}

TEST(Utf8, PrintableEscapesEveryControlCharacterAndNothingElse) {
  const struct {
    const char* what;
    std::string text;
    std::string shown;
  } cases[] = {
      {"escape sequence and bell", "T\x1b[31m\x07", "T\\x1b[31m\\x07"},
      {"newline and carriage return", "a\nb\rc", "a\\x0ab\\x0dc"},
      {"tab and backslash stay", "a\tb\\x41", "a\tb\\x41"},
      {"unit separator and delete", "\x1f\x7f", "\\x1f\\x7f"},
      {"C1 controls by code point", "\xc2\x80 \xc2\x9b \xc2\x9f", "\\x80 \\x9b \\x9f"},
      {"just past C1 stays", "\xc2\xa0", "\xc2\xa0"},
      {"Hangul and emoji stay", "\xed\x95\x9c \xf0\x9f\x98\x80", "\xed\x95\x9c \xf0\x9f\x98\x80"},
      {"stray bytes", "\x9b\xff", "\\x9b\\xff"},
      {"cut sequence", "a\xed\x95", "a\\xed\\x95"},
      {"overlong slash", "\xc0\xaf", "\\xc0\\xaf"},
      {"encoded surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(printable(c.text), c.shown) << c.what;
  }
}

TEST(Utf8, TextEndsAtItsFirstZeroUnit) {
  EXPECT_EQ(untilFirstZero(std::u16string(u"ab\0cd", 5)), u"ab");
  EXPECT_EQ(untilFirstZero(std::u16string(1, u'\0')), u"");
  EXPECT_EQ(untilFirstZero(u"whole"), u"whole");
}

}  // namespace
}  // namespace kzb
