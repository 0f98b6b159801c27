#include "procinfo/linux/process_handle_linux.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace treemon::linux_proc {
namespace {

// statm, io and cmdline: opened together, when the first of them is read.
constexpr int FIGURE_FILES = FILES_PER_PROCESS - 1;

// Whether a process's CPU clock can be read now.
bool cpu_clock_readable(uint32_t pid) {
  const std::optional<clockid_t> clock = process_cpu_clock(pid);
  return clock && cpu_100ns(*clock);
}

}  // namespace

std::optional<clockid_t> process_cpu_clock(uint32_t pid) {
  clockid_t clock{};
  if (::clock_getcpuclockid(static_cast<pid_t>(pid), &clock) != 0) return std::nullopt;
  return clock;
}

std::optional<uint64_t> cpu_100ns(clockid_t clock) {
  timespec time{};
  if (::clock_gettime(clock, &time) != 0) return std::nullopt;
  const uint64_t nanoseconds =
      static_cast<uint64_t>(time.tv_sec) * 1'000'000'000 + static_cast<uint64_t>(time.tv_nsec);
  return nanoseconds / 100;
}

uint64_t raw_monotonic_ns() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC_RAW, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000 + static_cast<uint64_t>(now.tv_nsec);
}

// Whether this machine lets the monitor read other processes' CPU clocks (a sandbox may not), asked
// of a process that surely is not the monitor, whose own clock is always readable: its parent, or,
// where it has none in its namespace (it is the namespace's first process, or was entered into it
// from outside), a child started for the question.
bool other_cpu_clocks_readable() {
  const pid_t parent = ::getppid();
  if (parent > 0) return cpu_clock_readable(static_cast<uint32_t>(parent));
  const pid_t child = ::fork();
  if (child == 0) {
    for (;;) ::pause();
  }
  if (child < 0) return false;
  const bool readable = cpu_clock_readable(static_cast<uint32_t>(child));
  ::kill(child, SIGKILL);
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  return readable;
}

LinuxProcess::LinuxProcess(ProcDirectory& proc, DescriptorLimiter& limiter, ExitWatch& exit_watch,
                           uint32_t pid, std::string name, bool clock_and_watch)
    : proc_(proc),
      limiter_(limiter),
      exit_watch_(exit_watch),
      pid_(pid),
      name_(std::move(name)),
      cpu_clock_(clock_and_watch ? process_cpu_clock(pid) : std::nullopt),
      pidfd_(clock_and_watch ? start_watch() : UniqueFd()),
      watched_from_start_(static_cast<bool>(pidfd_)),
      keeps_files_(keep_stat_file()) {}

LinuxProcess::~LinuxProcess() {
  stop_watching();
  drop_files();
}

void LinuxProcess::set_identity(const StatIdentity& identity,
                                std::optional<uint64_t> start_seconds) {
  start_ticks_ = identity.start_ticks;
  start_seconds_ = start_seconds;
  kernel_thread_ = identity.kernel_thread;
  comm_ = identity.comm;
}

// Without a descriptor to spare, or a pidfd, the process is not watched.
UniqueFd LinuxProcess::start_watch() {
  if (!limiter_.acquire(1)) return UniqueFd();
  UniqueFd pidfd = open_pidfd(pid_);
  if (!pidfd || !exit_watch_.add(pid_, pidfd.get(), this)) {
    limiter_.release(1);
    return UniqueFd();
  }
  return pidfd;
}

void LinuxProcess::stop_watching() {
  if (!pidfd_) return;
  exit_watch_.remove(pid_, pidfd_.get(), this);
  pidfd_.reset();
  limiter_.release(1);
}

void LinuxProcess::mark_ended() {
  stop_watching();
  drop_files();
  ended_ = true;
}

bool LinuxProcess::keep_stat_file() {
  if (!limiter_.acquire(1)) return false;
  ReadStatus status;
  files_[STAT] = proc_.open(ProcPath(pid_, PROC_FILE_NAMES[STAT]).text, status);
  if (!files_[STAT]) {
    limiter_.release(1);  // out of descriptors, or gone: read by path, which reports what it finds
    return false;
  }
  return true;
}

// The figure files are opened by path, which names whichever process has the pid now; the kept
// stat file then tells whether that is still this process. It was alive after the opens, so the
// pid was not reused before them, and the opened files are its own.
ReadStatus LinuxProcess::keep_figure_files(FileBuffer& scratch) {
  figures_ = FigureFiles::ByPath;
  if (!limiter_.acquire(FIGURE_FILES)) return ReadStatus::NoDescriptors;
  figures_ = FigureFiles::Kept;
  for (int file = STATM; file < FILES_PER_PROCESS; ++file) {
    ReadStatus status;
    files_[file] = proc_.open(ProcPath(pid_, PROC_FILE_NAMES[file]).text, status);
    if (status == ReadStatus::Denied && file == IO) {
      io_denied_ = true;
    } else if (status != ReadStatus::Ok) {
      drop_figure_files();
      return status;
    }
  }
  const ReadStatus alive = read_file(files_[STAT].get(), scratch);
  if (alive != ReadStatus::Ok) drop_figure_files();
  return alive;
}

void LinuxProcess::drop_figure_files() {
  if (figures_ != FigureFiles::Kept) return;
  for (int file = STATM; file < FILES_PER_PROCESS; ++file) files_[file].reset();
  figures_ = FigureFiles::ByPath;
  limiter_.release(FIGURE_FILES);
}

void LinuxProcess::drop_files() {
  drop_figure_files();
  if (!files_[STAT]) return;
  files_[STAT].reset();
  limiter_.release(1);
}

ReadStatus LinuxProcess::read(ProcFile file, FileBuffer& out, size_t limit) {
  if (ended_) return ReadStatus::Gone;
  // Gone: the kept stat file, or the pid's missing directory, says this process has ended.
  if (keeps_files_ && file != STAT && figures_ == FigureFiles::NotOpened &&
      keep_figure_files(out) == ReadStatus::Gone) {
    mark_ended();
    return ReadStatus::Gone;
  }
  if (file == IO && io_denied_) return ReadStatus::Denied;
  if (files_[file]) {
    const ReadStatus status = read_file(files_[file].get(), out, limit);
    if (status == ReadStatus::Gone) mark_ended();
    return status;
  }
  return proc_.read(ProcPath(pid_, PROC_FILE_NAMES[file]).text, out, limit);
}

}  // namespace treemon::linux_proc
