// The session on Linux: one thread. The stop signals, SIGWINCH and SIGCHLD are blocked and read
// from a signalfd, which wait() polls with the command's output pipes. Before the command starts
// the tool becomes the subreaper of its tree, and from then on every child of the tool (the
// command, and the orphans of its tree) is reaped by the one ChildReaper, which counts what each
// used; the command's end is one of those reaps. Blocking SIGCHLD is not ignoring it: the kernel
// still leaves every ended child for the reaper.

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "recorder/child_reaper_linux.h"
#include "recorder/command_start_linux.h"
#include "recorder/session.h"
#include "recorder/tree_accounting_linux.h"

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

std::string signal_name(int signal_number) {
  if (const char* name = ::sigabbrev_np(signal_number)) return std::string("SIG") + name;
  return "signal " + std::to_string(signal_number);
}

CommandEnd command_end(int status) {
  CommandEnd end;
  if (WIFSIGNALED(status)) {
    end.status = 128 + static_cast<uint32_t>(WTERMSIG(status));
    end.signal = signal_name(WTERMSIG(status));
  } else {
    end.status = static_cast<uint32_t>(WEXITSTATUS(status));
  }
  return end;
}

// The session is also the tree's accounting: reading it reaps first, so that a child that ended
// counts once, in what the reaper took, and never both there and as a live member.
class LinuxSession final : public Session, private TreeAccounting {
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
    subreaper_ = ChildReaper::become_subreaper().ok();
    Result<StartedCommand> started = start_command(command, output, inherited_);
    if (!started.ok()) return started.status();
    pid_ = started->pid;
    streams_[0] = std::move(started->output);
    streams_[1] = std::move(started->error);
    tail_ = output.tail;
    return static_cast<uint32_t>(pid_);
  }

  uint32_t tree_root(uint32_t command_pid) const override {
    return subreaper_ ? static_cast<uint32_t>(::getpid()) : command_pid;
  }

  TreeAccounting& tree_accounting() override { return *this; }

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
  std::vector<ReapedProcess> take_reaped() override { return std::exchange(reaped_, {}); }
  std::optional<StopRequest> take_stop_request() override {
    return std::exchange(stop_, std::nullopt);
  }
  bool take_resize() override { return std::exchange(resized_, false); }

  void forward_stop(const StopRequest& request, bool force) override {
    if (pid_ > 0 && !command_reaped_)
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

  std::optional<KernelReading> read(std::span<const TreeMember> members) override {
    reap();
    // What the tool reaped counts even where it could not become the subreaper: the command is
    // its child all the same, and only orphans then escape the count (a lower bound, at worst).
    if (!accounting_) accounting_.emplace(&reaper_);
    return accounting_->read(members);
  }

  void reap() {
    const std::vector<ReapedChild> children = reaper_.reap_ended();
    if (children.empty()) return;
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const int64_t at_us = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    for (const ReapedChild& child : children) {
      reaped_.push_back({static_cast<uint32_t>(child.pid), at_us});
      if (child.pid == pid_ && !command_reaped_) {
        command_reaped_ = true;
        end_ = command_end(child.wait_status);
      }
    }
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
  bool command_reaped_ = false;
  std::vector<ReapedProcess> reaped_;  // since the last take_reaped()
  bool subreaper_ = false;
  ChildReaper reaper_;
  std::optional<LinuxTreeAccounting> accounting_;
  std::array<UniqueFd, 2> streams_;
  OutputTail* tail_ = nullptr;
  std::optional<CommandEnd> end_;
  std::optional<StopRequest> stop_;
  bool resized_ = false;
};

}  // namespace

std::unique_ptr<Session> Session::create() { return std::make_unique<LinuxSession>(); }

}  // namespace treemon::recorder
