// A child process with pipes on its standard streams, for the end-to-end tests.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace treemon::test_support {

class ChildProcess {
 public:
  // Starts `argv` with its stdin, stdout and stderr on pipes. The output lines of a child that is
  // the monitor itself (argv[0] is TREEMON_BINARY) go to the event capture as they are read.
  explicit ChildProcess(const std::vector<std::string>& argv);
  ~ChildProcess();  // kills the child if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  bool write(std::string_view bytes);
  void close_stdin();
  void close_stdout();

  // The next line of standard output without its line feed, or nothing when the time runs out
  // or the stream ends first.
  std::optional<std::string> read_line(std::chrono::milliseconds timeout);
  // Lines that arrive within `timeout` (the time is spent waiting for the first one too).
  std::vector<std::string> read_lines_for(std::chrono::milliseconds timeout);
  // Everything standard output still gives until it ends.
  std::string read_rest(std::chrono::milliseconds timeout);
  std::string read_stderr(std::chrono::milliseconds timeout);

  // The exit status, or nothing if it did not exit in time. -signal when killed by a signal.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout);
  // The caller reaped the child itself (a waitpid for any child found it), with this raw status:
  // the child is not killed nor waited for again.
  void reaped_elsewhere(int raw_status);

 private:
  bool fill(int fd, std::string& buffer, std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  bool captures_events_ = false;
  int stdin_ = -1;
  int stdout_ = -1;
  int stderr_ = -1;
  std::string out_buffer_;
  std::string err_buffer_;
  std::optional<int> status_;
};

}  // namespace treemon::test_support
