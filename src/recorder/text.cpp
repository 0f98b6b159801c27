#include "recorder/text.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <vector>

#include "base/utf8.h"

namespace treemon::recorder {
namespace {

// Every finite double has at most 1074 decimals and 309 integer digits: with this many decimals
// the text is the exact value, so rounding can look at the first dropped digit alone.
constexpr int EXACT_DECIMALS = 1080;

// Adds one to the last digit of `digits` (which holds digits and at most one '.').
void carry_into(std::string& digits) {
  for (size_t i = digits.size(); i-- > 0;) {
    if (digits[i] == '.') continue;
    if (digits[i] != '9') {
      ++digits[i];
      return;
    }
    digits[i] = '0';
  }
  digits.insert(digits.begin(), '1');
}

// Offset of the character after `count` characters of `text` (its size when shorter).
size_t offset_of_character(std::string_view text, size_t count) {
  size_t at = 0;
  for (; at < text.size() && count > 0; --count) at += utf8_sequence_at(text, at).length;
  return at;
}

// The last `count` characters of `text`.
std::string_view last_characters(std::string_view text, size_t count) {
  const size_t width = text_width(text);
  return text.substr(offset_of_character(text, width > count ? width - count : 0));
}

}  // namespace

std::string fixed(double value, int decimals) {
  if (!std::isfinite(value)) return "0";
  std::vector<char> buffer(EXACT_DECIMALS + 400);
  const bool negative = std::signbit(value);
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), std::fabs(value),
                                    std::chars_format::fixed, EXACT_DECIMALS);
  const std::string_view exact(buffer.data(), static_cast<size_t>(result.ptr - buffer.data()));
  const size_t point = exact.find('.');
  std::string kept(
      exact.substr(0, decimals > 0 ? point + 1 + static_cast<size_t>(decimals) : point));
  if (exact[point + 1 + static_cast<size_t>(decimals)] >= '5') carry_into(kept);
  const bool zero = kept.find_first_not_of("0.") == std::string::npos;
  return negative && !zero ? "-" + kept : kept;
}

std::string format_bytes(double bytes) {
  static constexpr std::array<std::string_view, 5> UNITS = {"B", "KiB", "MiB", "GiB", "TiB"};
  size_t unit = 0;
  while (bytes >= 1024 && unit + 1 < UNITS.size()) {
    bytes /= 1024;
    ++unit;
  }
  return fixed(bytes, unit == 0 ? 0 : 1) + " " + std::string(UNITS[unit]);
}

std::string format_duration(uint64_t ms) {
  const uint64_t total = ms / 1000;
  const uint64_t hours = total / 3600;
  char text[48];
  const auto minutes = static_cast<unsigned long long>(total % 3600 / 60);
  const auto seconds = static_cast<unsigned long long>(total % 60);
  if (hours > 0) {
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", static_cast<unsigned long long>(hours),
                  minutes, seconds);
  } else {
    std::snprintf(text, sizeof text, "%02llu:%02llu", minutes, seconds);
  }
  return text;
}

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const auto byte = static_cast<unsigned char>(text[at]);
    const DecodedCharacter decoded = decode_utf8(text, at);
    const char32_t code = decoded.length == 0 ? byte : decoded.code_point;
    const size_t length = decoded.length == 0 ? 1 : decoded.length;
    if (code == '\n') {
      out += "\\n";
    } else if (code == '\r') {
      out += "\\r";
    } else if (code == '\t') {
      out += "\\t";
    } else if (code < 0x20 || (code >= 0x7f && code <= 0x9f)) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(code));
      out += escape;
    } else {
      out.append(text.substr(at, length));
    }
    at += length;
  }
  return out;
}

size_t text_width(std::string_view text) {
  size_t width = 0;
  for (size_t at = 0; at < text.size(); at += utf8_sequence_at(text, at).length) ++width;
  return width;
}

std::string fit(std::string_view text, size_t width) {
  if (text_width(text) <= width) return std::string(text);
  if (width == 0) return "";
  return std::string(text.substr(0, offset_of_character(text, width - 1))) + "~";
}

std::string shorten_middle(std::string_view text, size_t width) {
  if (text_width(text) <= width) return std::string(text);
  if (width < 8) return fit(text, width);
  const size_t head = (width - 3 + 1) / 2;
  return std::string(text.substr(0, offset_of_character(text, head))) + "..." +
         std::string(last_characters(text, width - 3 - head));
}

std::string_view display_command(std::string_view command) {
  const size_t space = command.find(' ');
  const std::string_view program = command.substr(0, space);
  const size_t slash = program.find_last_of("/\\");
  if (slash == std::string_view::npos || slash + 1 == program.size()) return command;
  return command.substr(slash + 1);
}

}  // namespace treemon::recorder
