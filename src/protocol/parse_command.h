// parse_command: one command line to a Command, or the exact text of its rejection.
//
// The line is valid UTF-8 without its line ending and not otherwise trimmed; positions in
// rejection texts count bytes from its first byte. Keeps no state; safe on any thread.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "protocol/command.h"

namespace treemon {

struct Rejection {
  std::string text;  // e.g. "missing field `type` at line 1 column 13"
  friend bool operator==(const Rejection&, const Rejection&) = default;
};

using ParseResult = std::variant<Command, Rejection>;

ParseResult parse_command(std::string_view line);

}  // namespace treemon
