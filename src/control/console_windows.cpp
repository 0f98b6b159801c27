#include "control/console_windows.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>

#include "base/win32_windows.h"

namespace treemon {
namespace {

// Bounds one ReadFile or WriteFile call, whose byte count is a DWORD.
constexpr size_t MAX_TRANSFER = 1u << 30;

DWORD transfer_size(size_t wanted) { return static_cast<DWORD>(std::min(wanted, MAX_TRANSFER)); }

// The ways a pipe or file reports that the other side is done writing.
bool is_end_of_input(DWORD error) {
  return error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF || error == ERROR_NO_DATA;
}

Status write_to_handle(HANDLE handle, std::string_view bytes) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    return Status::error("the standard stream is not open");
  }
  while (!bytes.empty()) {
    DWORD written = 0;
    if (!::WriteFile(handle, bytes.data(), transfer_size(bytes.size()), &written, nullptr)) {
      return Status::error(last_win32_error_text());
    }
    if (written == 0) return Status::error("WriteFile wrote no bytes");
    bytes.remove_prefix(written);
  }
  return Status();
}

}  // namespace

Result<size_t> read_input(const ReadFileCall& read_file, const PeekPipeCall& peek_pipe,
                          char* buffer, size_t capacity) {
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
    if (is_end_of_input(answer.error)) return size_t{0};
    return Status::error(win32_error_text(answer.error));
  }
}

Result<size_t> StandardInput::read(char* buffer, size_t capacity) {
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return size_t{0};
  const auto read_file = [input](char* into, DWORD size) {
    CallAnswer answer;
    answer.succeeded = ::ReadFile(input, into, size, &answer.bytes, nullptr);
    if (!answer.succeeded) answer.error = ::GetLastError();
    return answer;
  };
  PeekPipeCall peek_pipe;
  if (::GetFileType(input) == FILE_TYPE_PIPE) {
    peek_pipe = [input] {
      CallAnswer answer;
      answer.succeeded = ::PeekNamedPipe(input, nullptr, 0, nullptr, &answer.bytes, nullptr);
      if (!answer.succeeded) answer.error = ::GetLastError();
      return answer;
    };
  }
  return read_input(read_file, peek_pipe, buffer, capacity);
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

std::string_view platform_name() { return "windows"; }

std::string_view architecture_name() {
#if defined(_M_X64) || defined(__x86_64__)
  return "x86_64";
#elif defined(_M_ARM64) || defined(__aarch64__)
  return "aarch64";
#elif defined(_M_IX86) || defined(__i386__)
  return "x86";
#else
  return "unknown";
#endif
}

}  // namespace treemon
