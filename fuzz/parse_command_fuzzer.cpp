// parse_command on arbitrary lines, as the command reader hands them over: the input is cut at line
// feeds, a carriage return before a line feed is dropped, and lines that are not valid UTF-8 or are
// blank are skipped. Checked on every line:
//  1. parsing neither throws nor crashes, and gives the same result twice;
//  2. a rejection is one of the known message forms, and a position suffix, when present, names
//     line 1 and a column within the line (0 only for an empty line);
//  3. a parsed command parses the same with white space after it, and appending " x" to it is the
//     error "trailing characters" at that x.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include "base/utf8.h"
#include "protocol/parse_command.h"

namespace treemon {
namespace {

void check(bool condition, const char* what, std::string_view line) {
  if (!condition) {
    std::fprintf(stderr, "parse_command invariant broken: %s\nline: %.*s\n", what,
                 static_cast<int>(line.size()), line.data());
    std::abort();
  }
}

bool is_blank(std::string_view line) {
  // ASCII white space only: lines of other Unicode white space are still parsed, which is harmless.
  return line.find_first_not_of(" \t\n\v\f\r") == std::string_view::npos;
}

bool has_known_form(const std::string& text) {
  static constexpr std::string_view FORMS[] = {
      "missing field `",
      "duplicate field `",
      "unknown variant `",
      "invalid type: ",
      "invalid value: ",
      "invalid length ",
      "EOF while parsing ",
      "expected ",
      "invalid escape",
      "invalid number",
      "number out of range",
      "control character (",
      "key must be a string",
      "lone leading surrogate",
      "unexpected end of hex escape",
      "trailing comma",
      "trailing characters",
      "recursion limit exceeded",
  };
  for (std::string_view form : FORMS) {
    if (text.starts_with(form)) return true;
  }
  return false;
}

void check_position(const std::string& text, std::string_view line) {
  constexpr std::string_view SUFFIX = " at line 1 column ";
  const size_t at = text.rfind(SUFFIX);
  if (at == std::string::npos) return;  // field errors carry no position
  const std::string digits = text.substr(at + SUFFIX.size());
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
    // Not a position: the words stand inside a received string quoted by a field error.
    const size_t quoted = text.find("string \"");
    check(quoted != std::string::npos && quoted < at, "the column is a decimal number", line);
    return;
  }
  check(digits.size() < 20, "the column is small", line);
  const size_t column = std::stoull(digits);
  check(column <= line.size(), "the column lies within the line", line);
  check(column > 0 || line.empty(), "columns count from 1", line);
}

void check_line(std::string_view line) {
  ParseResult first;
  ParseResult second;
  try {
    first = parse_command(line);
    second = parse_command(line);
  } catch (const std::exception& e) {
    check(false, e.what(), line);
  }
  check(first == second, "parsing is deterministic", line);

  if (const auto* rejection = std::get_if<Rejection>(&first)) {
    check(!rejection->text.empty(), "a rejection has a text", line);
    check(has_known_form(rejection->text), "a rejection has a known form", line);
    check_position(rejection->text, line);
    return;
  }
  const std::string spaced = std::string(line) + " \t\r";
  check(parse_command(spaced) == first, "trailing white space changes nothing", line);
  const std::string trailing = std::string(line) + " x";
  const ParseResult with_trailing = parse_command(trailing);
  const auto* rejection = std::get_if<Rejection>(&with_trailing);
  check(rejection != nullptr && rejection->text == "trailing characters at line 1 column " +
                                                       std::to_string(line.size() + 2),
        "text after a command is trailing characters", line);
}

}  // namespace
}  // namespace treemon

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  while (start <= input.size()) {
    size_t end = input.find('\n', start);
    const bool has_line_feed = end != std::string_view::npos;
    if (!has_line_feed) end = input.size();
    std::string_view line = input.substr(start, end - start);
    if (has_line_feed && line.ends_with('\r')) line.remove_suffix(1);
    if (treemon::is_well_formed_utf8(line) && !treemon::is_blank(line)) treemon::check_line(line);
    if (!has_line_feed) break;
    start = end + 1;
  }
  return 0;
}
