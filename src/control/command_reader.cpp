#include "control/command_reader.h"

#include <utility>

#include "base/detached_thread.h"
#include "base/utf8.h"
#include "control/console.h"
#include "protocol/messages.h"
#include "protocol/parse_command.h"

namespace treemon {
namespace {

IntakeError read_failure(std::string_view description) {
  return IntakeError{std::string(READ_FAILURE_PREFIX) + std::string(description)};
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

}  // namespace

bool is_blank_line(std::string_view utf8_text) {
  for (size_t i = 0; i < utf8_text.size();) {
    const DecodedCharacter character = decode_utf8(utf8_text, i);
    if (character.length == 0 || !is_white_space(character.code_point)) return false;
    i += character.length;
  }
  return true;
}

std::optional<IntakeMessage> message_for_line(std::string_view line) {
  if (is_blank_line(line)) return std::nullopt;
  ParseResult parsed = parse_command(line);
  if (auto* command = std::get_if<Command>(&parsed)) return IntakeMessage(std::move(*command));
  return IntakeMessage(
      IntakeError{std::string(INVALID_COMMAND_PREFIX) + std::get<Rejection>(parsed).text});
}

namespace {

IntakeMessage line_too_long() {
  return IntakeError{std::string(INVALID_COMMAND_PREFIX) + line_too_long_reason(MAX_LINE_BYTES)};
}

// The length of the line that `piece` ends with its line feed, without that line feed and a
// carriage return directly before it.
size_t length_without_ending(std::string_view pending, std::string_view piece) {
  const bool carriage_return = piece.size() >= 2 ? piece[piece.size() - 2] == '\r'
                                                 : !pending.empty() && pending.back() == '\r';
  return pending.size() + piece.size() - 1 - (carriage_return ? 1 : 0);
}

}  // namespace

void LineDecoder::decode_line(std::string_view line, std::vector<IntakeMessage>& out) {
  if (!is_well_formed_utf8(line)) {
    out.emplace_back(read_failure(INVALID_UTF8_DESCRIPTION));
    failed_ = true;
    pending_.clear();
    return;
  }
  if (!line.empty() && line.back() == '\n') {
    line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  }
  if (auto message = message_for_line(line)) out.push_back(std::move(*message));
}

// Holds the start of a line; once it is longer than any line can be (one byte more for a
// carriage return that a line feed may still follow), drops it and skips the rest.
void LineDecoder::hold(std::string_view bytes) {
  if (pending_.size() + bytes.size() > MAX_LINE_BYTES + 1) {
    std::string().swap(pending_);
    skipping_ = true;
    return;
  }
  pending_.append(bytes);
}

bool LineDecoder::feed(std::string_view bytes, std::vector<IntakeMessage>& out) {
  while (!failed_ && !bytes.empty()) {
    const size_t end = bytes.find('\n');
    if (end == std::string_view::npos) {
      if (!skipping_) hold(bytes);
      break;
    }
    const std::string_view piece = bytes.substr(0, end + 1);
    bytes.remove_prefix(end + 1);
    if (skipping_ || length_without_ending(pending_, piece) > MAX_LINE_BYTES) {
      skipping_ = false;
      std::string().swap(pending_);
      out.push_back(line_too_long());
    } else if (pending_.empty()) {
      decode_line(piece, out);
    } else {
      pending_.append(piece);
      std::string line = std::move(pending_);
      pending_.clear();
      decode_line(line, out);
    }
  }
  return !failed_;
}

void LineDecoder::finish(std::vector<IntakeMessage>& out) {
  if (failed_) return;
  if (skipping_ || pending_.size() > MAX_LINE_BYTES) {
    skipping_ = false;
    std::string().swap(pending_);
    out.push_back(line_too_long());
    return;
  }
  if (pending_.empty()) return;
  std::string line = std::move(pending_);
  pending_.clear();
  decode_line(line, out);
}

namespace {

constexpr size_t READ_CHUNK = 64 * 1024;

void read_commands(CommandSender sender) {
  StandardInput input;
  LineDecoder decoder;
  std::vector<IntakeMessage> messages;
  std::string buffer(READ_CHUNK, '\0');
  for (;;) {
    const Result<size_t> read = input.read(buffer.data(), buffer.size());
    if (!read.ok()) {
      sender.send(read_failure(read.status().message()));
      return;
    }
    const size_t bytes = *read;
    if (bytes == 0) {
      decoder.finish(messages);
    } else {
      decoder.feed(std::string_view(buffer.data(), bytes), messages);
    }
    for (auto& message : messages) {
      if (!sender.send(std::move(message))) return;
    }
    messages.clear();
    if (bytes == 0 || decoder.failed()) return;
  }
}

}  // namespace

void start_command_reader(CommandSender sender) {
  start_detached_thread(read_commands, std::move(sender));
}

}  // namespace treemon
