#include "base/win32_windows.h"
#include "recorder/terminal.h"

namespace treemon::recorder {

bool standard_output_is_terminal() {
  const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (output == INVALID_HANDLE_VALUE || !::GetConsoleMode(output, &mode)) return false;
  // The view is drawn with escape sequences, and its texts are UTF-8.
  ::SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  ::SetConsoleOutputCP(CP_UTF8);
  return true;
}

std::optional<TerminalSize> terminal_size() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!::GetConsoleScreenBufferInfo(::GetStdHandle(STD_OUTPUT_HANDLE), &info)) return std::nullopt;
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  const int rows = info.srWindow.Bottom - info.srWindow.Top + 1;
  if (columns <= 0 || rows <= 0) return std::nullopt;
  return TerminalSize{static_cast<size_t>(columns), static_cast<size_t>(rows)};
}

}  // namespace treemon::recorder
