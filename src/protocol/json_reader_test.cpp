#include "protocol/json_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "protocol/number_text.h"

namespace treemon {
namespace {

// Reads the whole text; "ok" or the positioned error text.
std::string outcome(std::string_view text) {
  JsonReader reader(text);
  JsonToken token;
  do {
    if (Status error = reader.next(token); !error.ok())
      return positioned_text(error.message(), error.column());
  } while (token.kind != JsonKind::End);
  if (Status error = reader.finish(); !error.ok())
    return positioned_text(error.message(), error.column());
  return "ok";
}

std::string render(const JsonToken& token) {
  switch (token.kind) {
    case JsonKind::Null:
      return "null";
    case JsonKind::False:
      return "false";
    case JsonKind::True:
      return "true";
    case JsonKind::Unsigned:
      return "u:" + std::to_string(token.unsigned_value);
    case JsonKind::Signed:
      return "i:" + std::to_string(token.signed_value);
    case JsonKind::Float:
      return "f:" + double_text(token.float_value);
    case JsonKind::String:
      return "s:" + std::string(token.text);
    case JsonKind::MemberName:
      return "name:" + std::string(token.text);
    case JsonKind::BeginArray:
      return "[";
    case JsonKind::EndArray:
      return "]";
    case JsonKind::BeginObject:
      return "{";
    case JsonKind::EndObject:
      return "}";
    case JsonKind::End:
      return "end";
  }
  return "?";
}

// The token stream, space-separated, or the error text.
std::string tokens(std::string_view text) {
  JsonReader reader(text);
  JsonToken token;
  std::string out;
  do {
    if (Status error = reader.next(token); !error.ok())
      return positioned_text(error.message(), error.column());
    if (!out.empty()) out += ' ';
    out += render(token);
  } while (token.kind != JsonKind::End);
  return out;
}

struct Case {
  std::string text;
  std::string expected;
};

void expect_outcomes(const std::vector<Case>& cases) {
  for (const Case& c : cases) EXPECT_EQ(outcome(c.text), c.expected) << "text: " << c.text;
}

// Early ends: the column is the length of the text.
TEST(JsonReader, EndOfTextErrors) {
  expect_outcomes({
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"[1,2", "EOF while parsing a list at line 1 column 4"},
      {"[1 ", "EOF while parsing a list at line 1 column 3"},
      {"[[]", "EOF while parsing a list at line 1 column 3"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      {"{\"a\":1 ", "EOF while parsing an object at line 1 column 7"},
      {"{\"a", "EOF while parsing a string at line 1 column 3"},
      {"\"ab\\", "EOF while parsing a string at line 1 column 4"},
      {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
      {"\"\\uD800", "EOF while parsing a string at line 1 column 7"},
      {"\"\\uD800\\", "EOF while parsing a string at line 1 column 8"},
      {"\"\\uD800\\uDC", "EOF while parsing a string at line 1 column 11"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
      {"[nul", "EOF while parsing a value at line 1 column 4"},
      {"t", "EOF while parsing a value at line 1 column 1"},
      {"[-", "EOF while parsing a value at line 1 column 2"},
      {"[1.", "EOF while parsing a value at line 1 column 3"},
      {"[1e", "EOF while parsing a value at line 1 column 3"},
      {"[1e+", "EOF while parsing a value at line 1 column 4"},
      {"[1E-", "EOF while parsing a value at line 1 column 4"},
  });
}

// Errors at an offending character: its 1-based byte column.
TEST(JsonReader, OffendingCharacterErrors) {
  expect_outcomes({
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{\"a\",1}", "expected `:` at line 1 column 5"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"[1}", "expected `,` or `]` at line 1 column 3"},
      {"[truex]", "expected `,` or `]` at line 1 column 6"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"{\"a\":1]", "expected `,` or `}` at line 1 column 7"},
      {"[nulx]", "expected ident at line 1 column 5"},
      {"[tru]", "expected ident at line 1 column 5"},
      {"[fals ]", "expected ident at line 1 column 6"},
      {"nUll", "expected ident at line 1 column 2"},
      {"[+1]", "expected value at line 1 column 2"},
      {"[.5]", "expected value at line 1 column 2"},
      {"  x", "expected value at line 1 column 3"},
      {"\xC2\xA0{}",
       "expected value at line 1 column 1"},  // no-break space is not JSON white space
      {"\f{}", "expected value at line 1 column 1"},
      {"[1,,2]", "expected value at line 1 column 4"},
      {"[,]", "expected value at line 1 column 2"},
      {"{\"a\":}", "expected value at line 1 column 6"},
      {"\"\\x\"", "invalid escape at line 1 column 3"},
      {"\"\\U0041\"", "invalid escape at line 1 column 3"},
      {"\"\\u12G4\"", "invalid escape at line 1 column 6"},
      {"\"\\u12\"", "invalid escape at line 1 column 6"},
      {"\"\\\xC3\xA9\"", "invalid escape at line 1 column 3"},
      {"[-x]", "invalid number at line 1 column 3"},
      {"[01]", "invalid number at line 1 column 3"},
      {"[-01]", "invalid number at line 1 column 4"},
      {"[00]", "invalid number at line 1 column 3"},
      {"[1.x]", "invalid number at line 1 column 4"},
      {"[1.]", "invalid number at line 1 column 4"},
      {"[1.e5]", "invalid number at line 1 column 4"},
      {"[1e]", "invalid number at line 1 column 4"},
      {"[1e+x]", "invalid number at line 1 column 5"},
      {"[-]", "invalid number at line 1 column 3"},
      {"[\"a\tb\"]",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"},
      {std::string("\"\0\"", 3),
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
      {"\"\x1f\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{\"a\":1,2}", "key must be a string at line 1 column 8"},
      {"{,}", "key must be a string at line 1 column 2"},
      {"\"\\uD800x\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\uD800\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\uD800\\n\"", "unexpected end of hex escape at line 1 column 9"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"[1, ]", "trailing comma at line 1 column 5"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"[1] x", "trailing characters at line 1 column 5"},
      {"{} {}", "trailing characters at line 1 column 4"},
      {"1 2", "trailing characters at line 1 column 3"},
  });
}

// Errors that follow from a complete token: the column of its last byte.
TEST(JsonReader, CompleteTokenErrors) {
  expect_outcomes({
      {"\"\\uDC00\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"\"\\uDFFF\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\uD800\\uD800\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\uDBFF\\uE000\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"[1e400]", "number out of range at line 1 column 6"},
      {"[-1e400]", "number out of range at line 1 column 7"},
      {"[1.7976931348623159e308]", "number out of range at line 1 column 23"},
      {"[" + std::string(400, '9') + "]", "number out of range at line 1 column 401"},
      {"[1e99999999999999999999]", "number out of range at line 1 column 23"},
  });
}

// Nesting: 127 levels are allowed; the 128th opening bracket is the error, at its column.
TEST(JsonReader, DepthLimit) {
  const auto nested = [](size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
  };
  EXPECT_EQ(outcome(nested(126)), "ok");
  EXPECT_EQ(outcome(nested(127)), "ok");
  EXPECT_EQ(outcome(nested(128)), "recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(outcome(" " + nested(200)), "recursion limit exceeded at line 1 column 129");

  std::string objects;
  for (int i = 0; i < 127; ++i) objects += "{\"a\":";
  EXPECT_EQ(outcome(objects + "1" + std::string(127, '}')), "ok");
  EXPECT_EQ(outcome(objects + "{}" + std::string(127, '}')),
            "recursion limit exceeded at line 1 column " + std::to_string(127 * 5 + 1));
  // Closing levels frees them again: many siblings at the limit are fine.
  std::string siblings = std::string(126, '[');
  for (int i = 0; i < 1000; ++i) siblings += i ? ",[]" : "[]";
  EXPECT_EQ(outcome(siblings + std::string(126, ']')), "ok");
}

// Tokens come in input order, members with duplicates kept, strings decoded.
TEST(JsonReader, TokenStream) {
  const Case cases[] = {
      {"{\"a\":1,\"a\":[true,null],\"b\":{\"c\":\"x\"}}",
       "{ name:a u:1 name:a [ true null ] name:b { name:c s:x } } end"},
      {" \t\r\n[ false , {} , [ ] ] \n", "[ false { } [ ] ] end"},
      {"\"plain\"", "s:plain end"},
      {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "s:\"\\/\b\f\n\r\t end"},
      {"\"\\u0041\\u00e9\\u20AC\"", "s:A\xC3\xA9\xE2\x82\xAC end"},
      {"\"\\uD83D\\uDE00 x\"", "s:\xF0\x9F\x98\x80 x end"},
      {"\"\\uDBFF\\uDFFF\"", "s:\xF4\x8F\xBF\xBF end"},
      {"\"caf\xC3\xA9 \x7F\"", "s:caf\xC3\xA9 \x7F end"},
      {"{\"ty\\u0070e\":\"\"}", "{ name:type s: } end"},
      {"[\"a\\nb\",\"c\"]", "[ s:a\nb s:c ] end"},
  };
  for (const Case& c : cases) EXPECT_EQ(tokens(c.text), c.expected) << "text: " << c.text;
  EXPECT_EQ(tokens(std::string("\"\\u0000\"")), std::string("s:\0 end", 7));
}

// Number kinds: integers unsigned up to 2^64-1 and signed down to -2^63; everything else float.
TEST(JsonReader, NumberKinds) {
  const Case cases[] = {
      {"0", "u:0 end"},
      {"18446744073709551615", "u:18446744073709551615 end"},
      {"18446744073709551616", "f:1.8446744073709552e+19 end"},
      {"123456789012345678901234567890", "f:1.2345678901234568e+29 end"},
      {"-1", "i:-1 end"},
      {"-9223372036854775808", "i:-9223372036854775808 end"},
      {"-9223372036854775809", "f:-9.223372036854776e+18 end"},
      {"-0", "f:-0.0 end"},
      {"-0.0", "f:-0.0 end"},
      {"1.0", "f:1.0 end"},
      {"1e3", "f:1000.0 end"},
      {"1E+3", "f:1000.0 end"},
      {"25e-1", "f:2.5 end"},
      {"0.1", "f:0.1 end"},
      {"1e-400", "f:0.0 end"},
      {"-1e-400", "f:-0.0 end"},
      {"1000e-400", "f:0.0 end"},
      {"0.0000001e-320", "f:0.0 end"},
      {"0e99999999999999999999", "f:0.0 end"},
      {"0.001e310", "f:1e+307 end"},
      {"1.7976931348623157e308", "f:1.7976931348623157e+308 end"},
      {"4.9406564584124654e-324", "f:5e-324 end"},
      // Correctly rounded: the halfway case between 1 and the next double rounds to even.
      {"1.00000000000000011102230246251565404236316680908203125", "f:1.0 end"},
      {"1.00000000000000011102230246251565404236316680908203126", "f:1.0000000000000002 end"},
  };
  for (const Case& c : cases) EXPECT_EQ(tokens(c.text), c.expected) << "text: " << c.text;

  JsonReader reader("-0");
  JsonToken token;
  ASSERT_TRUE(reader.next(token).ok());
  EXPECT_TRUE(std::signbit(token.float_value));
}

// Token offsets let callers point at the first or the last byte of a token.
TEST(JsonReader, TokenOffsets) {
  JsonReader reader(R"( {"key" : "v\n" , "n": -12.5e1 } )");
  const struct {
    JsonKind kind;
    size_t begin, end;
  } expected[] = {
      {JsonKind::BeginObject, 1, 2},  {JsonKind::MemberName, 2, 7}, {JsonKind::String, 10, 15},
      {JsonKind::MemberName, 18, 21}, {JsonKind::Float, 23, 30},    {JsonKind::EndObject, 31, 32},
  };
  JsonToken token;
  for (const auto& e : expected) {
    ASSERT_TRUE(reader.next(token).ok());
    EXPECT_EQ(token.kind, e.kind);
    EXPECT_EQ(token.begin, e.begin);
    EXPECT_EQ(token.end, e.end);
  }
  ASSERT_TRUE(reader.next(token).ok());
  EXPECT_EQ(token.kind, JsonKind::End);
  EXPECT_TRUE(reader.finish().ok());
}

// The first error ends reading; every later call reports it again.
TEST(JsonReader, ErrorIsSticky) {
  JsonReader reader("[1,}");
  JsonToken token;
  ASSERT_TRUE(reader.next(token).ok());
  ASSERT_TRUE(reader.next(token).ok());
  const auto first = reader.next(token);
  ASSERT_FALSE(first.ok());
  EXPECT_EQ(first.message(), json_error::EXPECTED_VALUE);
  EXPECT_EQ(first.column(), 4u);
  EXPECT_EQ(reader.next(token), first);
  EXPECT_EQ(reader.finish(), first);
}

// skip_rest_of_value reads exactly one value, however deep, and stops after it.
TEST(JsonReader, SkipRestOfValue) {
  JsonReader reader(R"([{"a":[1,{"b":[]}],"c":2}, "after"])");
  JsonToken token;
  ASSERT_TRUE(reader.next(token).ok());  // [
  ASSERT_TRUE(reader.next(token).ok());  // {
  ASSERT_TRUE(reader.skip_rest_of_value(token).ok());
  EXPECT_EQ(reader.depth(), 1u);
  ASSERT_TRUE(reader.next(token).ok());
  EXPECT_EQ(render(token), "s:after");
  EXPECT_TRUE(reader.skip_rest_of_value(token).ok());  // a scalar: nothing more to read

  JsonReader broken(R"([{"a":[1,}])");
  ASSERT_TRUE(broken.next(token).ok());
  ASSERT_TRUE(broken.next(token).ok());
  const auto error = broken.skip_rest_of_value(token);
  ASSERT_FALSE(error.ok());
  EXPECT_EQ(positioned_text(error.message(), error.column()), "expected value at line 1 column 10");
}

// Long texts are read in one pass and without recursion.
TEST(JsonReader, LongText) {
  std::string text = "[";
  for (int i = 0; i < 200000; ++i) text += i ? ",\"abc\\n\",{\"k\":[1.5,-2]}" : "0";
  text += "]";
  EXPECT_EQ(outcome(text), "ok");
  const std::string long_string = "\"" + std::string(5'000'000, 'x') + "\"";
  EXPECT_EQ(outcome(long_string), "ok");
}

}  // namespace
}  // namespace treemon
