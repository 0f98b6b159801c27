// How the standard streams are used on Windows, apart from the handles themselves, so that tests
// can feed them answers that no pipe under test can be made to give.
//
// Rules:
//  1. Input ends only when the writer has gone (ERROR_BROKEN_PIPE, a failed peek) or a file
//     ends: a non-blocking pipe found empty (ERROR_NO_DATA while the pipe can still be peeked
//     at) is waited for, and a message longer than the buffer (ERROR_MORE_DATA) hands on what
//     was read, the rest coming with the next reads.
//  2. An empty non-blocking pipe is peeked at, after a short sleep each time, until bytes come or
//     its writer goes. Its mode is never changed: the client, or another process, may share the
//     pipe and rely on the mode it chose.
//  3. Output is retried until every byte has gone or a write fails: a non-blocking pipe that
//     takes no bytes is full, not broken, so the write waits and tries again with a piece half
//     the size, never smaller than the least of the bytes left, the pipe's buffer and
//     PIPE_PIECE_FLOOR_BYTES. A piece taken whole lets the next one double, up to the pipe's
//     buffer, so that a pipe found full once is not written in small pieces ever after.
//  4. One write to a console is at most CONSOLE_WRITE_BYTES, cut on a character boundary: older
//     consoles fail larger ones. Pipes and files take writes of any size.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

#include "base/win32_windows.h"
#include "control/console.h"

namespace treemon {

inline constexpr size_t CONSOLE_WRITE_BYTES = 8192;
inline constexpr size_t PIPE_PIECE_FLOOR_BYTES = 4096;

// What one call answered: whether it succeeded, its byte count (received by ReadFile, available
// to PeekNamedPipe, taken by WriteFile) and, when it failed, GetLastError's code.
struct CallAnswer {
  bool succeeded = false;
  DWORD bytes = 0;
  DWORD error = 0;
};

using ReadFileCall = std::function<CallAnswer(char* buffer, DWORD capacity)>;
using PeekPipeCall = std::function<CallAnswer()>;
using WriteFileCall = std::function<CallAnswer(const char* bytes, DWORD size)>;
using WaitCall = std::function<void()>;

// Reads through `read_file` until bytes arrive, input ends or reading fails. `peek_pipe` is
// empty unless the stream is a pipe; then a read of zero bytes ends the input only if the pipe
// cannot be peeked at: its writer has gone, or it is not a pipe of the system's own.
// `wait_for_input` is called before an empty non-blocking pipe is read again.
Result<size_t> read_input(const ReadFileCall& read_file, const PeekPipeCall& peek_pipe,
                          const WaitCall& wait_for_input, char* buffer, size_t capacity);

// What kind of handle output goes to, which decides how its writes are sized and retried.
enum class OutputKind { Pipe, Console, Other };

struct OutputTarget {
  OutputKind kind = OutputKind::Other;
  // The pipe's buffer as GetNamedPipeInfo gives it (the smaller of its two); 0 when unknown.
  size_t pipe_buffer_bytes = 0;
};

// Writes all of `bytes` through `write_file`. `wait_for_room` is called after a pipe took no
// bytes, before it is written to again.
Status write_output(const WriteFileCall& write_file, const WaitCall& wait_for_room,
                    const OutputTarget& target, std::string_view bytes);

}  // namespace treemon
