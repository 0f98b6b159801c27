#include "protocol/json_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "support/string_output.h"

namespace treemon {
namespace {

using namespace std::string_literals;

std::string written(const std::function<void(JsonWriter&)>& write) {
  StringOutput output;
  JsonWriter writer(output);
  write(writer);
  EXPECT_TRUE(writer.finish().ok());
  return output.text();
}

std::string string_text(std::string_view value) {
  return written([&](JsonWriter& w) { w.string(value); });
}

// Records every append, so tests can see how the text was handed over.
class RecordingOutput final : public OutputSink {
 public:
  Status append(std::string_view bytes) override {
    pieces.emplace_back(bytes);
    return Status();
  }
  std::vector<std::string> pieces;
};

// The escape table: the two-character escapes, \u00XX for the other controls, everything else as
// is.
TEST(JsonWriter, StringEscapes) {
  const struct {
    std::string value;
    std::string text;
  } cases[] = {
      {"", R"("")"},
      {"plain", R"("plain")"},
      {"say \"hi\"", R"("say \"hi\"")"},
      {"C:\\dir", R"("C:\\dir")"},
      {"\b", R"("\b")"},
      {"\t", R"("\t")"},
      {"\n", R"("\n")"},
      {"\f", R"("\f")"},
      {"\r", R"("\r")"},
      {"\0"s, R"("\u0000")"},
      {"\x01", R"("\u0001")"},
      {"\x0b", R"("\u000b")"},
      {"\x1b", R"("\u001b")"},
      {"\x1f", R"("\u001f")"},
      {"a/b", R"("a/b")"},
      {"\x7f", "\"\x7f\""},
      {" ", R"(" ")"},
      {"caf\xC3\xA9", "\"caf\xC3\xA9\""},
      {"\xE2\x82\xAC 5", "\"\xE2\x82\xAC 5\""},
      {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
      {"\xE2\x80\xA8", "\"\xE2\x80\xA8\""},  // U+2028 is no control character of JSON
      {"tab\there\\\"", R"("tab\there\\\"")"},
  };
  for (const auto& c : cases) EXPECT_EQ(string_text(c.value), c.text) << c.text;
}

TEST(JsonWriter, ControlCharacterStringIsTenBytes) {
  const std::string text = string_text(
      "A\x01"
      "B");
  EXPECT_EQ(text, R"("A\u0001B")");
  EXPECT_EQ(text.size(), 10u);
}

// Seven bytes have a two-character escape, the other controls the six-character one, and every
// other ASCII byte is copied.
TEST(JsonWriter, EveryAsciiByte) {
  const std::string short_escaped = "\b\t\n\f\r\"\\";
  for (int c = 0; c < 0x80; ++c) {
    const std::string text = string_text(std::string(1, static_cast<char>(c)));
    if (short_escaped.find(static_cast<char>(c)) != std::string::npos) {
      EXPECT_EQ(text.size(), 4u) << "byte " << c;
      EXPECT_EQ(text[1], '\\') << "byte " << c;
    } else if (c < 0x20) {
      EXPECT_EQ(text.substr(1, 4), "\\u00") << "byte " << c;
      EXPECT_EQ(std::stoi(text.substr(5, 2), nullptr, 16), c) << "byte " << c;
      EXPECT_EQ(text.size(), 8u) << "byte " << c;
    } else {
      EXPECT_EQ(text, std::string("\"") + static_cast<char>(c) + "\"") << "byte " << c;
    }
  }
}

// Ill-formed UTF-8 becomes U+FFFD, one per maximal ill-formed subpart; well-formed text at the
// edges of the ranges is copied.
TEST(JsonWriter, IllFormedUtf8IsReplaced) {
  const std::string R = "\xEF\xBF\xBD";
  const struct {
    std::string value;
    std::string text;
  } cases[] = {
      {"\xFF", "\"" + R + "\""},
      {"a\x80z", "\"a" + R + "z\""},
      {"\xC0\xAF", "\"" + R + R + "\""},  // overlong lead bytes are never valid
      {"\xC1\xBF", "\"" + R + R + "\""},
      {"\xE0\x80\x80", "\"" + R + R + R + "\""},          // overlong three-byte form
      {"\xED\xA0\x80", "\"" + R + R + R + "\""},          // a surrogate
      {"\xF4\x90\x80\x80", "\"" + R + R + R + R + "\""},  // above U+10FFFF
      {"\xF5\x80", "\"" + R + R + "\""},
      {"\xE2\x82", "\"" + R + "\""},  // cut short at the end
      {"\xE2\x82"
       "A",
       "\"" + R + "A\""},  // cut short by an ASCII byte
      {"\xF0\x9F\x98", "\"" + R + "\""},
      {"\xF0\x9F\x98\"", "\"" + R + "\\\"\""},
      {"\xC2\x80", "\"\xC2\x80\""},
      {"\xDF\xBF", "\"\xDF\xBF\""},
      {"\xE0\xA0\x80", "\"\xE0\xA0\x80\""},
      {"\xED\x9F\xBF", "\"\xED\x9F\xBF\""},
      {"\xEE\x80\x80", "\"\xEE\x80\x80\""},
      {"\xEF\xBF\xBF", "\"\xEF\xBF\xBF\""},
      {"\xF0\x90\x80\x80", "\"\xF0\x90\x80\x80\""},
      {"\xF4\x8F\xBF\xBF", "\"\xF4\x8F\xBF\xBF\""},
  };
  for (const auto& c : cases) EXPECT_EQ(string_text(c.value), c.text) << c.text;
}

// Integers at their bounds, booleans and null.
TEST(JsonWriter, Scalars) {
  EXPECT_EQ(written([](JsonWriter& w) { w.u32(0); }), "0");
  EXPECT_EQ(written([](JsonWriter& w) { w.u32(7); }), "7");
  EXPECT_EQ(written([](JsonWriter& w) { w.u32(4294967295u); }), "4294967295");
  EXPECT_EQ(written([](JsonWriter& w) { w.u64(0); }), "0");
  EXPECT_EQ(written([](JsonWriter& w) { w.u64(1700000000123u); }), "1700000000123");
  EXPECT_EQ(written([](JsonWriter& w) { w.u64(18446744073709551615u); }), "18446744073709551615");
  EXPECT_EQ(written([](JsonWriter& w) { w.boolean(true); }), "true");
  EXPECT_EQ(written([](JsonWriter& w) { w.boolean(false); }), "false");
  EXPECT_EQ(written([](JsonWriter& w) { w.null(); }), "null");
}

// Single-precision numbers, with null for what JSON cannot represent.
TEST(JsonWriter, Float32) {
  constexpr float INF = std::numeric_limits<float>::infinity();
  const struct {
    float value;
    const char* text;
  } cases[] = {
      {0.0f, "0.0"},
      {-0.0f, "-0.0"},
      {100.0f, "100.0"},
      {12.5f, "12.5"},
      {33.333332f, "33.333332"},
      {0.1f, "0.1"},
      {250.0f, "250.0"},
      {1e12f, "1000000000000.0"},
      {1e13f, "1e+13"},
      {0.000001f, "0.000001"},
      {0.0000001f, "1e-7"},
      {std::numeric_limits<float>::max(), "3.4028235e+38"},
      {std::numeric_limits<float>::denorm_min(), "1e-45"},
      {std::numeric_limits<float>::quiet_NaN(), "null"},
      {-std::numeric_limits<float>::quiet_NaN(), "null"},
      {INF, "null"},
      {-INF, "null"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(written([&](JsonWriter& w) { w.float32(c.value); }), c.text) << c.text;
  }
}

// Commas go between members and elements only, never after an opening bracket or a name.
TEST(JsonWriter, Structure) {
  EXPECT_EQ(written([](JsonWriter& w) {
              w.begin_object();
              w.end_object();
            }),
            "{}");
  EXPECT_EQ(written([](JsonWriter& w) {
              w.begin_array();
              w.end_array();
            }),
            "[]");
  EXPECT_EQ(written([](JsonWriter& w) {
              w.begin_object();
              w.name("a");
              w.u32(1);
              w.name("b");
              w.begin_array();
              w.end_array();
              w.name("c");
              w.begin_object();
              w.end_object();
              w.name("d");
              w.null();
              w.end_object();
            }),
            R"({"a":1,"b":[],"c":{},"d":null})");
  EXPECT_EQ(written([](JsonWriter& w) {
              w.begin_array();
              w.u32(1);
              w.begin_array();
              w.begin_array();
              w.end_array();
              w.string("x");
              w.end_array();
              w.begin_object();
              w.name("k");
              w.float32(0.5f);
              w.end_object();
              w.boolean(false);
              w.end_array();
            }),
            R"([1,[[],"x"],{"k":0.5},false])");
  EXPECT_EQ(written([](JsonWriter& w) {
              w.begin_object();
              w.name("quote\"d");
              w.string("v");
              w.end_object();
            }),
            R"({"quote\"d":"v"})");
}

// Text longer than the writer's stage arrives whole and in order; a long run of plain bytes is one
// append of its own rather than many small ones.
TEST(JsonWriter, LongStrings) {
  const std::string plain(5000, 'a');
  const std::string value = plain + "\"" + std::string(3000, 'b') + "\n";
  RecordingOutput output;
  JsonWriter writer(output);
  writer.begin_array();
  writer.string(value);
  writer.string(value);
  writer.end_array();
  ASSERT_TRUE(writer.finish().ok());
  std::string text;
  for (const std::string& piece : output.pieces) text += piece;
  const std::string one = "\"" + plain + "\\\"" + std::string(3000, 'b') + "\\n\"";
  EXPECT_EQ(text, "[" + one + "," + one + "]");
  EXPECT_LE(output.pieces.size(), 10u);
  bool run_in_one_piece = false;
  for (const std::string& piece : output.pieces) run_in_one_piece |= piece == plain;
  EXPECT_TRUE(run_in_one_piece);
}

// Many small values reach the output in few appends: the stage gathers them.
TEST(JsonWriter, SmallValuesAreGathered) {
  RecordingOutput output;
  JsonWriter writer(output);
  writer.begin_array();
  for (uint32_t i = 0; i < 1000; ++i) writer.u32(i);
  writer.end_array();
  ASSERT_TRUE(writer.finish().ok());
  std::string text;
  for (const std::string& piece : output.pieces) text += piece;
  EXPECT_EQ(text.size(), 2 + 10 + 90 * 2 + 900 * 3 + 999);
  EXPECT_LE(output.pieces.size(), 5u);
  EXPECT_EQ(text.substr(0, 8), "[0,1,2,3");
  EXPECT_EQ(text.substr(text.size() - 8), "998,999]");
}

void write_sample_document(JsonWriter& w) {
  w.begin_object();
  w.name("list");
  w.begin_array();
  for (uint32_t i = 0; i < 300; ++i) {
    w.string("item \"" + std::to_string(i) + "\"\t");
    w.float32(static_cast<float>(i) / 3.0f);
  }
  w.end_array();
  w.name("long");
  w.string(std::string(2000, 'z'));
  w.end_object();
}

// A failing output: the failure comes back from then on, nothing more is appended, and what was
// accepted before is a prefix of the full text.
TEST(JsonWriter, OutputFailureStopsWriting) {
  StringOutput complete;
  {
    JsonWriter writer(complete);
    write_sample_document(writer);
    ASSERT_TRUE(writer.finish().ok());
  }
  const std::string& full = complete.text();
  for (size_t limit = 0; limit <= full.size(); limit += (limit < 64 ? 1 : 37)) {
    StringOutput output = StringOutput::failing_after(limit);
    JsonWriter writer(output);
    write_sample_document(writer);
    const Status status = writer.finish();
    ASSERT_FALSE(status.ok()) << "limit " << limit;
    EXPECT_EQ(status.message(), StringOutput::FAILURE_DESCRIPTION);
    EXPECT_TRUE(writer.failed());
    EXPECT_EQ(output.text(), full.substr(0, limit)) << "limit " << limit;
    EXPECT_EQ(output.appends_after_failure(), 0u) << "limit " << limit;
    EXPECT_FALSE(writer.u32(1).ok());
    EXPECT_FALSE(writer.finish().ok());
    EXPECT_EQ(output.appends_after_failure(), 0u) << "limit " << limit;
  }
  StringOutput exact = StringOutput::failing_after(full.size());
  JsonWriter writer(exact);
  write_sample_document(writer);
  EXPECT_TRUE(writer.finish().ok());
  EXPECT_EQ(exact.text(), full);
}

// The test sink itself: a short write at the limit, then failures that keep nothing.
TEST(StringOutput, FailsAfterLimit) {
  StringOutput output = StringOutput::failing_after(5);
  EXPECT_TRUE(output.append("abc").ok());
  EXPECT_TRUE(output.append("").ok());
  EXPECT_FALSE(output.append("defg").ok());
  EXPECT_EQ(output.text(), "abcde");
  EXPECT_EQ(output.appends_after_failure(), 0u);
  EXPECT_FALSE(output.append("h").ok());
  EXPECT_EQ(output.text(), "abcde");
  EXPECT_EQ(output.appends_after_failure(), 1u);
  EXPECT_EQ(output.append_calls(), 4u);

  StringOutput unlimited;
  EXPECT_TRUE(unlimited.append(std::string(100000, 'x')).ok());
  EXPECT_EQ(unlimited.text().size(), 100000u);
}

}  // namespace
}  // namespace treemon
