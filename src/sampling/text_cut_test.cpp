#include "sampling/text_cut.h"

#include <gtest/gtest.h>

#include <string>

namespace treemon {
namespace {

struct CutCase {
  const char* what;
  std::string text;
  size_t max_bytes;
  std::string expected;
};

// Texts that fit stay whole; a cut inside a character of 2, 3 or 4 bytes drops the character.
TEST(TextCutTest, CutsOnCharacterBoundaries) {
  const std::string euro = "\xE2\x82\xAC";          // 3 bytes
  const std::string e_acute = "\xC3\xA9";           // 2 bytes
  const std::string emoji = "\xF0\x9F\x98\x80";     // 4 bytes
  const CutCase cases[] = {
      {"empty text", "", 0, ""},
      {"fits exactly", "abc", 3, "abc"},
      {"shorter than the limit", "ab", 5, "ab"},
      {"ascii cut", "abcdef", 4, "abcd"},
      {"limit 0", "abc", 0, ""},
      {"limit 0 before a multibyte character", euro, 0, ""},
      {"3-byte character split after 1 byte", "ab" + euro, 3, "ab"},
      {"3-byte character split after 2 bytes", "ab" + euro, 4, "ab"},
      {"3-byte character ending at the limit", "ab" + euro + "c", 5, "ab" + euro},
      {"2-byte character split", "a" + e_acute, 2, "a"},
      {"4-byte character split after 3 bytes", "x" + emoji, 4, "x"},
      {"4-byte character kept whole", "x" + emoji + "y", 5, "x" + emoji},
      {"multibyte text that fits", euro + euro, 6, euro + euro},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cut_to_bytes(c.text, c.max_bytes), c.expected) << c.what;
  }
}

TEST(TextCutTest, NameOf1025BytesEndingInA3ByteCharacterAt1022IsCutTo1022) {
  const std::string name = std::string(1022, 'n') + "\xE2\x82\xAC";
  ASSERT_EQ(name.size(), 1025u);
  EXPECT_EQ(cut_to_bytes(name, 1024), std::string(1022, 'n'));
}

}  // namespace
}  // namespace treemon
