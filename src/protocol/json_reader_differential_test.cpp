// Differential test: our reader against an independent JSON library on generated and mutated texts.
// Both must agree on whether a text is JSON, and where it is, on every token: member names and
// strings as decoded bytes, integers as values, floats bit for bit.
//
// Known, intended differences, each handled explicitly below:
//  - "-0" is the floating-point value negative zero for us; the library reads it as the integer 0.
//  - The library skips a leading byte order mark; for us U+FEFF is not white space.
//  - The library has no nesting limit; texts we reject for depth are not compared.
//  - The library takes a raw NUL byte for the end of the text. JSON allows it nowhere (inside a
//    string it is a control character, outside it is not white space), so such texts are invalid.
#include "base/utf8.h"
#include "protocol/json_reader.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <bit>
#include <cstdio>
#include <random>
#include <string>

namespace treemon {
namespace {

std::string float_entry(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "f:%016llx ",
                static_cast<unsigned long long>(std::bit_cast<uint64_t>(value)));
  return buffer;
}

// What a reader saw: the token log, or why the text is not JSON.
struct Verdict {
  bool valid = false;
  bool too_deep = false;
  std::string log;
};

Verdict ours(std::string_view text) {
  JsonReader reader(text);
  JsonToken token;
  Verdict verdict;
  while (true) {
    if (Status error = reader.next(token); !error.ok()) {
      verdict.too_deep = error.message() == json_error::RECURSION_LIMIT;
      verdict.log = positioned_text(error.message(), error.column());
      return verdict;
    }
    switch (token.kind) {
      case JsonKind::Null:
        verdict.log += "null ";
        break;
      case JsonKind::False:
        verdict.log += "false ";
        break;
      case JsonKind::True:
        verdict.log += "true ";
        break;
      case JsonKind::Unsigned:
        verdict.log += "u:" + std::to_string(token.unsigned_value) + " ";
        break;
      case JsonKind::Signed:
        verdict.log += "i:" + std::to_string(token.signed_value) + " ";
        break;
      case JsonKind::Float:
        // The library reads "-0" as the integer 0; we read it as negative zero, as our protocol
        // says.
        if (text.substr(token.begin, token.end - token.begin) == "-0") {
          verdict.log += "i:0 ";
        } else {
          verdict.log += float_entry(token.float_value);
        }
        break;
      case JsonKind::String:
        verdict.log += "s:" + std::string(token.text) + " ";
        break;
      case JsonKind::MemberName:
        verdict.log += "k:" + std::string(token.text) + " ";
        break;
      case JsonKind::BeginArray:
        verdict.log += "[ ";
        break;
      case JsonKind::EndArray:
        verdict.log += "] ";
        break;
      case JsonKind::BeginObject:
        verdict.log += "{ ";
        break;
      case JsonKind::EndObject:
        verdict.log += "} ";
        break;
      case JsonKind::End:
        if (Status error = reader.finish(); !error.ok()) {
          verdict.log = positioned_text(error.message(), error.column());
          return verdict;
        }
        verdict.valid = true;
        return verdict;
    }
  }
}

class LibraryLog : public nlohmann::json_sax<nlohmann::json> {
 public:
  std::string log;
  bool null() override { return add("null "); }
  bool boolean(bool value) override { return add(value ? "true " : "false "); }
  bool number_integer(number_integer_t value) override {
    return add("i:" + std::to_string(value) + " ");
  }
  bool number_unsigned(number_unsigned_t value) override {
    return add("u:" + std::to_string(value) + " ");
  }
  bool number_float(number_float_t value, const string_t&) override {
    return add(float_entry(value));
  }
  bool string(string_t& value) override { return add("s:" + value + " "); }
  bool binary(binary_t&) override { return add("binary "); }
  bool start_object(std::size_t) override { return add("{ "); }
  bool key(string_t& value) override { return add("k:" + value + " "); }
  bool end_object() override { return add("} "); }
  bool start_array(std::size_t) override { return add("[ "); }
  bool end_array() override { return add("] "); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
    log = e.what();
    return false;
  }

 private:
  bool add(const std::string& entry) {
    log += entry;
    return true;
  }
};

Verdict library(const std::string& text) {
  LibraryLog handler;
  Verdict verdict;
  verdict.valid = nlohmann::json::sax_parse(text, &handler);
  verdict.log = handler.log;
  return verdict;
}

// Random JSON texts, valid by construction, rich in the corners a reader gets wrong.
class Generator {
 public:
  explicit Generator(uint32_t seed) : random_(seed) {}

