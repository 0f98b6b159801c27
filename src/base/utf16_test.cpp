#include "base/utf16.h"

#include <gtest/gtest.h>

#include <string>

namespace treemon {
namespace {

struct Case {
  std::u16string input;
  std::string expected;
};

// Every width of UTF-8, pairs joined, and each kind of unpaired surrogate replaced on its own.
TEST(Utf16, ConvertsPairsAndReplacesUnpairedSurrogates) {
  const Case cases[] = {
      {u"", ""},
      {u"notepad.exe", "notepad.exe"},
      {u"\u00e9", "\xc3\xa9"},
      {u"\u20ac", "\xe2\x82\xac"},
      {u"\U0001F600", "\xf0\x9f\x98\x80"},
      {u"\U0010FFFF", "\xf4\x8f\xbf\xbf"},
      {std::u16string(1, char16_t{0xD800}), "\xef\xbf\xbd"},
      {std::u16string(1, char16_t{0xDC00}), "\xef\xbf\xbd"},
      {std::u16string{char16_t{0xD800}, u'a'},
       "\xef\xbf\xbd"
       "a"},
      {std::u16string{u'a', char16_t{0xDFFF}}, "a\xef\xbf\xbd"},
      // A low surrogate before a high one is two unpaired halves, not a pair.
      {std::u16string{char16_t{0xDC00}, char16_t{0xD800}}, "\xef\xbf\xbd\xef\xbf\xbd"},
      // Two high surrogates then a low: the first is alone, the second pairs.
      {std::u16string{char16_t{0xD83D}, char16_t{0xD83D}, char16_t{0xDE00}},
       "\xef\xbf\xbd\xf0\x9f\x98\x80"},
      {std::u16string{u'a', u'\0', u'b'}, std::string("a\0b", 3)},
      {u"\uFFFF", "\xef\xbf\xbf"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(utf8_from_utf16(c.input), c.expected) << "input of " << c.input.size() << " units";
  }
}

// A name field: only trailing NULs go; what stands after an embedded NUL stays.
TEST(Utf16, FieldDropsOnlyTrailingNuls) {
  std::u16string field(260, u'\0');
  EXPECT_EQ(utf8_from_utf16_field(field), "");

  field.replace(0, 5, u"a.exe");
  EXPECT_EQ(utf8_from_utf16_field(field), "a.exe");

  field[7] = u'x';
  EXPECT_EQ(utf8_from_utf16_field(field), std::string("a.exe\0\0x", 8));

  std::u16string full(260, u'n');
  full.back() = char16_t{0xD800};
  EXPECT_EQ(utf8_from_utf16_field(full), std::string(259, 'n') + "\xef\xbf\xbd");
}

}  // namespace
}  // namespace treemon
