#include "sampling/text_cut.h"

namespace treemon {
namespace {

// Continuation bytes (10xxxxxx) never start a character, so a cut may not fall before one.
bool is_continuation_byte(char byte) {
  return (static_cast<unsigned char>(byte) & 0xC0u) == 0x80u;
}

}  // namespace

std::string_view cut_to_bytes(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  size_t cut = max_bytes;
  while (cut > 0 && is_continuation_byte(text[cut])) --cut;
  return text.substr(0, cut);
}

}  // namespace treemon
