#include "protocol/json_writer.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

#include "base/utf8.h"
#include "protocol/number_text.h"

namespace treemon {
namespace {

// For each ASCII byte, the letter of its short escape, 'u' for the \u00XX form, or 0 when the byte
// is copied as it is.
constexpr std::array<char, 128> ASCII_ESCAPES = [] {
  std::array<char, 128> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

// Skips whole eight-byte words of printable ASCII other than '"' and '\\', the common case of
// names and command lines, and stops at the first word that holds any other byte. A fast path
// beside the UTF-8 module's per-character check, for the ASCII that makes up most names and command
// lines (bench/write_bench.cpp measures it).
size_t skip_plain_ascii_words(std::string_view text, size_t at) {
  constexpr uint64_t ONES = 0x0101010101010101u;
  constexpr uint64_t HIGHS = 0x8080808080808080u;
  const auto has_zero_byte = [](uint64_t v) { return (v - ONES) & ~v & HIGHS; };
  while (text.size() - at >= 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + at, sizeof word);
    const uint64_t below_space = (word - ONES * 0x20) & ~word & HIGHS;
    const uint64_t special = below_space | (word & HIGHS) | has_zero_byte(word ^ (ONES * '"')) |
                             has_zero_byte(word ^ (ONES * '\\'));
    if (special != 0) break;
    at += 8;
  }
  return at;
}

}  // namespace

const Status& JsonWriter::begin_object() {
  separate();
  put('{');
  after_value_ = false;
  return status_;
}

const Status& JsonWriter::end_object() {
  put('}');
  after_value_ = true;
  return status_;
}

const Status& JsonWriter::begin_array() {
  separate();
  put('[');
  after_value_ = false;
  return status_;
}

const Status& JsonWriter::end_array() {
  put(']');
  after_value_ = true;
  return status_;
}

const Status& JsonWriter::name(std::string_view member_name) {
  separate();
  put('"');
  put_escaped(member_name);
  put("\":");
  after_value_ = false;
  return status_;
}

const Status& JsonWriter::string(std::string_view text) {
  separate();
  put('"');
  put_escaped(text);
  put('"');
  after_value_ = true;
  return status_;
}

const Status& JsonWriter::u32(uint32_t value) { return u64(value); }

const Status& JsonWriter::u64(uint64_t value) {
  constexpr size_t MAX_DIGITS = 20;  // 18446744073709551615
  separate();
  if (STAGE_CAPACITY - staged_ < MAX_DIGITS) flush();
  if (STAGE_CAPACITY - staged_ >= MAX_DIGITS) {
    const auto result = std::to_chars(stage_ + staged_, stage_ + STAGE_CAPACITY, value);
    staged_ = static_cast<size_t>(result.ptr - stage_);
  }
  after_value_ = true;
  return status_;
}

const Status& JsonWriter::boolean(bool value) {
  separate();
  put(value ? std::string_view("true") : std::string_view("false"));
  after_value_ = true;
  return status_;
}

const Status& JsonWriter::null() {
  separate();
  put("null");
  after_value_ = true;
  return status_;
}

const Status& JsonWriter::float32(float value) {
  if (!std::isfinite(value)) return null();
  separate();
  char text[NUMBER_TEXT_CAPACITY];
  put(format_float_text(value, text));
  after_value_ = true;
  return status_;
}

const Status& JsonWriter::float64(double value) {
  if (!std::isfinite(value)) return null();
  separate();
  char text[NUMBER_TEXT_CAPACITY];
  put(format_double_text(value, text));
  after_value_ = true;
  return status_;
}

const Status& JsonWriter::finish() {
  flush();
  return status_;
}

// A piece that does not fit in what is left of the stage: what was staged goes first, then the
// piece, gathered if it is short, in one append of its own if it is long.
void JsonWriter::put_large(std::string_view bytes) {
  flush();
  if (failed()) return;
  if (bytes.size() > STAGE_CAPACITY / 2) {
    status_ = output_.append(bytes);
    return;
  }
  std::memcpy(stage_, bytes.data(), bytes.size());
  staged_ = bytes.size();
}

// Copies runs of bytes that need no escape in one piece each.
void JsonWriter::put_escaped(std::string_view text) {
  size_t run_start = 0;
  size_t at = 0;
  const auto put_run = [&] {
    if (at > run_start) put(text.substr(run_start, at - run_start));
  };
  while (at < text.size()) {
    at = skip_plain_ascii_words(text, at);
    if (at == text.size()) break;
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x80) {
      const char escape = ASCII_ESCAPES[byte];
      if (escape == 0) {
        ++at;
        continue;
      }
      put_run();
      if (escape == 'u') {
        constexpr char HEX[] = "0123456789abcdef";
        const char control[] = {'\\', 'u', '0', '0', HEX[byte >> 4], HEX[byte & 0xF]};
        put(std::string_view(control, sizeof control));
      } else {
        const char short_escape[] = {'\\', escape};
        put(std::string_view(short_escape, sizeof short_escape));
      }
      run_start = ++at;
      continue;
    }
    const Utf8Sequence step = utf8_sequence_at(text, at);
    if (step.well_formed) {
      at += step.length;
      continue;
    }
    put_run();
    put(REPLACEMENT_CHARACTER_UTF8);
    at += step.length;
    run_start = at;
  }
  put_run();
}

void JsonWriter::flush() {
  if (failed() || staged_ == 0) return;
  status_ = output_.append(std::string_view(stage_, staged_));
  staged_ = 0;
}

}  // namespace treemon