  std::string value(int depth) {
    switch (pick(depth > 0 ? 10 : 7)) {
      case 0:
        return "null";
      case 1:
        return pick(2) ? "true" : "false";
      case 2:
      case 3:
        return number();
      case 4:
      case 5:
      case 6:
        return string();
      case 7:
      case 8:
        return array(depth - 1);
      default:
        return object(depth - 1);
    }
  }

  std::string deep(size_t levels) {
    std::string text;
    for (size_t i = 0; i < levels; ++i) text += pick(2) ? "[" : "{\"k\":";
    text += value(0);
    for (size_t i = levels; i-- > 0;) text += text[i] == '[' ? "]" : "}";
    return text;
  }

  std::string document() { return space() + value(static_cast<int>(pick(6))) + space(); }

  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random_); }

 private:
  std::string space() {
    static constexpr const char* SPACES[] = {"", "", "", " ", "\t", "\r\n", "  \n "};
    return SPACES[pick(std::size(SPACES))];
  }

  std::string array(int depth) {
    std::string text = "[" + space();
    const size_t count = pick(5);
    for (size_t i = 0; i < count; ++i) text += (i ? "," : "") + space() + value(depth) + space();
    return text + "]";
  }

  std::string object(int depth) {
    std::string text = "{" + space();
    const size_t count = pick(5);
    for (size_t i = 0; i < count; ++i) {
      const std::string name = pick(3) ? "\"type\"" : string();
      text += (i ? "," : "") + space() + name + space() + ":" + space() + value(depth) + space();
    }
    return text + "}";
  }

  std::string number() {
    static constexpr const char* SPECIAL[] = {
        "0",
        "-0",
        "-0.0",
        "18446744073709551615",
        "18446744073709551616",
        "-9223372036854775808",
        "-9223372036854775809",
        "4294967295",
        "4294967296",
        "1e308",
        "1.7976931348623157e308",
        "5e-324",
        "2e-324",
        "1e-400",
        "0.1",
        "1E+2",
        "1e-7",
        "123456789012345678901234567890",
        "9007199254740993",
        "0.30000000000000004",
        "1.00000000000000011102230246251565404236316680908203125"};
    if (pick(3) == 0) return SPECIAL[pick(std::size(SPECIAL))];
    std::string text = pick(3) == 0 ? "-" : "";
    text += pick(4) == 0 ? "0"
                         : std::to_string(1 + pick(999999999)) +
                               (pick(3) ? "" : std::to_string(pick(1000000000)));
    if (pick(2)) text += "." + std::to_string(pick(1000000));
    if (pick(3) == 0)
      text += std::string(pick(2) ? "e" : "E") +
              (pick(2)   ? "-"
               : pick(2) ? "+"
                         : "") +
              std::to_string(pick(330));
    return text;
  }

  std::string string() {
    static constexpr const char* PIECES[] = {"a",
                                             "Z",
                                             " ",
                                             "/",
                                             "'",
                                             "\x7f",
                                             "\xC3\xA9",
                                             "\xE2\x82\xAC",
                                             "\xF0\x9F\x98\x80",
                                             "\xEF\xBB\xBF",
                                             "\\\"",
                                             "\\\\",
                                             "\\/",
                                             "\\b",
                                             "\\f",
                                             "\\n",
                                             "\\r",
                                             "\\t",
                                             "\\u0000",
                                             "\\u001f",
                                             "\\u00E9",
                                             "\\u20ac",
                                             "\\uD83D\\uDE00",
                                             "\\udbff\\udfff",
                                             "\\uFFFF",
                                             "type"};
    std::string text = "\"";
    const size_t count = pick(8);
    for (size_t i = 0; i < count; ++i) {
      if (pick(8) == 0) {
        char escape[8];
        uint32_t unit = static_cast<uint32_t>(pick(0xD800));
        std::snprintf(escape, sizeof escape, "\\u%04X", unit);
        text += escape;
      } else {
        text += PIECES[pick(std::size(PIECES))];
      }
    }
    return text + "\"";
  }

  std::mt19937 random_;
};

