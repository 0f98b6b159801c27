// The session on Linux: one thread. The stop signals, SIGWINCH and SIGCHLD are blocked and read
// from a signalfd, which wait() polls with the command's output pipes; the command is reaped by
// wait4, whose resource usage is the CPU time of its whole reaped tree, to the microsecond.
// The tree's I/O is what this process's counters (/proc/self/io) gained from reaped children:
// their growth beyond what the tool's one thread did itself.

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "procinfo/linux/proc_parse_linux.h"
#include "recorder/command_start_linux.h"
#include "recorder/session.h"

namespace treemon::recorder {
namespace {

using linux_proc::UniqueFd;

constexpr std::array<int, 5> HELD_SIGNALS = {SIGINT, SIGTERM, SIGHUP, SIGWINCH, SIGCHLD};

sigset_t held_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal_number : HELD_SIGNALS) sigaddset(&set, signal_number);
  return set;
}

// A standard stream the caller left closed keeps its number taken, so that no file or pipe of
// the tool becomes the command's input or output by accident.
void hold_closed_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      const int null = ::open("/dev/null", O_RDWR);
      if (null >= 0 && null != fd) ::close(null);
    }
  }
}

std::optional<linux_proc::IoFields> io_of(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char text[512];
  ssize_t n = 0;
  do {
    n = ::read(fd, text, sizeof text - 1);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  if (n <= 0) return std::nullopt;
  return linux_proc::parse_io(std::string_view(text, static_cast<size_t>(n)));
}

// What reaped children read and wrote, as far as this process's counters hold it. The thread's
// own counters are read first, so the reading of the process's file counts in both.
std::optional<linux_proc::IoFields> children_io() {
  const std::optional<linux_proc::IoFields> own = io_of("/proc/thread-self/io");
  const std::optional<linux_proc::IoFields> all = io_of("/proc/self/io");
  if (!own || !all) return std::nullopt;
  return linux_proc::IoFields{all->rchar > own->rchar ? all->rchar - own->rchar : 0,
                              all->wchar > own->wchar ? all->wchar - own->wchar : 0};
}

uint64_t grown(uint64_t after, uint64_t before) { return after > before ? after - before : 0; }

double ms_of(const timeval& time) {
  return static_cast<double>(time.tv_sec) * 1000 + static_cast<double>(time.tv_usec) / 1000;
}

std::string signal_name(int signal_number) {
  if (const char* name = ::sigabbrev_np(signal_number)) return std::string("SIG") + name;
  return "signal " + std::to_string(signal_number);
}

class LinuxSession final : public Session {
 public:
  LinuxSession() : inherited_(note_inherited_state()) {
    hold_closed_standard_streams();
    // A reader of the CSV that goes away is a write error, not the end of the tool.
    ::signal(SIGPIPE, SIG_IGN);
    const sigset_t set = held_signals();
    ::sigprocmask(SIG_BLOCK, &set, nullptr);
    signals_ = UniqueFd(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
  }

  Result<uint32_t> start(const std::vector<std::string>& command,
                         const CommandOutput& output) override {
    io_before_ = children_io();
    Result<StartedCommand> started = start_command(command, output, inherited_);
    if (!started.ok()) return started.status();
    pid_ = started->pid;
    streams_[0] = std::move(started->output);
    streams_[1] = std::move(started->error);
    tail_ = output.tail;
    return static_cast<uint32_t>(pid_);
  }

  void wait(MonoTime deadline) override {
    if (something_to_take()) return;
    std::array<pollfd, 3> polled{};
    polled[0] = {signals_.get(), POLLIN, 0};
    for (size_t i = 0; i < 2; ++i) polled[i + 1] = {streams_[i].get(), POLLIN, 0};
    const auto left = deadline - std::chrono::steady_clock::now();
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    const int ready =
        ::poll(polled.data(), polled.size(), static_cast<int>(std::clamp<int64_t>(ms, 0, 60000)));
    if (ready <= 0) return;
    if (polled[0].revents != 0) read_signals();
    for (size_t i = 0; i < 2; ++i) {
      if (polled[i + 1].revents != 0) read_stream(i);
    }
  }

  std::optional<CommandEnd> take_command_end() override {
    return std::exchange(end_, std::nullopt);
  }
  std::optional<StopRequest> take_stop_request() override {
    return std::exchange(stop_, std::nullopt);
  }
  bool take_resize() override { return std::exchange(resized_, false); }

  void forward_stop(const StopRequest& request, bool force) override {
    if (pid_ > 0 && !reaped_)
      ::kill(pid_, force ? SIGKILL : static_cast<int>(request.exit_status) - 128);
  }

  void end_process(uint32_t pid, bool force) override {
    // Never 0 or a negative number: those name process groups, the tool's own among them.
    if (pid == 0 || pid > static_cast<uint32_t>(INT32_MAX)) return;
    ::kill(static_cast<pid_t>(pid), force ? SIGKILL : SIGTERM);
  }

  void drain_output(MonoTime deadline) override {
    while ((streams_[0] || streams_[1]) && std::chrono::steady_clock::now() < deadline) {
      std::array<pollfd, 2> polled{};
      for (size_t i = 0; i < 2; ++i) polled[i] = {streams_[i].get(), POLLIN, 0};
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (::poll(polled.data(), polled.size(),
                 static_cast<int>(std::max<int64_t>(left.count(), 0))) <= 0) {
        return;
      }
      for (size_t i = 0; i < 2; ++i) {
        if (polled[i].revents != 0) read_stream(i);
      }
    }
  }

 private:
  bool something_to_take() const { return end_.has_value() || stop_.has_value() || resized_; }

  void read_signals() {
    signalfd_siginfo info{};
    while (::read(signals_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      const int signal_number = static_cast<int>(info.ssi_signo);
      if (signal_number == SIGWINCH) {
        resized_ = true;
      } else if (signal_number != SIGCHLD) {
        stop_ = StopRequest{128 + static_cast<uint32_t>(signal_number)};
      }
    }
    reap();
  }

  void reap() {
    if (pid_ <= 0 || reaped_) return;
    int status = 0;
    rusage usage{};
    pid_t done = 0;
    do {
      done = ::wait4(pid_, &status, WNOHANG, &usage);
    } while (done < 0 && errno == EINTR);
    if (done != pid_) return;
    reaped_ = true;
    CommandEnd end;
    if (WIFSIGNALED(status)) {
      end.status = 128 + static_cast<uint32_t>(WTERMSIG(status));
      end.signal = signal_name(WTERMSIG(status));
    } else {
      end.status = static_cast<uint32_t>(WEXITSTATUS(status));
    }
    const std::optional<linux_proc::IoFields> io_after = children_io();
    if (io_before_ && io_after) {
      end.usage = KernelUsage{ms_of(usage.ru_utime) + ms_of(usage.ru_stime),
                              grown(io_after->rchar, io_before_->rchar),
                              grown(io_after->wchar, io_before_->wchar)};
    }
    end_ = std::move(end);
  }

  void read_stream(size_t index) {
    char buffer[16384];
    ssize_t n = 0;
    do {
      n = ::read(streams_[index].get(), buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    const auto stream = static_cast<CommandStream>(index);
    if (n > 0) {
      if (tail_ != nullptr) tail_->add(stream, std::string_view(buffer, static_cast<size_t>(n)));
      return;
    }
    if (n < 0 && errno == EAGAIN) return;
    if (tail_ != nullptr) tail_->end(stream);
    streams_[index].reset();
  }

  const InheritedState inherited_;
  UniqueFd signals_;
  pid_t pid_ = -1;
  bool reaped_ = false;
  std::optional<linux_proc::IoFields> io_before_;
  std::array<UniqueFd, 2> streams_;
  OutputTail* tail_ = nullptr;
  std::optional<CommandEnd> end_;
  std::optional<StopRequest> stop_;
  bool resized_ = false;
};

}  // namespace

std::unique_ptr<Session> Session::create() { return std::make_unique<LinuxSession>(); }

}  // namespace treemon::recorder
