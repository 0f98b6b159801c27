#include "protocol/number_text.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace treemon {
namespace {

std::string float_text(float value) {
  char buffer[NUMBER_TEXT_CAPACITY];
  return std::string(format_float_text(value, buffer));
}

// Exact texts of the number notation, single precision.
TEST(NumberText, FloatTable) {
  const struct {
    float value;
    const char* text;
  } cases[] = {
      {0.0f, "0.0"},         {-0.0f, "-0.0"},           {100.0f, "100.0"},
      {12.5f, "12.5"},       {33.333332f, "33.333332"}, {1e12f, "1000000000000.0"},
      {1e13f, "1e+13"},      {0.000001f, "0.000001"},   {0.0000001f, "1e-7"},
      {0.1f, "0.1"},         {25.0f, "25.0"},           {0.25f, "0.25"},
      {0.00012f, "0.00012"}, {0.00000015f, "1.5e-7"},   {-12.5f, "-12.5"},
      {1.5e13f, "1.5e+13"},
  };
  for (const auto& c : cases) EXPECT_EQ(float_text(c.value), c.text) << c.text;
}

// Exact texts of the number notation, double precision.
TEST(NumberText, DoubleTable) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {1e15, "1000000000000000.0"},
      {1e16, "1e+16"},
      {0.00001, "0.00001"},
      {0.000001, "1e-6"},
      {1e300, "1e+300"},
      {18446744073709551616.0, "1.8446744073709552e+19"},
      {1.5, "1.5"},
      {1e3, "1000.0"},
      {-0.0, "-0.0"},
      {0.1, "0.1"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
  };
  for (const auto& c : cases) EXPECT_EQ(double_text(c.value), c.text) << c.text;
}

// Exponent of the first digit, read back from the text in either notation.
template <typename T>
int decimal_exponent_of(T value) {
  return static_cast<int>(std::floor(std::log10(static_cast<double>(std::fabs(value)))));
}

template <typename T>
void expect_round_trip(T value, int min_exponent, int max_exponent) {
  const std::string text = sizeof(T) == 4 ? float_text(static_cast<float>(value))
                                          : double_text(static_cast<double>(value));
  T back{};
  const auto result = std::from_chars(text.data(), text.data() + text.size(), back);
  ASSERT_EQ(result.ec, std::errc()) << text;
  ASSERT_EQ(result.ptr, text.data() + text.size()) << text;
  ASSERT_EQ(std::memcmp(&back, &value, sizeof(T)), 0) << text;
  if (value != 0) {
    const bool exponent_form = text.find('e') != std::string::npos;
    const int e = decimal_exponent_of(value);
    // log10 is inexact right at powers of ten; only judge values clearly inside a decade.
    const double mantissa = std::fabs(static_cast<double>(value)) / std::pow(10.0, e);
    if (mantissa > 1.0001 && mantissa < 9.999) {
      EXPECT_EQ(exponent_form, e < min_exponent || e > max_exponent) << text;
    }
  }
}

// Every formatted value reads back as the same value; the notation switches at the bounds.
TEST(NumberText, RoundTripProperty) {
  std::mt19937_64 random(12345);
  for (int i = 0; i < 200000; ++i) {
    uint32_t float_bits = static_cast<uint32_t>(random());
    float f;
    std::memcpy(&f, &float_bits, sizeof f);
    if (std::isfinite(f)) expect_round_trip(f, -6, 12);
    uint64_t double_bits = random();
    double d;
    std::memcpy(&d, &double_bits, sizeof d);
    if (std::isfinite(d)) expect_round_trip(d, -5, 15);
  }
  for (int e = -30; e <= 30; ++e) {
    expect_round_trip(static_cast<float>(2.5 * std::pow(10.0, e)), -6, 12);
    expect_round_trip(2.5 * std::pow(10.0, e), -5, 15);
  }
}

}  // namespace
}  // namespace treemon
