#include "protocol/json_reader.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <system_error>

#include "base/utf8.h"

namespace treemon {
namespace {

bool is_json_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Bytes that end the plain run of a string: the closing quote, an escape, a raw control character.
constexpr std::array<bool, 256> STRING_STOPS = [] {
  std::array<bool, 256> stops{};
  for (int c = 0; c < 0x20; ++c) stops[static_cast<size_t>(c)] = true;
  stops['"'] = true;
  stops['\\'] = true;
  return stops;
}();

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_leading_surrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_trailing_surrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The byte offsets of one number's parts, as scanned.
struct NumberParts {
  size_t begin;         // the sign, or the first digit
  size_t digits_begin;  // first digit of the integer part
  size_t digits_end;
  size_t fraction_begin;  // == fraction_end when there is no fraction
  size_t fraction_end;
  size_t exponent_begin;  // the sign or first digit after the exponent mark; == end when none
  size_t end;
  bool negative;
};

// The integer part as an unsigned 64-bit magnitude, or nothing when it does not fit.
std::optional<uint64_t> integer_magnitude(std::string_view digits) {
  uint64_t value = 0;
  for (char c : digits) {
    const auto digit = static_cast<uint64_t>(c - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// Whether a number that does not fit a double is too large (rather than too small). Such a number
// is nonzero and its decimal exponent is beyond about +-308, so a rough exponent decides.
bool is_too_large(std::string_view text, const NumberParts& parts) {
  int64_t exponent = 0;
  const std::string_view integer =
      text.substr(parts.digits_begin, parts.digits_end - parts.digits_begin);
  if (integer != "0") {
    exponent = static_cast<int64_t>(std::min<size_t>(integer.size(), 1'000'000'000)) - 1;
  } else {
    const std::string_view fraction =
        text.substr(parts.fraction_begin, parts.fraction_end - parts.fraction_begin);
    const size_t first_nonzero = std::min<size_t>(fraction.find_first_not_of('0'), 1'000'000'000);
    exponent = -static_cast<int64_t>(first_nonzero) - 1;
  }
  if (parts.exponent_begin < parts.end) {
    size_t pos = parts.exponent_begin;
    const bool negative_exponent = text[pos] == '-';
    if (text[pos] == '-' || text[pos] == '+') ++pos;
    int64_t written = 0;
    for (; pos < parts.end; ++pos)
      written = std::min<int64_t>(written * 10 + (text[pos] - '0'), 1'000'000'000);
    exponent += negative_exponent ? -written : written;
  }
  return exponent > 0;
}

}  // namespace

std::string positioned_text(std::string_view message, size_t column) {
  std::string text(message);
  text += " at line 1 column ";
  text += std::to_string(column);
  return text;
}

Status JsonReader::error_here(std::string_view message) const {
  return Status::error(message, at_end() ? text_.size() : pos_ + 1);
}

// Records the first error, which every later call reports again.
bool JsonReader::fail(Status error) {
  failed_ = std::move(error);
  return false;
}

void JsonReader::skip_whitespace() {
  while (!at_end() && is_json_whitespace(peek())) ++pos_;
}

Status JsonReader::next(JsonToken& token) {
  if (!failed_.ok()) return failed_;
  return advance(token) ? Status() : failed_;
}

bool JsonReader::advance(JsonToken& token) {
  switch (expect_) {
    case Expect::TopValue:
      return read_value(token);
    case Expect::FirstElement:
      skip_whitespace();
      if (at_end()) return fail(error_here(json_error::EOF_LIST));
      if (peek() == ']') return close_container(token);
      return read_value(token);
    case Expect::NextElement:
      skip_whitespace();
      if (at_end()) return fail(error_here(json_error::EOF_LIST));
      if (peek() == ']') return close_container(token);
      if (peek() != ',') return fail(error_here(json_error::EXPECTED_LIST_COMMA_OR_END));
      ++pos_;
      skip_whitespace();
      if (at_end()) return fail(error_here(json_error::EOF_VALUE));
      if (peek() == ']') return fail(error_here(json_error::TRAILING_COMMA));
      return read_value(token);
    case Expect::FirstMember:
      skip_whitespace();
      if (at_end()) return fail(error_here(json_error::EOF_OBJECT));
      if (peek() == '}') return close_container(token);
      return read_member_name(token);
    case Expect::NextMember:
      skip_whitespace();
      if (at_end()) return fail(error_here(json_error::EOF_OBJECT));
      if (peek() == '}') return close_container(token);
      if (peek() != ',') return fail(error_here(json_error::EXPECTED_OBJECT_COMMA_OR_END));
      ++pos_;
      skip_whitespace();
      if (at_end()) return fail(error_here(json_error::EOF_VALUE));
      if (peek() == '}') return fail(error_here(json_error::TRAILING_COMMA));
      return read_member_name(token);
    case Expect::MemberValue:
      skip_whitespace();
      if (at_end()) return fail(error_here(json_error::EOF_OBJECT));
      if (peek() != ':') return fail(error_here(json_error::EXPECTED_COLON));
      ++pos_;
      return read_value(token);
    case Expect::Done:
      token = JsonToken{};
      token.begin = token.end = pos_;
      return true;
  }
  return true;
}

Status JsonReader::skip_rest_of_value(const JsonToken& first) {
  if (!first.opens_container()) return Status();
  const size_t outer_depth = depth_ - 1;
  JsonToken token;
  while (true) {
    if (Status error = next(token); !error.ok()) return error;
    const bool closes = token.kind == JsonKind::EndArray || token.kind == JsonKind::EndObject;
    if (closes && depth_ == outer_depth) return Status();
  }
}

Status JsonReader::finish() {
  if (!failed_.ok()) return failed_;
  skip_whitespace();
  if (!at_end()) fail(error_here(json_error::TRAILING_CHARACTERS));
  return failed_;
}

bool JsonReader::read_value(JsonToken& token) {
  skip_whitespace();
  if (at_end()) return fail(error_here(json_error::EOF_VALUE));
  bool read = false;
  switch (peek()) {
    case '{':
      return open_container(token, true);
    case '[':
      return open_container(token, false);
    case '"':
      read = read_string(token);
      break;
    case 't':
      read = read_literal(token, "true", JsonKind::True);
      break;
    case 'f':
      read = read_literal(token, "false", JsonKind::False);
      break;
    case 'n':
      read = read_literal(token, "null", JsonKind::Null);
      break;
    default:
      if (peek() != '-' && !is_digit(peek())) return fail(error_here(json_error::EXPECTED_VALUE));
      read = read_number(token);
      break;
  }
  if (!read) return false;
  after_value();
  return true;
}

bool JsonReader::read_member_name(JsonToken& token) {
  if (peek() != '"') return fail(error_here(json_error::KEY_MUST_BE_A_STRING));
  if (!read_string(token)) return false;
  token.kind = JsonKind::MemberName;
  expect_ = Expect::MemberValue;
  return true;
}

bool JsonReader::open_container(JsonToken& token, bool is_object) {
  if (depth_ == MAX_DEPTH) return fail(error_here(json_error::RECURSION_LIMIT));
  is_object_[depth_++] = is_object;
  token = JsonToken{};
  token.kind = is_object ? JsonKind::BeginObject : JsonKind::BeginArray;
  token.begin = pos_++;
  token.end = pos_;
  expect_ = is_object ? Expect::FirstMember : Expect::FirstElement;
  return true;
}

bool JsonReader::close_container(JsonToken& token) {
  token = JsonToken{};
  token.kind = is_object_[--depth_] ? JsonKind::EndObject : JsonKind::EndArray;
  token.begin = pos_++;
  token.end = pos_;
  after_value();
  return true;
}

void JsonReader::after_value() {
  if (depth_ == 0) {
    expect_ = Expect::Done;
  } else {
    expect_ = is_object_[depth_ - 1] ? Expect::NextMember : Expect::NextElement;
  }
}

bool JsonReader::read_literal(JsonToken& token, std::string_view literal, JsonKind kind) {
  token = JsonToken{};
  token.begin = pos_++;
  for (size_t i = 1; i < literal.size(); ++i, ++pos_) {
    if (at_end()) return fail(error_here(json_error::EOF_VALUE));
    if (peek() != literal[i]) return fail(error_here(json_error::EXPECTED_IDENT));
  }
  token.kind = kind;
  token.end = pos_;
  return true;
}

bool JsonReader::read_number(JsonToken& token) {
  NumberParts parts{};
  parts.begin = pos_;
  parts.negative = peek() == '-';
  if (parts.negative) ++pos_;
  if (at_end()) return fail(error_here(json_error::EOF_VALUE));
  parts.digits_begin = pos_;
  if (peek() == '0') {
    ++pos_;
    if (!at_end() && is_digit(peek())) return fail(error_here(json_error::INVALID_NUMBER));
  } else if (is_digit(peek())) {
    while (!at_end() && is_digit(peek())) ++pos_;
  } else {
    return fail(error_here(json_error::INVALID_NUMBER));
  }
  parts.digits_end = parts.fraction_begin = parts.fraction_end = pos_;
  if (!at_end() && peek() == '.') {
    parts.fraction_begin = ++pos_;
    while (!at_end() && is_digit(peek())) ++pos_;
    parts.fraction_end = pos_;
    if (parts.fraction_begin == parts.fraction_end) {
      return fail(error_here(at_end() ? json_error::EOF_VALUE : json_error::INVALID_NUMBER));
    }
  }
  const bool has_exponent = !at_end() && (peek() == 'e' || peek() == 'E');
  if (has_exponent) {
    parts.exponent_begin = ++pos_;
    if (!at_end() && (peek() == '+' || peek() == '-')) ++pos_;
    if (at_end()) return fail(error_here(json_error::EOF_VALUE));
    if (!is_digit(peek())) return fail(error_here(json_error::INVALID_NUMBER));
    while (!at_end() && is_digit(peek())) ++pos_;
  }
  parts.end = pos_;
  if (!has_exponent) parts.exponent_begin = parts.end;

  token = JsonToken{};
  token.begin = parts.begin;
  token.end = parts.end;
  const bool is_integer_form = !has_exponent && parts.fraction_begin == parts.fraction_end;
  if (is_integer_form) {
    const auto magnitude =
        integer_magnitude(text_.substr(parts.digits_begin, parts.digits_end - parts.digits_begin));
    constexpr uint64_t SIGNED_MIN_MAGNITUDE = uint64_t{1} << 63;
    if (magnitude && !parts.negative) {
      token.kind = JsonKind::Unsigned;
      token.unsigned_value = *magnitude;
      return true;
    }
    if (magnitude && *magnitude != 0 && *magnitude <= SIGNED_MIN_MAGNITUDE) {
      token.kind = JsonKind::Signed;
      token.signed_value = *magnitude == SIGNED_MIN_MAGNITUDE ? std::numeric_limits<int64_t>::min()
                                                              : -static_cast<int64_t>(*magnitude);
      return true;
    }
  }
  token.kind = JsonKind::Float;
  const char* first = text_.data() + parts.begin;
  const char* last = text_.data() + parts.end;
  const auto result = std::from_chars(first, last, token.float_value);
  if (result.ec == std::errc::result_out_of_range) {
    if (is_too_large(text_, parts)) {
      return fail(Status::error(json_error::NUMBER_OUT_OF_RANGE, parts.end));
    }
    token.float_value = parts.negative ? -0.0 : 0.0;
  } else if (result.ec != std::errc() || result.ptr != last) {
    // Cannot happen for a scanned JSON number; treated as malformed rather than trusted.
    return fail(Status::error(json_error::INVALID_NUMBER, parts.end));
  }
  return true;
}

bool JsonReader::read_string(JsonToken& token) {
  token = JsonToken{};
  token.kind = JsonKind::String;
  token.begin = pos_++;
  size_t run_begin = pos_;
  bool has_escape = false;
  while (true) {
    while (!at_end() && !STRING_STOPS[static_cast<unsigned char>(peek())]) ++pos_;
    if (at_end()) return fail(error_here(json_error::EOF_STRING));
    const char c = peek();
    if (c == '"') break;
    if (c != '\\') return fail(error_here(json_error::CONTROL_CHARACTER));
    if (!has_escape) scratch_.clear();
    has_escape = true;
    scratch_.append(text_.substr(run_begin, pos_ - run_begin));
    if (!read_escape()) return false;
    run_begin = pos_;
  }
  if (has_escape) {
    scratch_.append(text_.substr(run_begin, pos_ - run_begin));
    token.text = scratch_;
  } else {
    token.text = text_.substr(run_begin, pos_ - run_begin);
  }
  token.end = ++pos_;
  return true;
}

// Decodes the escape at pos_ (a backslash) into scratch_ and moves past it.
bool JsonReader::read_escape() {
  ++pos_;
  if (at_end()) return fail(error_here(json_error::EOF_STRING));
  const char c = text_[pos_++];
  switch (c) {
    case '"':
      scratch_ += '"';
      return true;
    case '\\':
      scratch_ += '\\';
      return true;
    case '/':
      scratch_ += '/';
      return true;
    case 'b':
      scratch_ += '\b';
      return true;
    case 'f':
      scratch_ += '\f';
      return true;
    case 'n':
      scratch_ += '\n';
      return true;
    case 'r':
      scratch_ += '\r';
      return true;
    case 't':
      scratch_ += '\t';
      return true;
    case 'u':
      return read_unicode_escape();
    default:
      return fail(Status::error(json_error::INVALID_ESCAPE, pos_));
  }
}

// After "\u": four hex digits, and for a leading surrogate a second "\u" escape with a trailing
// one.
bool JsonReader::read_unicode_escape() {
  uint32_t unit = 0;
  if (!read_hex4(unit)) return false;
  // The column of a bad code unit is the last hex digit of its escape.
  if (is_trailing_surrogate(unit)) {
    return fail(Status::error(json_error::LONE_LEADING_SURROGATE, pos_));
  }
  if (!is_leading_surrogate(unit)) {
    append_utf8(unit, scratch_);
    return true;
  }
  for (const char expected : {'\\', 'u'}) {
    if (at_end()) return fail(error_here(json_error::EOF_STRING));
    if (peek() != expected) return fail(error_here(json_error::UNEXPECTED_END_OF_HEX_ESCAPE));
    ++pos_;
  }
  uint32_t trailing = 0;
  if (!read_hex4(trailing)) return false;
  if (!is_trailing_surrogate(trailing)) {
    return fail(Status::error(json_error::LONE_LEADING_SURROGATE, pos_));
  }
  append_utf8(0x10000 + ((unit - 0xD800) << 10) + (trailing - 0xDC00), scratch_);
  return true;
}

bool JsonReader::read_hex4(uint32_t& unit) {
  unit = 0;
  for (int i = 0; i < 4; ++i, ++pos_) {
    if (at_end()) return fail(error_here(json_error::EOF_STRING));
    const int digit = hex_value(peek());
    if (digit < 0) return fail(error_here(json_error::INVALID_ESCAPE));
    unit = unit * 16 + static_cast<uint32_t>(digit);
  }
  return true;
}

}  // namespace treemon
