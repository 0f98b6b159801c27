#include "procinfo/utf8_repair.h"

#include <cstdint>

namespace treemon {
namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

// The length of the well-formed sequence at `at`, or 0 when it is ill-formed; then `bad` is the
// length of its maximal ill-formed prefix (at least 1), which one U+FFFD replaces.
size_t sequence_length(std::string_view s, size_t at, size_t& bad) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  const uint8_t lead = byte(at);
  bad = 1;
  if (lead < 0x80) return 1;
  size_t length = 0;
  uint8_t low = 0x80;
  uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  for (size_t i = 1; i < length; ++i) {
    if (at + i >= s.size()) return 0;
    const uint8_t next = byte(at + i);
    const uint8_t lo = i == 1 ? low : 0x80;
    const uint8_t hi = i == 1 ? high : 0xBF;
    if (next < lo || next > hi) return 0;
    bad = i + 1;
  }
  return length;
}

}  // namespace

bool is_well_formed_utf8(std::string_view bytes) {
  size_t bad = 0;
  for (size_t at = 0; at < bytes.size();) {
    const size_t length = sequence_length(bytes, at, bad);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

std::string repair_utf8(std::string_view bytes) {
  if (is_well_formed_utf8(bytes)) return std::string(bytes);
  std::string repaired;
  repaired.reserve(bytes.size() + 8);
  size_t bad = 0;
  for (size_t at = 0; at < bytes.size();) {
    const size_t length = sequence_length(bytes, at, bad);
    if (length == 0) {
      repaired += REPLACEMENT;
      at += bad;
    } else {
      repaired.append(bytes.substr(at, length));
      at += length;
    }
  }
  return repaired;
}

}  // namespace treemon
