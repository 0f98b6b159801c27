// How standard input is read on Windows, apart from the handle it is read from, so that tests
// can feed it answers that no pipe under test can be made to give.
#pragma once

#include <cstddef>
#include <functional>

#include "control/console.h"
#include "base/win32_windows.h"

namespace treemon {

// What one call answered: whether it succeeded, its byte count (received by ReadFile, available
// to PeekNamedPipe) and, when it failed, GetLastError's code.
struct CallAnswer {
  bool succeeded = false;
  DWORD bytes = 0;
  DWORD error = 0;
};

using ReadFileCall = std::function<CallAnswer(char* buffer, DWORD capacity)>;
using PeekPipeCall = std::function<CallAnswer()>;

// Reads through `read_file` until bytes arrive, input ends or reading fails. `peek_pipe` is
// empty unless the stream is a pipe; then a read of zero bytes ends the input only if the pipe
// cannot be peeked at: its writer has gone, or it is not a pipe of the system's own.
Result<size_t> read_input(const ReadFileCall& read_file, const PeekPipeCall& peek_pipe,
                          char* buffer, size_t capacity);

}  // namespace treemon
