// LinuxProcess: one opened process on Linux, the handle a table entry owns. It holds who the
// process is (its start and command name as one stat read gave them), how its files are read,
// its exit watch, and the list's reading of its times for the same refresh.
//
// Rules a change must keep:
//  1. How the files are read is decided once, when the handle is made: through kept
//     descriptors (the stat file at once, the three figure files at the first figure read) or,
//     when no descriptor could be had then, by path for the handle's whole life.
//  2. Every descriptor a handle keeps, its pidfd included, is counted in the DescriptorLimiter
//     before it is opened and given back once, when it closes.
//  3. Once the process has ended (a kept file fails with ESRCH, or the pid names a process with
//     another start), every read fails and the handle keeps nothing: it never shows a newer
//     process that reused the pid.
//  4. The handle leaves the exit watch before its pidfd closes, and tells the watch whenever
//     it stops watching, for whatever reason.
//  5. The identity (start, command name, kernel thread) comes from one stat read, the one the
//     listed name came from; the platform checks every later stat read against the start.
// Main thread only; no locks.
#pragma once

#include <time.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "procinfo/linux/descriptor_limiter.h"
#include "procinfo/linux/exit_watch_linux.h"
#include "procinfo/linux/proc_files_linux.h"
#include "procinfo/platform.h"

namespace treemon::linux_proc {

// Who a process is, as one read of its stat says: what a handle compares later reads against.
// A process may replace its program at any moment, so the name the list gives and the command
// name the handle records must come from the same read.
struct StatIdentity {
  uint64_t start_ticks = 0;
  bool kernel_thread = false;
  std::string comm;
};

// The CPU clock of a process, as the kernel checks it exists; nothing when it does not or the
// clock cannot be had. Clock ids name processes of the monitor's own pid namespace.
std::optional<clockid_t> process_cpu_clock(uint32_t pid);

// The CPU time of all threads of a process, those that ended included, in 100-nanosecond units:
// the sum that its stat file splits into user and system ticks. Any process's clock may be read.
std::optional<uint64_t> cpu_100ns(clockid_t clock);

// Whether this machine lets the monitor read other processes' CPU clocks (a sandbox may not).
bool other_cpu_clocks_readable();

class LinuxProcess final : public ProcessHandle, private WatchedProcess {
 public:
  // `proc`, `limiter` and `exit_watch` must outlive the handle. With `clock_and_watch`, the
  // process's CPU clock is found and its pidfd taken before anything is read, so that the read
  // which confirms the process confirms them too.
  LinuxProcess(ProcDirectory& proc, DescriptorLimiter& limiter, ExitWatch& exit_watch, uint32_t pid,
               std::string name, bool clock_and_watch);
  ~LinuxProcess() override;
  LinuxProcess(const LinuxProcess&) = delete;
  LinuxProcess& operator=(const LinuxProcess&) = delete;

  uint32_t pid() const { return pid_; }
  const std::string& name() const { return name_; }
  uint64_t start_ticks() const { return start_ticks_; }
  // Converted once: a handle's process never changes its start.
  const std::optional<uint64_t>& start_seconds() const { return start_seconds_; }
  bool kernel_thread() const { return kernel_thread_; }
  // The process's CPU time from its CPU clock; nothing without a clock or once it is gone.
  std::optional<uint64_t> cpu_100ns() const {
    return cpu_clock_ ? linux_proc::cpu_100ns(*cpu_clock_) : std::nullopt;
  }
  void set_identity(const StatIdentity& identity, std::optional<uint64_t> start_seconds);
  // The kernel's command name changes when the process replaces its program (exec).
  bool comm_changed(std::string_view comm) const { return comm != comm_; }
  void rename(std::string_view comm, std::string name) {
    comm_ = comm;
    name_ = std::move(name);
  }

  // Reads one file (at most `limit` bytes of it), through the kept descriptor or by path.
  ReadStatus read(ProcFile file, FileBuffer& out, size_t limit = SIZE_MAX);
  bool ended() const { return ended_; }
  void mark_ended();
  bool watched() const { return static_cast<bool>(pidfd_); }
  // Whether this process's exit may go unnoticed: it was never watched (no exit watch, no pidfd
  // or no descriptor to spare) and is not known to have ended. A watch that ended is settled.
  bool exit_unwatched() const { return !watched_from_start_ && !ended_; }
  // For a process that has exited (a zombie until it is reaped), or one this handle no longer
  // follows: read from then on, and its children once more.
  void stop_watching();

  // The parent as the last stat read gave it, and whether that parent was watched then.
  void set_parent(uint32_t parent_pid, bool parent_watched) {
    parent_pid_ = parent_pid;
    parent_watched_ = parent_watched;
  }
  uint32_t parent_pid() const { return parent_pid_; }
  bool parent_watched() const { return parent_watched_; }
  // The times of the list's reading, for process_times() in the same refresh.
  void cache_times(const std::optional<ProcessTimes>& times, uint64_t generation) {
    cached_times_ = times;
    cached_generation_ = generation;
  }
  const std::optional<ProcessTimes>* cached_times(uint64_t generation) const {
    return cached_generation_ == generation ? &cached_times_ : nullptr;
  }
  uint64_t last_cpu_100ns() const { return cached_times_ ? cached_times_->user_100ns : 0; }

 private:
  // The figure files of a handle that keeps its files: opened together at the first figure read.
  enum class FigureFiles { NotOpened, Kept, ByPath };

  void exit_seen() override { stop_watching(); }
  UniqueFd start_watch();
  bool keep_stat_file();
  void drop_files();
  void drop_figure_files();
  ReadStatus keep_figure_files(FileBuffer& scratch);

  ProcDirectory& proc_;
  DescriptorLimiter& limiter_;
  ExitWatch& exit_watch_;
  const uint32_t pid_;
  std::string name_;
  std::string comm_;
  uint64_t start_ticks_ = 0;
  std::optional<uint64_t> start_seconds_;
  bool kernel_thread_ = false;
  const std::optional<clockid_t> cpu_clock_;
  UniqueFd files_[FILES_PER_PROCESS];
  UniqueFd pidfd_;  // open while the process is watched
  const bool watched_from_start_;
  const bool keeps_files_;
  FigureFiles figures_ = FigureFiles::NotOpened;
  bool ended_ = false;
  bool io_denied_ = false;  // the io file of another user's process: not retried
  bool parent_watched_ = false;
  uint32_t parent_pid_ = 0;
  uint64_t cached_generation_ = 0;
  std::optional<ProcessTimes> cached_times_;
};

}  // namespace treemon::linux_proc
