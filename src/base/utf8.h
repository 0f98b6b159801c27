// UTF-8, once for the whole program: the well-formedness check, the repair of bytes the operating
// system hands over, decoding and encoding one character, and cutting text on a character boundary.
//
// Contract:
//  1. Well-formed means what Unicode means: no stray continuation byte, no truncated sequence, no
//     overlong form, no surrogate, nothing above U+10FFFF. U+0000 is valid text.
//  2. A maximal ill-formed subpart (the longest prefix of a sequence that could still have become
//     valid, at least one byte) is the unit of repair: each becomes one U+FFFD, as Unicode
//     recommends, so that every repair in the program gives the same text.
//  3. Nothing here reads outside the text it is given, whatever the bytes.
// Pure functions, usable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace treemon {

inline constexpr std::string_view REPLACEMENT_CHARACTER_UTF8 = "\xEF\xBF\xBD";
inline constexpr char32_t REPLACEMENT_CHARACTER = 0xFFFD;

struct Utf8Sequence {
  size_t length;  // of the well-formed sequence, or of the maximal ill-formed subpart (at least 1)
  bool well_formed;
};

// The sequence that starts at text[at] (at < text.size()). Inline: the JSON writer calls it for
// every non-ASCII character it writes.
inline Utf8Sequence utf8_sequence_at(std::string_view text, size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return {1, true};
  size_t length = 0;
  unsigned char second_min = 0x80;
  unsigned char second_max = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) second_min = 0xA0;  // no overlong forms
    if (lead == 0xED) second_max = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) second_min = 0x90;
    if (lead == 0xF4) second_max = 0x8F;  // nothing above U+10FFFF
  } else {
    return {1, false};
  }
  for (size_t i = 1; i < length; ++i) {
    if (at + i >= text.size()) return {i, false};
    const auto byte = static_cast<unsigned char>(text[at + i]);
    const unsigned char min = i == 1 ? second_min : 0x80;
    const unsigned char max = i == 1 ? second_max : 0xBF;
    if (byte < min || byte > max) return {i, false};
  }
  return {length, true};
}

// True when `bytes` is well-formed UTF-8 (then repair_utf8 returns it unchanged).
bool is_well_formed_utf8(std::string_view bytes);

// Valid UTF-8 stays byte for byte; each maximal ill-formed subpart becomes one U+FFFD.
std::string repair_utf8(std::string_view bytes);

// The code point of the character at text[at] and its length in bytes; length 0 when the bytes
// there are not a well-formed sequence.
struct DecodedCharacter {
  char32_t code_point;
  size_t length;
};
DecodedCharacter decode_utf8(std::string_view text, size_t at);

// Appends the UTF-8 form of a code point (at most U+10FFFF; surrogates are the caller's concern).
void append_utf8(char32_t code_point, std::string& out);

// The longest prefix of at most max_bytes bytes that ends on a character boundary: a character
// that would be split is dropped whole, and a text that already fits is returned unchanged.
std::string_view cut_to_bytes(std::string_view text, size_t max_bytes);

}  // namespace treemon