std::string mutate(std::string text, Generator& generator) {
  static const std::string INSERTS[] = {"{",
                                        "}",
                                        "[",
                                        "]",
                                        ",",
                                        ":",
                                        "\"",
                                        "\\",
                                        " ",
                                        "0",
                                        "1",
                                        "-",
                                        "+",
                                        ".",
                                        "e",
                                        "E",
                                        "t",
                                        "n",
                                        "f",
                                        "u",
                                        "x",
                                        "\t",
                                        "\n",
                                        "\r",
                                        "\f",
                                        "\x01",
                                        std::string(1, '\0'),
                                        "\xC2\xA0",
                                        "\xEF\xBB\xBF",
                                        "\\u",
                                        "\\uD800",
                                        "\\uDC00",
                                        "null",
                                        "true",
                                        "1e999",
                                        "/",
                                        "\xE2\x80\xA8"};
  const size_t rounds = 1 + generator.pick(3);
  for (size_t round = 0; round < rounds && !text.empty(); ++round) {
    const size_t at = generator.pick(text.size() + 1);
    switch (generator.pick(5)) {
      case 0:  // delete a byte or a few
        if (at < text.size()) text.erase(at, 1 + generator.pick(3));
        break;
      case 1: {  // insert a fragment
        text.insert(std::min(at, text.size()), INSERTS[generator.pick(std::size(INSERTS))]);
        break;
      }
      case 2:                                                             // replace a byte
        if (at < text.size()) text[at] = INSERTS[generator.pick(27)][0];  // the one-byte fragments
        break;
      case 3:  // cut the end
        text.resize(at);
        break;
      default: {  // repeat a slice
        const size_t from = generator.pick(text.size());
        const size_t length = generator.pick(text.size() - from + 1);
        text.insert(std::min(at, text.size()), text.substr(from, length));
        break;
      }
    }
  }
  return text;
}

struct Tally {
  size_t valid = 0;
  size_t invalid = 0;
  size_t too_deep = 0;
};

void compare(const std::string& text, Tally& tally) {
  if (!is_well_formed_utf8(text)) return;  // such a line never reaches the reader
  const Verdict mine = ours(text);
  if (mine.too_deep) {
    ++tally.too_deep;
    return;
  }
  if (text.starts_with("\xEF\xBB\xBF")) {
    EXPECT_FALSE(mine.valid) << "a byte order mark is not white space: " << text;
    return;
  }
  if (text.find('\0') != std::string::npos) {
    EXPECT_FALSE(mine.valid) << "a raw NUL byte is never JSON: " << text;
    return;
  }
  const Verdict theirs = library(text);
  ASSERT_EQ(mine.valid, theirs.valid)
      << "text: " << text << "\n ours: " << mine.log << "\n library: " << theirs.log;
  if (mine.valid) {
    ASSERT_EQ(mine.log, theirs.log) << "text: " << text;
    ++tally.valid;
  } else {
    ++tally.invalid;
  }
}

// Hand-picked corners, compared the same way.
TEST(JsonReaderDifferential, Corners) {
  const char* texts[] = {
      "[]",
      "{}",
      " [ ] ",
      "[1,2,]",
      "{\"a\":1,}",
      "[01]",
      "[-]",
      "[1.]",
      "[.1]",
      "[1e]",
      "[1e+]",
      "[-0]",
      "[-0.0e-0]",
      "[1E400]",
      "[1e-400]",
      "[\"\\u0000\"]",
      "[\"\\uD800\"]",
      "[\"\\uDC00\\uD800\"]",
      "[\"\\uD800\\uDBFF\"]",
      "[\"\\ud83d\\ude00\"]",
      "[\"\\x\"]",
      "[\"\t\"]",
      "[\"\x7f\"]",
      "[tru]",
      "[nulll]",
      "{\"a\" 1}",
      "{1:1}",
      "[1 2]",
      "\"a\" \"b\"",
      "\xC2\xA0[]",
      "[]\xC2\xA0",
      "\f[]",
      "{\"a\":{\"a\":{\"a\":[[[]]]}}}",
      "[18446744073709551616,-9223372036854775809]",
      "",
      "   ",
      "[\"\\/\"]",
      "[1,[2,[3,[4]]]]",
      "[\"\\u00\"]",
      "[\"\\uGGGG\"]",
      "0",
      "-",
      "--1",
      "[+1]",
  };
  Tally tally;
  for (const char* text : texts) compare(text, tally);
  EXPECT_GT(tally.valid, 10u);
  EXPECT_GT(tally.invalid, 20u);
}

// Thousands of generated documents and their mutations.
TEST(JsonReaderDifferential, GeneratedAndMutated) {
  Generator generator(20261207);
  Tally tally;
  for (int i = 0; i < 6000 && !HasFatalFailure(); ++i) {
    const std::string document = generator.document();
    compare(document, tally);
    for (int m = 0; m < 3 && !HasFatalFailure(); ++m) compare(mutate(document, generator), tally);
  }
  for (size_t levels : {1, 100, 126, 127, 128, 130, 300}) compare(generator.deep(levels), tally);
  EXPECT_GT(tally.valid, 6000u);
  EXPECT_GT(tally.invalid, 6000u);
  EXPECT_GE(tally.too_deep, 3u);
}

}  // namespace
}  // namespace treemon
