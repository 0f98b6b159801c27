#include "protocol/number_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>

namespace treemon {
namespace {

// Decimal exponents written without an exponent mark, by precision.
struct DecimalRange {
  int min_exponent;
  int max_exponent;
};
constexpr DecimalRange FLOAT_RANGE{-6, 12};
constexpr DecimalRange DOUBLE_RANGE{-5, 15};

// Fixed storage the text is laid out in. NUMBER_TEXT_CAPACITY bounds every text of either
// precision, so the appends below never run past the end.
class TextBuffer {
 public:
  explicit TextBuffer(char (&storage)[NUMBER_TEXT_CAPACITY]) : data_(storage) {}

  void append(char c) { data_[size_++] = c; }
  void append(std::string_view text) {
    std::memcpy(data_ + size_, text.data(), text.size());
    size_ += text.size();
  }
  void append(size_t count, char c) {
    std::memset(data_ + size_, c, count);
    size_ += count;
  }
  void append_decimal(int value) {
    const auto result = std::to_chars(data_ + size_, data_ + NUMBER_TEXT_CAPACITY, value);
    size_ = static_cast<size_t>(result.ptr - data_);
  }
  std::string_view text() const { return {data_, size_}; }

 private:
  char* data_;
  size_t size_ = 0;
};

// Lays out the digits d1..dn of value d1.d2...dn x 10^exponent.
void append_layout(std::string_view digits, int exponent, DecimalRange range, TextBuffer& out) {
  const int n = static_cast<int>(digits.size());
  if (exponent < range.min_exponent || exponent > range.max_exponent) {
    out.append(digits[0]);
    if (n > 1) {
      out.append('.');
      out.append(digits.substr(1));
    }
    out.append('e');
    out.append(exponent >= 0 ? '+' : '-');
    out.append_decimal(std::abs(exponent));
  } else if (exponent >= 0 && n <= exponent + 1) {
    out.append(digits);
    out.append(static_cast<size_t>(exponent + 1 - n), '0');
    out.append(".0");
  } else if (exponent >= 0) {
    out.append(digits.substr(0, static_cast<size_t>(exponent + 1)));
    out.append('.');
    out.append(digits.substr(static_cast<size_t>(exponent + 1)));
  } else {
    out.append("0.");
    out.append(static_cast<size_t>(-exponent - 1), '0');
    out.append(digits);
  }
}

// std::to_chars in scientific form without a precision gives the shortest digits that round-trip,
// the closest of them when several qualify: "d.ddde+XX".
template <typename T>
std::string_view format_number(T value, DecimalRange range, char (&storage)[NUMBER_TEXT_CAPACITY]) {
  TextBuffer out(storage);
  if (std::signbit(value)) {
    out.append('-');
    value = -value;
  }
  if (value == 0) {
    out.append("0.0");
    return out.text();
  }
  char scientific[64];
  const auto [end, ec] = std::to_chars(scientific, scientific + sizeof scientific, value,
                                       std::chars_format::scientific);
  const std::string_view text(scientific,
                              ec == std::errc() ? static_cast<size_t>(end - scientific) : 0);
  const size_t mark = text.find('e');
  char digit_storage[NUMBER_TEXT_CAPACITY];
  size_t digit_count = 0;
  for (char c : text.substr(0, mark)) {
    if (c != '.') digit_storage[digit_count++] = c;
  }
  while (digit_count > 1 && digit_storage[digit_count - 1] == '0') --digit_count;
  int exponent = 0;
  std::string_view exponent_text = text.substr(mark + 1);
  if (!exponent_text.empty() && exponent_text[0] == '+') exponent_text.remove_prefix(1);
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
  append_layout(std::string_view(digit_storage, digit_count), exponent, range, out);
  return out.text();
}

}  // namespace

std::string_view format_float_text(float value, char (&buffer)[NUMBER_TEXT_CAPACITY]) {
  return format_number(value, FLOAT_RANGE, buffer);
}

std::string_view format_double_text(double value, char (&buffer)[NUMBER_TEXT_CAPACITY]) {
  return format_number(value, DOUBLE_RANGE, buffer);
}

std::string double_text(double value) {
  char buffer[NUMBER_TEXT_CAPACITY];
  return std::string(format_double_text(value, buffer));
}

}  // namespace treemon
