#include "recorder/live_view.h"

#include <cstdio>

namespace treemon::recorder {
namespace {

constexpr const char* ENTER = "\x1b[?1049h\x1b[?25l";
constexpr const char* LEAVE = "\x1b[?25h\x1b[?1049l";

}  // namespace

TerminalSize LiveView::size() const { return terminal_size().value_or(TerminalSize{}); }

void LiveView::show(std::vector<std::string> lines) {
  last_ = std::move(lines);
  if (broken_) return;
  std::string text;
  if (!entered_) {
    entered_ = true;
    text = ENTER;
  }
  text += "\x1b[H";
  for (size_t i = 0; i < last_.size(); ++i)
    text += last_[i] + (i + 1 < last_.size() ? "\x1b[K\n" : "");
  text += "\x1b[K\x1b[J";
  write(text);
}

void LiveView::close() {
  if (!entered_ || broken_) return;
  entered_ = false;
  std::string text = LEAVE;
  for (const std::string& line : last_) text += line + "\n";
  write(text);
}

bool LiveView::write(const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0) {
    return true;
  }
  broken_ = true;
  return false;
}

}  // namespace treemon::recorder
