#include "control/console_windows.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "base/utf8.h"
#include "base/win32_windows.h"

namespace treemon {
namespace {

// Bounds one ReadFile or WriteFile call, whose byte count is a DWORD.
constexpr size_t MAX_TRANSFER = 1u << 30;
// How long a pipe that cannot block is left before it is tried again. Short, as a command or a
// reader may be waiting on the other side; far longer than the calls it spares.
constexpr DWORD PIPE_RETRY_MS = 10;

DWORD transfer_size(size_t wanted) { return static_cast<DWORD>(std::min(wanted, MAX_TRANSFER)); }

// The ways a pipe or file reports that the other side is done writing. ERROR_NO_DATA counts only
// where the pipe cannot be peeked at any more: on a non-blocking pipe it means "empty for now".
bool is_end_of_input(DWORD error) {
  return error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF || error == ERROR_NO_DATA;
}

CallAnswer answer_of(BOOL succeeded, DWORD bytes) {
  return CallAnswer{succeeded != FALSE, bytes, succeeded ? 0 : ::GetLastError()};
}

OutputKind output_kind(HANDLE handle) {
  switch (::GetFileType(handle)) {
    case FILE_TYPE_PIPE:
      return OutputKind::Pipe;
    case FILE_TYPE_CHAR: {
      DWORD mode = 0;
      return ::GetConsoleMode(handle, &mode) ? OutputKind::Console : OutputKind::Other;
    }
    default:
      return OutputKind::Other;
  }
}

// The next piece of `bytes` that one write may take.
std::string_view next_piece(std::string_view bytes, OutputKind kind, size_t pipe_limit) {
  if (kind == OutputKind::Console && bytes.size() > CONSOLE_WRITE_BYTES) {
    const std::string_view whole_characters = cut_to_bytes(bytes, CONSOLE_WRITE_BYTES);
    return whole_characters.empty() ? bytes.substr(0, CONSOLE_WRITE_BYTES) : whole_characters;
  }
  return bytes.substr(0, std::min({bytes.size(), MAX_TRANSFER, pipe_limit}));
}

Status write_to_handle(HANDLE handle, std::string_view bytes) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    return Status::error("the standard stream is not open");
  }
  const auto write_file = [handle](const char* piece, DWORD size) {
    DWORD written = 0;
    const BOOL succeeded = ::WriteFile(handle, piece, size, &written, nullptr);
    return answer_of(succeeded, written);
  };
  return write_output(
      write_file, [] { ::Sleep(PIPE_RETRY_MS); }, output_kind(handle), bytes);
}

// A pipe in non-blocking mode is put into blocking mode, its read mode kept, so that an empty
// one is waited for without waking. Not when the same handle is also standard output: reads and
// writes on one synchronous handle take turns, and a blocked read would hold every event back.
bool make_blocking(HANDLE pipe) {
  if (pipe == ::GetStdHandle(STD_OUTPUT_HANDLE)) return false;
  DWORD state = 0;
  if (!::GetNamedPipeHandleStateW(pipe, &state, nullptr, nullptr, nullptr, nullptr, 0)) {
    return false;
  }
  DWORD mode = (state & PIPE_READMODE_MESSAGE) | PIPE_WAIT;
  return ::SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
}

}  // namespace

Result<size_t> read_input(const ReadFileCall& read_file, const PeekPipeCall& peek_pipe,
                          const WaitCall& wait_for_input, char* buffer, size_t capacity) {
  for (;;) {
    const CallAnswer answer = read_file(buffer, transfer_size(capacity));
    if (answer.succeeded) {
      // A pipe hands a writer's zero-byte write to its reader as a read of zero bytes; while the
      // writer is there the pipe can still be peeked at, and once it has gone the peek fails
      // with ERROR_BROKEN_PIPE. A pipe that cannot be peeked at (Wine's stand-in for a POSIX
      // pipe, which reports its end as zero bytes) ends there, as a file does.
      if (answer.bytes == 0 && peek_pipe && peek_pipe().succeeded) continue;
      return size_t{answer.bytes};
    }
    if (answer.error == ERROR_MORE_DATA && answer.bytes > 0) return size_t{answer.bytes};
    if (answer.error == ERROR_NO_DATA && peek_pipe && peek_pipe().succeeded) {
      wait_for_input();
      continue;
    }
    if (is_end_of_input(answer.error)) return size_t{0};
    return Status::error(win32_error_text(answer.error));
  }
}

Status write_output(const WriteFileCall& write_file, const WaitCall& wait_for_room, OutputKind kind,
                    std::string_view bytes) {
  // A non-blocking pipe may take a write only whole (Wine does so): after a write it refused,
  // the pieces get smaller until one fits into the room the reader leaves.
  size_t pipe_limit = MAX_TRANSFER;
  while (!bytes.empty()) {
    const std::string_view piece = next_piece(bytes, kind, pipe_limit);
    const CallAnswer answer = write_file(piece.data(), static_cast<DWORD>(piece.size()));
    if (!answer.succeeded) return Status::error(win32_error_text(answer.error));
    if (answer.bytes == 0) {
      if (kind != OutputKind::Pipe) return Status::error("WriteFile wrote no bytes");
      pipe_limit = std::max<size_t>(piece.size() / 2, 1);
      wait_for_room();
      continue;
    }
    bytes.remove_prefix(std::min<size_t>(answer.bytes, bytes.size()));
  }
  return Status();
}

Result<size_t> StandardInput::read(char* buffer, size_t capacity) {
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return size_t{0};
  const auto read_file = [input](char* into, DWORD size) {
    DWORD received = 0;
    const BOOL succeeded = ::ReadFile(input, into, size, &received, nullptr);
    return answer_of(succeeded, received);
  };
  PeekPipeCall peek_pipe;
  if (::GetFileType(input) == FILE_TYPE_PIPE) {
    peek_pipe = [input] {
      DWORD available = 0;
      const BOOL succeeded = ::PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr);
      return answer_of(succeeded, available);
    };
  }
  // A pipe that could not be made blocking is polled; asking again each time would only add calls.
  bool blocking_tried = false;
  const auto wait_for_input = [input, &blocking_tried] {
    if (!std::exchange(blocking_tried, true) && make_blocking(input)) return;
    ::Sleep(PIPE_RETRY_MS);
  };
  return read_input(read_file, peek_pipe, wait_for_input, buffer, capacity);
}

StandardOutput::StandardOutput() {
  // Bytes go to the handle with WriteFile, which never translates line feeds; the C runtime's
  // stream is put in binary mode too, so that nothing else could add a carriage return.
  _setmode(_fileno(stdout), _O_BINARY);
}

Status StandardOutput::write_all(std::string_view bytes) {
  return write_to_handle(::GetStdHandle(STD_OUTPUT_HANDLE), bytes);
}

// The standard handles are looked up by role with GetStdHandle at each use, never by a number
// that a later open could reuse, so a closed one stays closed.
void hold_closed_standard_streams() {}

void write_standard_error_line(std::string_view line) {
  const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  if (write_to_handle(error, line).ok()) static_cast<void>(write_to_handle(error, "\n"));
}

uint32_t current_process_id() { return static_cast<uint32_t>(::GetCurrentProcessId()); }

}  // namespace treemon
