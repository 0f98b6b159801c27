#include "control/command_reader.h"

#include <gtest/gtest.h>

namespace treemon {
namespace {

std::string describe(const IntakeMessage& message) {
  if (auto* error = std::get_if<IntakeError>(&message)) return "error: " + error->text;
  return std::visit([](const auto& c) { return "command v" + std::to_string(c.version); },
                    std::get<Command>(message));
}

std::vector<std::string> decode(std::string_view bytes, size_t piece = 0) {
  LineDecoder decoder;
  std::vector<IntakeMessage> out;
  if (piece == 0) piece = bytes.size() + 1;
  for (size_t i = 0; i < bytes.size(); i += piece) decoder.feed(bytes.substr(i, piece), out);
  decoder.finish(out);
  std::vector<std::string> texts;
  for (const auto& m : out) texts.push_back(describe(m));
  return texts;
}

const std::string SHUTDOWN = R"({"version":2,"type":"shutdown"})";
const std::string UTF8_FAILURE =
    "error: failed reading command stream: stream did not contain valid UTF-8";

// How line endings, blank lines and invalid bytes turn into messages.
TEST(LineDecoder, LinesToMessages) {
  const struct {
    std::string input;
    std::vector<std::string> expected;
  } cases[] = {
      {SHUTDOWN + "\n", {"command v2"}},
      {SHUTDOWN + "\r\n", {"command v2"}},
      {SHUTDOWN, {"command v2"}},         // last line without a line feed
      {SHUTDOWN + "\r", {"command v2"}},  // a final CR without LF stays, and is JSON white space
      {"\n\n  \t\n\r\n" + SHUTDOWN + "\n", {"command v2"}},
      {"\xC2\xA0\xE3\x80\x80\xE2\x80\xA8\x0B\x0C\n", {}},  // U+00A0, U+3000, U+2028, VT, FF
      {"\xC2\x85\n", {}},                                  // U+0085
      {"\xE2\x80\x8B\n",
       {"error: invalid command: expected value at line 1 column 1"}},  // U+200B is not White_Space
      {SHUTDOWN + " " + SHUTDOWN + "\n",
       {"error: invalid command: trailing characters at line 1 column 33"}},
      {"  {\"version\":2}\n", {"error: invalid command: missing field `type` at line 1 column 15"}},
      {SHUTDOWN + "\r\r\n", {"command v2"}},  // only one CR goes; the other is white space
      {SHUTDOWN + "\n\xFF\n" + SHUTDOWN + "\n", {"command v2", UTF8_FAILURE}},
      {"\xED\xA0\x80\n", {UTF8_FAILURE}},       // an encoded surrogate
      {"\xC0\xAF\n", {UTF8_FAILURE}},           // an overlong form
      {SHUTDOWN + "\xE2\x82", {UTF8_FAILURE}},  // cut inside a character at the end of input
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decode(c.input), c.expected) << c.input;
    EXPECT_EQ(decode(c.input, 1), c.expected) << "byte by byte: " << c.input;
  }
}

TEST(LineDecoder, StopsAfterFailure) {
  LineDecoder decoder;
  std::vector<IntakeMessage> out;
  EXPECT_FALSE(decoder.feed("\xFF\n", out));
  EXPECT_FALSE(decoder.feed(SHUTDOWN + "\n", out));
  decoder.finish(out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(decoder.failed());
}

TEST(LineDecoder, LongLineAcrossManyReads) {
  std::string line =
      R"({"version":2,"type":"sampleNow","requestId":")" + std::string(1 << 20, 'x') + "\"}\n";
  LineDecoder decoder;
  std::vector<IntakeMessage> out;
  for (size_t i = 0; i < line.size(); i += 4096)
    decoder.feed(std::string_view(line).substr(i, 4096), out);
  ASSERT_EQ(out.size(), 1u);
  const auto& command = std::get<Command>(out[0]);
  EXPECT_EQ(std::get<SampleNow>(command).requestId.size(), 1u << 20);
}

// The line limit, the line ending not counted: a command padded to exactly MAX_LINE_BYTES is
// taken; one byte more gives one error, its bytes are not even decoded, and the next line is
// read. In one piece or in pieces of 64 KiB (the limit then ends on a piece boundary), and at the
// end of input too.
TEST(LineDecoder, LinesLongerThanTheLimitAreSkipped) {
  const std::string too_long = "error: invalid command: line longer than 16777216 bytes";
  const auto padded = [](size_t length) {
    return std::string(length - SHUTDOWN.size(), ' ') + SHUTDOWN;
  };
  const struct {
    std::string input;
    std::vector<std::string> expected;
  } cases[] = {
      {padded(MAX_LINE_BYTES) + "\n" + SHUTDOWN + "\n", {"command v2", "command v2"}},
      {padded(MAX_LINE_BYTES) + "\r\n" + SHUTDOWN, {"command v2", "command v2"}},
      {padded(MAX_LINE_BYTES), {"command v2"}},
      {padded(MAX_LINE_BYTES + 1) + "\n" + SHUTDOWN + "\n", {too_long, "command v2"}},
      {padded(MAX_LINE_BYTES + 1) + "\r\n" + SHUTDOWN, {too_long, "command v2"}},
      {padded(MAX_LINE_BYTES) + "\r", {too_long}},  // a last carriage return stays in the line
      {padded(3 * MAX_LINE_BYTES), {too_long}},
      {std::string(MAX_LINE_BYTES + 1, '\xFF') + "\n" + SHUTDOWN + "\n", {too_long, "command v2"}},
  };
  for (const auto& c : cases) {
    for (const size_t piece : {size_t{0}, size_t{65536}}) {
      EXPECT_EQ(decode(c.input, piece), c.expected)
          << c.input.size() << " bytes in pieces of " << piece;
    }
  }
}

// Every White_Space character and a few look-alikes that are not.
TEST(LineDecoder, WhiteSpaceSet) {
  const char32_t white[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,  0x1680,
                            0x2000, 0x2005, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  const char32_t not_white[] = {0x200B, 0x180E, 0xFEFF, 0x1F, 0x2060};
  const auto utf8 = [](char32_t c) {
    std::string s;
    if (c < 0x80) {
      s += static_cast<char>(c);
    } else if (c < 0x800) {
      s += static_cast<char>(0xC0 | (c >> 6));
      s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      s += static_cast<char>(0xE0 | (c >> 12));
      s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (c & 0x3F));
    }
    return s;
  };
  for (char32_t c : white)
    EXPECT_TRUE(is_blank_line(utf8(c) + " ")) << std::hex << static_cast<uint32_t>(c);
  for (char32_t c : not_white)
    EXPECT_FALSE(is_blank_line(utf8(c) + " ")) << std::hex << static_cast<uint32_t>(c);
}

}  // namespace
}  // namespace treemon
