// The text of floating-point numbers: the shortest decimal digits that read back as the same value,
// laid out in decimal form within a range of exponents and in exponent form outside it.
//
// Single precision (cpuPercent in events) is formatted as single precision throughout; double
// precision is used only inside rejection texts. Non-finite values have no text here; the JSON
// writer writes them as null.
#pragma once

#include <string>

namespace treemon {

// Both append to `out`; the value must be finite.
void append_float_text(float value, std::string& out);
void append_double_text(double value, std::string& out);

std::string float_text(float value);
std::string double_text(double value);

}  // namespace treemon
