// Keeps the monitor's output lines of a test run for the protocol schema check: when
// TREEMON_EVENT_CAPTURE names a folder, every line the tests read from a monitor is appended to a
// file of this process's own in it (events-*.jsonl), whole lines only. Without the variable
// nothing is written.
#pragma once

#include <string_view>

namespace treemon::test_support {

// Appends `line` and a line feed. Safe to call from several threads; failures are ignored, as
// the capture only serves a later check.
void capture_event_line(std::string_view line);

// Appends each complete line of `text` (lines ended by a line feed).
void capture_event_lines(std::string_view text);

}  // namespace treemon::test_support
