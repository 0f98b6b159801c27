// The line intake on arbitrary byte streams: LineDecoder must give exactly the messages of a plain
// reference splitter written here, whatever pieces the stream arrives in.
//
// Input layout: the first byte seeds the piece sizes, the rest is the stream. The stream is fed
// twice, whole and in pseudo-random pieces (empty pieces included), and both results are compared
// with the reference and with each other. Checked on every input:
//  1. the messages equal the reference's, in order;
//  2. at most one read-failure text, and nothing after it; failed() says whether there was one;
//  3. feed() returns false from the piece that completes the bad line on, and decodes nothing more;
//  4. the piece sizes make no difference.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "control/command_reader.h"
#include "protocol/messages.h"
#include "protocol/parse_command.h"

namespace treemon {
namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "intake invariant broken: %s\n", what);
    std::abort();
  }
}

// Well-formed UTF-8 by the table of well-formed byte sequences: each lead byte range fixes the
// range of the second byte; further bytes are 80..BF.
bool reference_valid_utf8(std::string_view text) {
  size_t i = 0;
  const auto at = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const auto in = [](unsigned char b, unsigned char lo, unsigned char hi) {
    return b >= lo && b <= hi;
  };
  while (i < text.size()) {
    const unsigned char b0 = at(i);
    size_t length = 1;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 <= 0x7F) {
      ++i;
      continue;
    } else if (in(b0, 0xC2, 0xDF)) {
      length = 2;
    } else if (b0 == 0xE0) {
      length = 3, lo = 0xA0;
    } else if (in(b0, 0xE1, 0xEC) || in(b0, 0xEE, 0xEF)) {
      length = 3;
    } else if (b0 == 0xED) {
      length = 3, hi = 0x9F;
    } else if (b0 == 0xF0) {
      length = 4, lo = 0x90;
    } else if (in(b0, 0xF1, 0xF3)) {
      length = 4;
    } else if (b0 == 0xF4) {
      length = 4, hi = 0x8F;
    } else {
      return false;
    }
    if (i + length > text.size() || !in(at(i + 1), lo, hi)) return false;
    for (size_t k = 2; k < length; ++k) {
      if (!in(at(i + k), 0x80, 0xBF)) return false;
    }
    i += length;
  }
  return true;
}

// The Unicode White_Space characters, as UTF-8 byte strings.
const std::vector<std::string_view>& white_space_sequences() {
  static const std::vector<std::string_view> sequences = {
      "\t",           "\n",           "\v",
      "\f",           "\r",           " ",
      "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80",
      "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
      "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
      "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
      "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8",
      "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
      "\xE3\x80\x80"};
  return sequences;
}

bool reference_blank(std::string_view line) {
  while (!line.empty()) {
    bool matched = false;
    for (std::string_view space : white_space_sequences()) {
      if (line.starts_with(space)) {
        line.remove_prefix(space.size());
        matched = true;
        break;
      }
    }
    if (!matched) return false;
  }
  return true;
}

// Splits the whole stream at once, line by line, the plain way.
std::vector<IntakeMessage> reference_messages(std::string_view stream) {
  std::vector<IntakeMessage> out;
  while (!stream.empty()) {
    const size_t end = stream.find('\n');
    const bool has_line_feed = end != std::string_view::npos;
    std::string_view line = stream.substr(0, has_line_feed ? end : stream.size());
    stream.remove_prefix(has_line_feed ? end + 1 : stream.size());
    if (!reference_valid_utf8(line)) {
      out.emplace_back(
          IntakeError{std::string(READ_FAILURE_PREFIX) + std::string(INVALID_UTF8_DESCRIPTION)});
      break;
    }
    // Only a carriage return before a line feed belongs to the line ending.
    if (has_line_feed && line.ends_with('\r')) line.remove_suffix(1);
    if (reference_blank(line)) continue;
    ParseResult parsed = parse_command(line);
    if (auto* command = std::get_if<Command>(&parsed)) {
      out.emplace_back(std::move(*command));
    } else {
      out.emplace_back(
          IntakeError{std::string(INVALID_COMMAND_PREFIX) + std::get<Rejection>(parsed).text});
    }
  }
  return out;
}

bool is_read_failure(const IntakeMessage& message) {
  const auto* error = std::get_if<IntakeError>(&message);
  return error && error->text.starts_with(READ_FAILURE_PREFIX);
}

// Feeds the stream in pieces whose sizes come from `seed` (0 = the whole stream at once).
std::vector<IntakeMessage> decode_in_pieces(std::string_view stream, uint8_t seed) {
  LineDecoder decoder;
  std::vector<IntakeMessage> out;
  uint32_t state = seed * 2654435761u + 1;
  bool stopped = false;
  while (!stream.empty()) {
    state = state * 1103515245u + 12345u;
    const size_t size = seed == 0 ? stream.size() : (state >> 16) % 19;  // 0..18 bytes
    const std::string_view piece = stream.substr(0, size);
    stream.remove_prefix(piece.size());
    const size_t before = out.size();
    const bool ok = decoder.feed(piece, out);
    if (stopped) check(out.size() == before, "a failed decoder decoded more");
    check(ok == !decoder.failed(), "feed's result disagrees with failed()");
    stopped = !ok;
  }
  const size_t before = out.size();
  decoder.finish(out);
  if (stopped) check(out.size() == before, "a failed decoder decoded more at the end");
  const bool has_failure = !out.empty() && is_read_failure(out.back());
  check(decoder.failed() == has_failure, "failed() disagrees with the messages");
  return out;
}

void check_messages(const std::vector<IntakeMessage>& messages) {
  size_t failures = 0;
  for (const IntakeMessage& message : messages) failures += is_read_failure(message) ? 1 : 0;
  check(failures <= 1, "more than one read failure");
  if (failures == 1) check(is_read_failure(messages.back()), "a message after the read failure");
}

}  // namespace
}  // namespace treemon

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace treemon;
  if (size == 0) return 0;
  const uint8_t seed = data[0];
  const std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);

  const std::vector<IntakeMessage> expected = reference_messages(stream);
  const std::vector<IntakeMessage> whole = decode_in_pieces(stream, 0);
  const std::vector<IntakeMessage> pieces = decode_in_pieces(stream, seed == 0 ? 1 : seed);
  check_messages(whole);
  check(whole == expected, "messages differ from the reference splitter");
  check(pieces == whole, "piece sizes changed the messages");
  return 0;
}
