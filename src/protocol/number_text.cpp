#include "protocol/number_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
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

// Lays out the digits d1..dn of value d1.d2...dn x 10^exponent.
void append_layout(std::string_view digits, int exponent, DecimalRange range, std::string& out) {
  const int n = static_cast<int>(digits.size());
  if (exponent < range.min_exponent || exponent > range.max_exponent) {
    out += digits[0];
    if (n > 1) {
      out += '.';
      out.append(digits.substr(1));
    }
    out += 'e';
    out += exponent >= 0 ? '+' : '-';
    out += std::to_string(std::abs(exponent));
  } else if (exponent >= 0 && n <= exponent + 1) {
    out.append(digits);
    out.append(static_cast<size_t>(exponent + 1 - n), '0');
    out += ".0";
  } else if (exponent >= 0) {
    out.append(digits.substr(0, static_cast<size_t>(exponent + 1)));
    out += '.';
    out.append(digits.substr(static_cast<size_t>(exponent + 1)));
  } else {
    out += "0.";
    out.append(static_cast<size_t>(-exponent - 1), '0');
    out.append(digits);
  }
}

// std::to_chars in scientific form without a precision gives the shortest digits that round-trip,
// the closest of them when several qualify: "d.ddde+XX".
template <typename T>
void append_number(T value, DecimalRange range, std::string& out) {
  if (std::signbit(value)) {
    out += '-';
    value = -value;
  }
  if (value == 0) {
    out += "0.0";
    return;
  }
  char buffer[64];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value,
                                       std::chars_format::scientific);
  const std::string_view text(buffer, ec == std::errc() ? static_cast<size_t>(end - buffer) : 0);
  const size_t mark = text.find('e');
  std::string digits;
  for (char c : text.substr(0, mark)) {
    if (c != '.') digits += c;
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  int exponent = 0;
  std::string_view exponent_text = text.substr(mark + 1);
  if (!exponent_text.empty() && exponent_text[0] == '+') exponent_text.remove_prefix(1);
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
  append_layout(digits, exponent, range, out);
}

}  // namespace

void append_float_text(float value, std::string& out) { append_number(value, FLOAT_RANGE, out); }
void append_double_text(double value, std::string& out) { append_number(value, DOUBLE_RANGE, out); }

std::string float_text(float value) {
  std::string out;
  append_float_text(value, out);
  return out;
}

std::string double_text(double value) {
  std::string out;
  append_double_text(value, out);
  return out;
}

}  // namespace treemon
