#include "recorder/command_start_linux.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "recorder/text.h"

namespace treemon::recorder {
namespace {

using linux_proc::UniqueFd;

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

std::optional<Pipe> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// In the child: what the command inherits, then the program. Only async-signal-safe calls.
[[noreturn]] void become_command(char* const* argv, const InheritedState& inherited,
                                 const CommandOutput& output, int output_fd, int error_fd,
                                 int report_fd) {
  ::sigaction(SIGPIPE, &inherited.sigpipe_action, nullptr);
  if (inherited.descriptor_limit) ::setrlimit(RLIMIT_NOFILE, &*inherited.descriptor_limit);
  ::sigprocmask(SIG_SETMASK, &inherited.signal_mask, nullptr);
  bool wired = true;
  if (output.route == OutputRoute::OutputToError) wired = ::dup2(STDERR_FILENO, STDOUT_FILENO) >= 0;
  if (output_fd >= 0) wired = ::dup2(output_fd, STDOUT_FILENO) >= 0;
  if (error_fd >= 0) wired = wired && ::dup2(error_fd, STDERR_FILENO) >= 0;
  if (wired) ::execvp(argv[0], argv);
  const int error = errno;
  ssize_t ignored = ::write(report_fd, &error, sizeof error);
  static_cast<void>(ignored);
  ::_exit(127);
}

// The errno the child reported, or nothing once the exec closed the pipe.
std::optional<int> exec_failure(int report_fd) {
  int error = 0;
  ssize_t n = 0;
  do {
    n = ::read(report_fd, &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(sizeof error)) return error;
  return std::nullopt;
}

}  // namespace

InheritedState note_inherited_state() {
  InheritedState state{};
  ::sigprocmask(SIG_SETMASK, nullptr, &state.signal_mask);
  ::sigaction(SIGPIPE, nullptr, &state.sigpipe_action);
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) state.descriptor_limit = limit;
  return state;
}

Result<StartedCommand> start_command(const std::vector<std::string>& command,
                                     const CommandOutput& output, const InheritedState& inherited) {
  const std::string name = printable(command.front());
  std::vector<char*> argv;
  for (const std::string& argument : command) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::optional<Pipe> report = make_pipe();
  std::optional<Pipe> out;
  std::optional<Pipe> err;
  if (output.route == OutputRoute::Tool) {
    out = make_pipe();
    err = make_pipe();
  }
  if (!report || (output.route == OutputRoute::Tool && (!out || !err))) {
    return Status::error("cannot start " + name + ": " + error_reason(errno));
  }
  const int file_fd = output.route == OutputRoute::File ? ::fileno(output.file) : -1;
  const int output_fd = out ? out->write.get() : file_fd;
  const int error_fd = err ? err->write.get() : file_fd;
  const pid_t pid = ::fork();
  if (pid < 0) return Status::error("cannot start " + name + ": " + error_reason(errno));
  if (pid == 0)
    become_command(argv.data(), inherited, output, output_fd, error_fd, report->write.get());
  report->write.reset();
  if (const std::optional<int> failure = exec_failure(report->read.get())) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return Status::error("cannot start " + name + ": " + error_reason(*failure));
  }
  StartedCommand started;
  started.pid = pid;
  if (out) started.output = std::move(out->read);
  if (err) started.error = std::move(err->read);
  return started;
}

}  // namespace treemon::recorder
