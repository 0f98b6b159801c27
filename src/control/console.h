// The process's own standard streams and identity, one implementation file per platform.
//
// StandardInput is used only by the CommandReader thread, StandardOutput only by the main thread.
// Failures are values carrying the platform's own description of the error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/build_target.h"

#include "base/status.h"

namespace treemon {

class StandardInput {
 public:
  // Reads up to `capacity` bytes, blocking until at least one is available or input ends: the
  // number of bytes read (0 at the end of input), or the platform's description of the failure.
  // Interrupted reads are retried; a non-blocking stream without data is waited for.
  Result<size_t> read(char* buffer, size_t capacity);
};

// Where the EventWriter's bytes go: standard output, or a string in tests.
class OutputStream {
 public:
  virtual ~OutputStream() = default;
  // Writes all of `bytes`; a failure carries the platform's description.
  virtual Status write_all(std::string_view bytes) = 0;
};

class StandardOutput final : public OutputStream {
 public:
  // Prepares the stream: binary mode where the platform has text modes, and writes to a closed
  // pipe returned as errors rather than ending the process.
  StandardOutput();
  // Retries partial and interrupted writes, and waits for room on a non-blocking stream.
  Status write_all(std::string_view bytes) override;
};

// A standard stream the parent left closed keeps its number taken, so that no file the monitor
// opens later becomes its input or output; using it still fails as on a closed stream. Call
// before anything else opens a file.
void hold_closed_standard_streams();

// Writes one line to standard error, ignoring failure. Allocates no memory, so that it can report
// that memory ran out.
void write_standard_error_line(std::string_view line);

uint32_t current_process_id();

}  // namespace treemon
