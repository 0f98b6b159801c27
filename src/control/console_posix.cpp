#include "control/console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace treemon {
namespace {

std::string describe_errno(int error) { return std::strerror(error); }

// A stream the client handed over in non-blocking mode has no data or no room yet: that is a
// wait, as it would be on a blocking stream, not a failure.
bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

void wait_until_ready(int fd, short events) {
  pollfd ready{fd, events, 0};
  while (::poll(&ready, 1, -1) < 0 && errno == EINTR) {
  }
}

}  // namespace

void hold_closed_standard_streams() {
  // The null device opened for the opposite direction: a read of the held input and a write of
  // the held outputs fail with EBADF, exactly as they would on the closed descriptor. open takes
  // the lowest free number, which is the closed stream's own: the ones below it are open, or were
  // held just before.
  const struct {
    int fd;
    int flags;
  } streams[] = {{STDIN_FILENO, O_WRONLY}, {STDOUT_FILENO, O_RDONLY}, {STDERR_FILENO, O_RDONLY}};
  for (const auto& stream : streams) {
    if (::fcntl(stream.fd, F_GETFD) < 0 && errno == EBADF) ::open("/dev/null", stream.flags);
  }
}

Result<size_t> StandardInput::read(char* buffer, size_t capacity) {
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, capacity);
    if (n >= 0) return static_cast<size_t>(n);
    if (would_block(errno)) {
      wait_until_ready(STDIN_FILENO, POLLIN);
    } else if (errno != EINTR) {
      return Status::error(describe_errno(errno));
    }
  }
}

StandardOutput::StandardOutput() {
  // A client that closes its end of the pipe must give a write error, not end the process.
  ::signal(SIGPIPE, SIG_IGN);
}

Status StandardOutput::write_all(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (n < 0) {
      const int error = errno;
      if (would_block(error)) wait_until_ready(STDOUT_FILENO, POLLOUT);
      if (error == EINTR || would_block(error)) continue;
      return Status::error(describe_errno(error));
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return Status();
}

void write_standard_error_line(std::string_view line) {
  for (std::string_view rest : {line, std::string_view("\n")}) {
    while (!rest.empty()) {
      const ssize_t n = ::write(STDERR_FILENO, rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      rest.remove_prefix(static_cast<size_t>(n));
    }
  }
}

uint32_t current_process_id() { return static_cast<uint32_t>(::getpid()); }

}  // namespace treemon
