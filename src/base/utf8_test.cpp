#include "base/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace treemon {
namespace {

// Valid text stays byte for byte; each maximal ill-formed subpart becomes one U+FFFD.
TEST(Utf8RepairTest, RepairsEachIllFormedSubpartOnce) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::string R = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"", ""},
      {"plain ascii", "plain ascii"},
      {"\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
       "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"a\x80"
       "b",
       "a" + R + "b"},           // stray continuation byte
      {"\x80\x80", R + R},       // each stray byte on its own
      {"ab\xE2\x82", "ab" + R},  // truncated at the end: one replacement
      {"\xE2\x82"
       "x",
       R + "x"},                            // truncated before ASCII
      {"\xC0\xAF", R + R},                  // C0 never starts a sequence
      {"\xE0\x80\xAF", R + R + R},          // overlong: E0 needs A0..BF next
      {"\xED\xA0\x80", R + R + R},          // surrogate D800
      {"\xF4\x90\x80\x80", R + R + R + R},  // above U+10FFFF
      {"\xF5", R},                          // F5..FF never valid
      {"\xF0\x9F\x98", R},                  // three of four bytes
      {"\xF0\x9F\x98"
       "A\xF0\x9F\x98\x80",
       R + "A\xF0\x9F\x98\x80"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},  // NUL is valid text
  };
  for (const Case& c : cases) {
    EXPECT_EQ(repair_utf8(c.in), c.out) << ::testing::PrintToString(c.in);
    EXPECT_TRUE(is_well_formed_utf8(repair_utf8(c.in)));
    EXPECT_EQ(is_well_formed_utf8(c.in), c.in == c.out);
  }
}

// Every single byte and every two-byte string repairs to valid UTF-8.
TEST(Utf8RepairTest, EveryShortInputBecomesValid) {
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const std::string in{static_cast<char>(a), static_cast<char>(b)};
      ASSERT_TRUE(is_well_formed_utf8(repair_utf8(in))) << a << " " << b;
    }
  }
}

// Every scalar value survives encoding and decoding; surrogates, which no well-formed text holds,
// decode as nothing.
TEST(Utf8CodecTest, EveryScalarValueRoundTrips) {
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    std::string encoded;
    append_utf8(cp, encoded);
    const DecodedCharacter decoded = decode_utf8(encoded, 0);
    const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    const auto shown = static_cast<uint32_t>(cp);
    ASSERT_EQ(decoded.length, surrogate ? 0u : encoded.size()) << std::hex << shown;
    if (!surrogate) {
      ASSERT_EQ(static_cast<uint32_t>(decoded.code_point), shown);
    }
  }
  EXPECT_EQ(decode_utf8("\xE0\x80\xAF", 0).length, 0u);  // overlong
  EXPECT_EQ(decode_utf8("\xF0\x9F\x98", 0).length, 0u);  // truncated
}

struct CutCase {
  const char* what;
  std::string text;
  size_t max_bytes;
  std::string expected;
};

// Texts that fit stay whole; a cut inside a character of 2, 3 or 4 bytes drops the character.
TEST(Utf8CutTest, CutsOnCharacterBoundaries) {
  const std::string euro = "\xE2\x82\xAC";       // 3 bytes
  const std::string e_acute = "\xC3\xA9";        // 2 bytes
  const std::string emoji = "\xF0\x9F\x98\x80";  // 4 bytes
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

TEST(Utf8CutTest, NameOf1025BytesEndingInA3ByteCharacterAt1022IsCutTo1022) {
  const std::string name = std::string(1022, 'n') + "\xE2\x82\xAC";
  ASSERT_EQ(name.size(), 1025u);
  EXPECT_EQ(cut_to_bytes(name, 1024), std::string(1022, 'n'));
}

}  // namespace
}  // namespace treemon
