// The terminal the view draws on, one implementation file per OS (terminal_posix.cpp,
// terminal_windows.cpp).
// Main thread only.
#pragma once

#include <cstddef>
#include <optional>

namespace treemon::recorder {

struct TerminalSize {
  size_t columns = 80;
  size_t rows = 24;
};

// Whether standard output is a terminal; on Windows also makes that console take escape
// sequences and UTF-8.
bool standard_output_is_terminal();

// Nothing when standard output is not a terminal or it does not say.
std::optional<TerminalSize> terminal_size();

}  // namespace treemon::recorder
