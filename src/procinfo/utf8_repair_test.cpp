#include "procinfo/utf8_repair.h"

#include <gtest/gtest.h>

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
      {"a\x80" "b", "a" + R + "b"},                    // stray continuation byte
      {"\x80\x80", R + R},                             // each stray byte on its own
      {"ab\xE2\x82", "ab" + R},                        // truncated at the end: one replacement
      {"\xE2\x82" "x", R + "x"},                       // truncated before ASCII
      {"\xC0\xAF", R + R},                             // C0 never starts a sequence
      {"\xE0\x80\xAF", R + R + R},                     // overlong: E0 needs A0..BF next
      {"\xED\xA0\x80", R + R + R},                     // surrogate D800
      {"\xF4\x90\x80\x80", R + R + R + R},             // above U+10FFFF
      {"\xF5", R},                                     // F5..FF never valid
      {"\xF0\x9F\x98", R},                             // three of four bytes
      {"\xF0\x9F\x98" "A\xF0\x9F\x98\x80", R + "A\xF0\x9F\x98\x80"},
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

}  // namespace
}  // namespace treemon
