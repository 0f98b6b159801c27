#include "base/utf8.h"

namespace treemon {
namespace {

// Continuation bytes (10xxxxxx) never start a character, so a cut may not fall before one.
bool is_continuation_byte(char byte) { return (static_cast<unsigned char>(byte) & 0xC0u) == 0x80u; }

}  // namespace

bool is_well_formed_utf8(std::string_view bytes) {
  for (size_t at = 0; at < bytes.size();) {
    const Utf8Sequence sequence = utf8_sequence_at(bytes, at);
    if (!sequence.well_formed) return false;
    at += sequence.length;
  }
  return true;
}

std::string repair_utf8(std::string_view bytes) {
  if (is_well_formed_utf8(bytes)) return std::string(bytes);
  std::string repaired;
  repaired.reserve(bytes.size() + 8);
  for (size_t at = 0; at < bytes.size();) {
    const Utf8Sequence sequence = utf8_sequence_at(bytes, at);
    if (sequence.well_formed) {
      repaired.append(bytes.substr(at, sequence.length));
    } else {
      repaired += REPLACEMENT_CHARACTER_UTF8;
    }
    at += sequence.length;
  }
  return repaired;
}

DecodedCharacter decode_utf8(std::string_view text, size_t at) {
  const Utf8Sequence sequence = utf8_sequence_at(text, at);
  if (!sequence.well_formed) return {0, 0};
  constexpr unsigned char LEAD_BITS[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  char32_t code_point = static_cast<unsigned char>(text[at]) & LEAD_BITS[sequence.length];
  for (size_t i = 1; i < sequence.length; ++i) {
    code_point = (code_point << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3Fu);
  }
  return {code_point, sequence.length};
}

void append_utf8(char32_t code_point, std::string& out) {
  const auto byte = [&out](char32_t value) { out.push_back(static_cast<char>(value)); };
  if (code_point < 0x80) {
    byte(code_point);
  } else if (code_point < 0x800) {
    byte(0xC0 | (code_point >> 6));
    byte(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    byte(0xE0 | (code_point >> 12));
    byte(0x80 | ((code_point >> 6) & 0x3F));
    byte(0x80 | (code_point & 0x3F));
  } else {
    byte(0xF0 | (code_point >> 18));
    byte(0x80 | ((code_point >> 12) & 0x3F));
    byte(0x80 | ((code_point >> 6) & 0x3F));
    byte(0x80 | (code_point & 0x3F));
  }
}

std::string_view cut_to_bytes(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  size_t cut = max_bytes;
  while (cut > 0 && is_continuation_byte(text[cut])) --cut;
  return text.substr(0, cut);
}

}  // namespace treemon
