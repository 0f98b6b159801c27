// The recorder's text forms: numbers as the summary, the CSV and the view print them, byte counts,
// durations, and the shortening and escaping of what processes chose to call themselves.
//
// Contract:
//  1. fixed() rounds ties away from zero on the value's exact binary form: 0.25 reads "0.3",
//     1.45 (just below 1.45 in binary) reads "1.4".
//  2. printable() leaves no control character (C0, DEL, C1) in its result: each becomes an escape
//     (\n, \r, \t, else \xNN), so that text from another process cannot move the cursor, colour
//     or retitle a terminal, or break a line or a field.
//  3. Widths count characters (code points), and cutting never splits one.
// Pure functions, usable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace treemon::recorder {

// `value` with `decimals` decimals (at most 20); a value that is not finite reads "0".
std::string fixed(double value, int decimals = 1);

// "0 B" .. "1023 B", then one decimal of the largest binary unit up to TiB: "1.5 KiB".
std::string format_bytes(double bytes);

// Whole seconds as "mm:ss", or "h:mm:ss" from an hour on.
std::string format_duration(uint64_t ms);

std::string printable(std::string_view text);

// Characters in UTF-8 text.
size_t text_width(std::string_view text);

// At most `width` characters: cut at the end, the last kept character replaced by "~".
std::string fit(std::string_view text, size_t width);

// At most `width` characters, the middle replaced by "..." when too long, so that the program and
// the end of a command (the file a compiler works on) both stay readable.
std::string shorten_middle(std::string_view text, size_t width);

// A command as the table shows it: the program without its folder, then the arguments.
std::string_view display_command(std::string_view command);

}  // namespace treemon::recorder
