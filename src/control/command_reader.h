// The CommandReader: the thread that owns standard input, cuts it into lines and turns every
// line that is not blank into a Command or an intake error text for the main loop.
//
// LineDecoder holds the line logic without any I/O, so that it can be tested and fuzzed on
// arbitrary byte streams:
//  1. A line ends at a line feed, or at the end of input. A line longer than MAX_LINE_BYTES
//     (its line ending not counted) is not held: the rest of it is skipped up to its line feed,
//     it produces one "invalid command" text, and decoding goes on with the next line.
//  2. One line feed and then one carriage return directly before it are removed; a carriage
//     return that ends the input without a line feed stays.
//  3. Lines that are empty or hold only Unicode White_Space produce nothing.
//  4. A line that is not valid UTF-8 produces one read-failure text, and the decoder stops.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "control/command_queue.h"

namespace treemon {

inline constexpr size_t MAX_LINE_BYTES = 16 * 1024 * 1024;

class LineDecoder {
 public:
  // Appends the messages of every line completed by `bytes` to `out`. Returns false once the
  // stream has failed; nothing more is decoded after that.
  bool feed(std::string_view bytes, std::vector<IntakeMessage>& out);
  // End of input: decodes the last line if it had no line feed.
  void finish(std::vector<IntakeMessage>& out);

  bool failed() const { return failed_; }

 private:
  void decode_line(std::string_view line, std::vector<IntakeMessage>& out);
  void hold(std::string_view bytes);

  std::string pending_;    // bytes of the line not yet ended, at most MAX_LINE_BYTES + 1
  bool skipping_ = false;  // the line not yet ended is too long; its bytes are dropped
  bool failed_ = false;
};

// The message for one line without its line ending, or nothing for a blank line.
std::optional<IntakeMessage> message_for_line(std::string_view line);

bool is_blank_line(std::string_view utf8_text);

// Starts the reader thread on standard input, sending to `sender`. The thread is never joined;
// it stops at end of input, after a read failure, or when a send fails. Aborts with "failed to
// spawn thread" when the thread cannot be started.
void start_command_reader(CommandSender sender);

}  // namespace treemon
