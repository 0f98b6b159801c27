#include "base/utf16.h"

#include "base/utf8.h"

namespace treemon {
namespace {

bool is_high_surrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::string utf8_from_utf16(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (is_high_surrogate(unit) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
      const char32_t high = unit - 0xD800u;
      const char32_t low = text[i + 1] - 0xDC00u;
      append_utf8(0x10000 + ((high << 10) | low), out);
      ++i;
    } else if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
      append_utf8(REPLACEMENT_CHARACTER, out);
    } else {
      append_utf8(unit, out);
    }
  }
  return out;
}

std::string utf8_from_utf16_field(std::u16string_view field) {
  const size_t end = field.find_last_not_of(u'\0');
  return utf8_from_utf16(end == std::u16string_view::npos ? std::u16string_view{}
                                                          : field.substr(0, end + 1));
}

}  // namespace treemon
