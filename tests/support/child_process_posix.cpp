#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <utility>

#include "support/event_capture.h"

namespace treemon::test_support {
namespace {

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
#ifdef TREEMON_BINARY
  captures_events_ = !argv.empty() && argv[0] == TREEMON_BINARY;
#endif
  ::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  stdin_ = in[1];
  stdout_ = out[0];
  stderr_ = err[0];
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  close_fd(stdin_);
  close_fd(stdout_);
  close_fd(stderr_);
}

bool ChildProcess::write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(stdin_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void ChildProcess::close_stdin() { close_fd(stdin_); }
void ChildProcess::close_stdout() { close_fd(stdout_); }

bool ChildProcess::fill(int fd, std::string& buffer,
                        std::chrono::steady_clock::time_point deadline) {
  if (fd < 0) return false;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  pollfd p{fd, POLLIN, 0};
  const int ready = ::poll(&p, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
  if (ready <= 0) return false;
  char chunk[65536];
  const ssize_t n = ::read(fd, chunk, sizeof chunk);
  if (n <= 0) return false;
  buffer.append(chunk, static_cast<size_t>(n));
  return true;
}

std::optional<std::string> ChildProcess::read_line(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const size_t end = out_buffer_.find('\n');
    if (end != std::string::npos) {
      std::string line = out_buffer_.substr(0, end);
      out_buffer_.erase(0, end + 1);
      if (captures_events_) capture_event_line(line);
      return line;
    }
    if (!fill(stdout_, out_buffer_, deadline)) return std::nullopt;
  }
}

std::vector<std::string> ChildProcess::read_lines_for(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::vector<std::string> lines;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return lines;
    auto line = read_line(left);
    if (!line) return lines;
    lines.push_back(std::move(*line));
  }
}

std::string ChildProcess::read_rest(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (fill(stdout_, out_buffer_, deadline)) {
  }
  if (captures_events_) capture_event_lines(out_buffer_);
  return std::exchange(out_buffer_, {});
}

std::string ChildProcess::read_stderr(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (fill(stderr_, err_buffer_, deadline)) {
  }
  return std::exchange(err_buffer_, {});
}

std::optional<int> ChildProcess::wait_exit(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      reaped_elsewhere(status);
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void ChildProcess::reaped_elsewhere(int raw_status) {
  status_ = WIFEXITED(raw_status) ? WEXITSTATUS(raw_status) : -WTERMSIG(raw_status);
}

}  // namespace treemon::test_support
