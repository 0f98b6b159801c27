#include <sys/ioctl.h>
#include <unistd.h>

#include "recorder/terminal.h"

namespace treemon::recorder {

bool standard_output_is_terminal() { return ::isatty(STDOUT_FILENO) == 1; }

std::optional<TerminalSize> terminal_size() {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) {
    return std::nullopt;
  }
  return TerminalSize{size.ws_col, size.ws_row};
}

}  // namespace treemon::recorder
