// The text of floating-point numbers: the shortest decimal digits that read back as the same value,
// laid out in decimal form within a range of exponents and in exponent form outside it.
//
// Single precision (cpuPercent in events) is formatted as single precision throughout; double
// precision is used only inside rejection texts. Non-finite values have no text here; the JSON
// writer writes them as null.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace treemon {

// Room for the longest text of either precision, e.g. "-1.7976931348623157e+308" or
// "-0.000012345678901234567".
inline constexpr size_t NUMBER_TEXT_CAPACITY = 32;

// Formats into caller storage and returns the text, which lives in `buffer`; allocates nothing.
// The value must be finite.
std::string_view format_float_text(float value, char (&buffer)[NUMBER_TEXT_CAPACITY]);
std::string_view format_double_text(double value, char (&buffer)[NUMBER_TEXT_CAPACITY]);

// The same text as a string, for the rejection texts that quote a number; the value must be
// finite.
std::string double_text(double value);

}  // namespace treemon
