// UTF-16 to UTF-8 conversion for the texts that the platform layer receives from the OS.
//
// Contract: the result is always valid UTF-8. A surrogate that is not part of a high-low pair is
// replaced by U+FFFD (EF BF BD); every other unit, U+0000 included, is converted as it stands.
// Pure functions, usable from any thread and on every platform.
#pragma once

#include <string>
#include <string_view>

namespace treemon {

std::string utf8_from_utf16(std::u16string_view text);

// A fixed-size name field as the OS fills it: the whole field converted, then the trailing
// U+0000 characters removed (units after an embedded U+0000 are kept).
std::string utf8_from_utf16_field(std::u16string_view field);

}  // namespace treemon
