#include "recorder/output_tail.h"

#include "base/utf8.h"

namespace treemon::recorder {
namespace {

// Control characters, C1 included, become spaces; invalid bytes become U+FFFD.
std::string without_controls(std::string_view bytes) {
  std::string line;
  const std::string text = repair_utf8(bytes);
  for (size_t at = 0; at < text.size();) {
    const DecodedCharacter decoded = decode_utf8(text, at);
    const size_t length = decoded.length == 0 ? 1 : decoded.length;
    const char32_t code = decoded.code_point;
    const bool control = code < 0x20 || (code >= 0x7f && code <= 0x9f);
    line += control ? std::string(" ") : text.substr(at, length);
    at += length;
  }
  return line;
}

}  // namespace

void OutputTail::add(CommandStream stream, std::string_view bytes) {
  if (log_ != nullptr) log_->write(bytes);
  std::string& partial = partial_[static_cast<size_t>(stream)];
  for (size_t start = 0; start < bytes.size();) {
    const size_t end = bytes.find('\n', start);
    const std::string_view piece =
        bytes.substr(start, end == std::string_view::npos ? end : end - start);
    if (partial.size() < OUTPUT_LINE_KEPT_BYTES) {
      partial.append(piece.substr(0, OUTPUT_LINE_KEPT_BYTES - partial.size()));
    }
    if (end == std::string_view::npos) break;
    keep(std::move(partial));
    partial.clear();
    start = end + 1;
  }
}

void OutputTail::end(CommandStream stream) {
  std::string& partial = partial_[static_cast<size_t>(stream)];
  if (!partial.empty()) keep(std::move(partial));
  partial.clear();
}

void OutputTail::keep(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  lines_.push_back(without_controls(cut_to_bytes(line, OUTPUT_LINE_KEPT_BYTES)));
  while (lines_.size() > OUTPUT_TAIL_LINES) lines_.pop_front();
}

}  // namespace treemon::recorder
