// JsonReader: a strict, pull-style reader of one JSON text (RFC 8259) that hands out tokens in
// input order and reports every syntax error with its exact text and byte column.
//
// Contract:
//  1. Tokens come in input order; object members arrive as a MemberName token followed by the
//     tokens of their value, duplicates included. Nothing is buffered beyond the current token.
//  2. Arrays and objects nest at most MAX_DEPTH deep, the top-level value counting as the first
//     level; opening one more is "recursion limit exceeded". The reader never recurses.
//  3. The first error ends reading: next() then keeps returning that error.
//  4. A column is 1-based and counts bytes: the offending byte, or for an early end of the
//     text, the length of the text. Tokens carry their byte offsets so that callers can point
//     at the last byte of a complete token (column == end) or at its first (column == begin + 1).
//  5. After the top-level value, next() returns End; finish() then checks that only JSON white
//     space (space, tab, line feed, carriage return) follows.
// The reader borrows the text; string views in tokens stay valid until the next call to next().
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/status.h"

namespace treemon {

inline constexpr size_t MAX_DEPTH = 127;

// The exact texts of the syntax errors.
namespace json_error {
inline constexpr std::string_view EOF_LIST = "EOF while parsing a list";
inline constexpr std::string_view EOF_OBJECT = "EOF while parsing an object";
inline constexpr std::string_view EOF_STRING = "EOF while parsing a string";
inline constexpr std::string_view EOF_VALUE = "EOF while parsing a value";
inline constexpr std::string_view EXPECTED_COLON = "expected `:`";
inline constexpr std::string_view EXPECTED_LIST_COMMA_OR_END = "expected `,` or `]`";
inline constexpr std::string_view EXPECTED_OBJECT_COMMA_OR_END = "expected `,` or `}`";
inline constexpr std::string_view EXPECTED_IDENT = "expected ident";
inline constexpr std::string_view EXPECTED_VALUE = "expected value";
inline constexpr std::string_view INVALID_ESCAPE = "invalid escape";
inline constexpr std::string_view INVALID_NUMBER = "invalid number";
inline constexpr std::string_view NUMBER_OUT_OF_RANGE = "number out of range";
inline constexpr std::string_view CONTROL_CHARACTER =
    "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr std::string_view KEY_MUST_BE_A_STRING = "key must be a string";
inline constexpr std::string_view LONE_LEADING_SURROGATE = "lone leading surrogate in hex escape";
inline constexpr std::string_view UNEXPECTED_END_OF_HEX_ESCAPE = "unexpected end of hex escape";
inline constexpr std::string_view TRAILING_COMMA = "trailing comma";
inline constexpr std::string_view TRAILING_CHARACTERS = "trailing characters";
inline constexpr std::string_view RECURSION_LIMIT = "recursion limit exceeded";
}  // namespace json_error

// "{message} at line 1 column {column}": the text is a single line.
std::string positioned_text(std::string_view message, size_t column);

enum class JsonKind : uint8_t {
  Null,
  False,
  True,
  Unsigned,  // an integer from 0 to 2^64-1, without fraction or exponent
  Signed,    // a negative integer down to -2^63, without fraction or exponent
  Float,     // any other number, "-0" included
  String,
  MemberName,
  BeginArray,
  EndArray,
  BeginObject,
  EndObject,
  End,  // the top-level value is complete
};

struct JsonToken {
  JsonKind kind = JsonKind::End;
  size_t begin = 0;       // offset of the token's first byte
  size_t end = 0;         // offset one past its last byte
  std::string_view text;  // String and MemberName: the decoded UTF-8 text
  uint64_t unsigned_value = 0;
  int64_t signed_value = 0;
  double float_value = 0.0;

  bool is_scalar() const { return kind <= JsonKind::String; }
  bool opens_container() const {
    return kind == JsonKind::BeginArray || kind == JsonKind::BeginObject;
  }
};

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}
  JsonReader(const JsonReader&) = delete;
  JsonReader& operator=(const JsonReader&) = delete;

  // Reads the next token. A failure carries one of the json_error texts and its column.
  Status next(JsonToken& token);

  // Reads the rest of the value that `first` opened (nothing more when it is a scalar).
  Status skip_rest_of_value(const JsonToken& first);

  // After End: the error "trailing characters" at the first byte that is not JSON white space.
  Status finish();

  size_t depth() const { return depth_; }
  // Offset just past the last byte read.
  size_t offset() const { return pos_; }

 private:
  enum class Expect : uint8_t {
    TopValue,
    FirstElement,
    NextElement,
    FirstMember,
    NextMember,
    MemberValue,
    Done,
  };

  // The reading steps: true when they succeed, else false with the error in failed_. Only the
  // public calls build a Status, so that reading a token costs no more than a flag.
  bool advance(JsonToken& token);
  bool read_value(JsonToken& token);
  bool read_member_name(JsonToken& token);
  bool open_container(JsonToken& token, bool is_object);
  bool close_container(JsonToken& token);
  bool read_literal(JsonToken& token, std::string_view literal, JsonKind kind);
  bool read_number(JsonToken& token);
  bool read_string(JsonToken& token);
  bool read_escape();
  bool read_unicode_escape();
  bool read_hex4(uint32_t& unit);
  void after_value();
  void skip_whitespace();
  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }
  Status error_here(std::string_view message) const;  // at the byte at pos_, or the end
  bool fail(Status error);                            // false, for `return fail(...)`

  std::string_view text_;
  size_t pos_ = 0;
  Expect expect_ = Expect::TopValue;
  size_t depth_ = 0;
  std::array<bool, MAX_DEPTH> is_object_{};  // per open level: object or array
  std::string scratch_;                      // decoded text of strings with escapes
  Status failed_;
};

}  // namespace treemon
