// The process platform on Linux, read from /proc.
//
// Every entry's handle keeps its process's stat file open and rereads it with pread: that costs
// about half of open/read/close, and a kept file of an ended process fails with ESRCH instead of
// showing a newer process that reused the pid. The statm, io and cmdline files are opened and kept
// the first time a figure of them is read, so only processes that ever get a row hold them: the
// machine's other processes hold their stat file and the pidfd below, and a process that comes and
// goes outside the tree costs those two, not five. Fewer open files also make every read cheaper
// for the kernel. Descriptors are a budget below the open-file limit (raised to the hard limit at
// creation), kept by a DescriptorLimiter; when it is spent, or the kernel refuses more, a handle
// reads its files by path instead, and a read by path that finds no descriptor free (the limit was
// lowered from outside) takes one held in reserve. Nothing fails for lack of descriptors, and a
// handle closes all it holds when its entry goes.
//
// A command line is read only as far as COMMAND_LINE_READ_BYTES, so what any process shows in
// its argument area bounds neither the time nor the memory of a refresh.
//
// A steady process costs no file read per refresh. Its handle watches its exit through a pidfd
// in one epoll set, and the list reads its CPU time from its CPU clock, which is the sum the stat
// file gives in ticks, in nanoseconds and without generating a text. Its parent changes only when
// the parent exits, and the parent is watched too. So the list reads a process's stat only when it
// is new, when it or its parent has exited, or when it cannot be watched; the state and name of
// the others are read in the table's second phase, for the processes a caller looks at. Each
// exit is looked for once per list, after the walk, and every listing it may have made wrong is
// read again then; so is every child of a parent whose watch ended without its exit being seen.
// Clocks and pidfds name processes of the monitor's own pid namespace, so with the /proc of
// another one every process is read from stat at every list.
//
// The list reads stat through the handle the table already holds for that pid where there is
// one; process_times() answers from the list's reading. Handles know the limiter, the exit watch
// and the /proc directory, never the platform.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <charconv>
#include <cstring>
#include <iterator>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/saturating.h"
#include "procinfo/descriptor_limiter.h"
#include "procinfo/platform.h"
#include "procinfo/proc_parse.h"
#include "base/utf8.h"

namespace treemon {
namespace {

using linux_proc::StatFields;

// Descriptors left to the rest of the monitor (standard streams, pipes, the reader thread).
constexpr uint64_t DESCRIPTOR_RESERVE = 256;
constexpr int FILES_PER_PROCESS = 4;
// statm, io and cmdline: opened together, when the first of them is read.
constexpr int FIGURE_FILES = FILES_PER_PROCESS - 1;
// /proc of 3,000 processes lists in about 100 KiB.
constexpr size_t DIRECTORY_BUFFER_INITIAL = 32 * 1024;
constexpr size_t DIRECTORY_BUFFER_MAX = 1024 * 1024;

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);  // never retried: Linux releases the descriptor even on EINTR
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// The outcome of reading one /proc file, with errno mapped in this one place.
enum class ReadStatus { Ok, Gone, Denied, NoDescriptors, Failed };

ReadStatus status_from_errno(int error) {
  switch (error) {
    case ENOENT:
    case ESRCH: return ReadStatus::Gone;
    case EACCES:
    case EPERM: return ReadStatus::Denied;
    case EMFILE:
    case ENFILE: return ReadStatus::NoDescriptors;
    default: return ReadStatus::Failed;
  }
}

UniqueFd open_at(int directory, const char* path, ReadStatus& status) {
  int fd;
  do {
    fd = ::openat(directory, path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  status = fd < 0 ? status_from_errno(errno) : ReadStatus::Ok;
  return UniqueFd(fd);
}

// The bytes of one /proc file. Its storage grows as a read needs and stays, so that reading
// thousands of files per refresh neither allocates nor clears memory; storage that grew beyond
// a command line's bound for one large file is given back at the next read.
class FileBuffer {
 public:
  std::string_view text() const { return {storage_.data(), size_}; }

 private:
  static constexpr size_t INITIAL_BYTES = 4096;
  friend ReadStatus read_file(int fd, FileBuffer& out, size_t limit);
  std::string storage_ = std::string(INITIAL_BYTES, '\0');
  size_t size_ = 0;
};

// Reads a /proc file from offset 0, at most `limit` bytes of it. A /proc file is generated anew
// at every read, so a short read is the end: no second call to confirm it.
ReadStatus read_file(int fd, FileBuffer& out, size_t limit = SIZE_MAX) {
  if (out.storage_.size() > COMMAND_LINE_READ_BYTES) {
    std::string(FileBuffer::INITIAL_BYTES, '\0').swap(out.storage_);
  }
  out.size_ = 0;
  for (;;) {
    const size_t wanted = std::min(out.storage_.size(), limit);
    const ssize_t got = ::pread(fd, out.storage_.data() + out.size_, wanted - out.size_,
                                static_cast<off_t>(out.size_));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      out.size_ = 0;
      return status_from_errno(errno);
    }
    out.size_ += static_cast<size_t>(got);
    if (got == 0 || out.size_ < wanted || out.size_ == limit) return ReadStatus::Ok;
    out.storage_.resize(out.storage_.size() * 2);
  }
}

// "1234/stat" for openat() relative to /proc.
struct ProcPath {
  char text[48];
  ProcPath(uint32_t pid, const char* file) {
    auto [end, error] = std::to_chars(text, text + 16, pid);
    static_cast<void>(error);  // 16 bytes always hold a 32-bit number
    *end++ = '/';
    for (const char* c = file; *c != '\0'; ++c) *end++ = *c;
    *end = '\0';
  }
};

// The /proc directory, and one descriptor held in reserve for reads by path. The open-file limit
// may be lowered from outside at any moment, below the descriptors the handles already keep; a
// read by path that finds no descriptor free then takes the reserve's, which was opened early,
// with a low number, and takes it back after the read. So running out of descriptors costs kept
// files, whose handles read by path instead, never a read and never a listed process.
class ProcDirectory {
 public:
  ProcDirectory() {
    ReadStatus status;
    directory_ = open_at(AT_FDCWD, "/proc", status);
    keep_reserve();
  }

  int get() const { return directory_.get(); }
  explicit operator bool() const { return static_cast<bool>(directory_); }

  // A file to keep: nothing when no descriptor is free (the reserve is for reads by path).
  UniqueFd open(const char* path, ReadStatus& status) const {
    return open_at(directory_.get(), path, status);
  }

  // Reads a file, at most `limit` bytes of it, through a descriptor opened for this read alone.
  ReadStatus read(const char* path, FileBuffer& out, size_t limit = SIZE_MAX) {
    ReadStatus status;
    UniqueFd file = open_at(directory_.get(), path, status);
    if (status == ReadStatus::NoDescriptors && reserve_) {
      reserve_.reset();
      file = open_at(directory_.get(), path, status);
    }
    if (file) status = read_file(file.get(), out, limit);
    file.reset();
    if (!reserve_) keep_reserve();
    return status;
  }

 private:
  void keep_reserve() {
    if (directory_) reserve_ = UniqueFd(::fcntl(directory_.get(), F_DUPFD_CLOEXEC, 0));
  }

  UniqueFd directory_;
  UniqueFd reserve_;
};

enum ProcFile { STAT, STATM, IO, CMDLINE };
constexpr const char* PROC_FILE_NAMES[FILES_PER_PROCESS] = {"stat", "statm", "io", "cmdline"};

// Who a process is, as one read of its stat says: what a handle compares later reads against.
// A process may replace its program at any moment, so the name the list gives and the command
// name the handle records must come from the same read.
struct StatIdentity {
  uint64_t start_ticks = 0;
  bool kernel_thread = false;
  std::string comm;
};

// The CPU time of all threads of a process, those that ended included, in 100-nanosecond units:
// the sum that its stat file splits into user and system ticks. Any process's clock may be read.
// The id is the kernel's encoding of a process's scheduler clock, as clock_getcpuclockid() makes
// it (without that call's extra system call to check it).
std::optional<uint64_t> process_cpu_100ns(uint32_t pid) {
  constexpr uint32_t CPUCLOCK_SCHED = 2;
  const auto clock = static_cast<clockid_t>((~pid << 3) | CPUCLOCK_SCHED);
  timespec time{};
  if (::clock_gettime(clock, &time) != 0) return std::nullopt;
  const uint64_t nanoseconds =
      static_cast<uint64_t>(time.tv_sec) * 1'000'000'000 + static_cast<uint64_t>(time.tv_nsec);
  return nanoseconds / 100;
}

// Whether this machine lets the monitor read other processes' CPU clocks (a sandbox may not), asked
// of a process that surely is not the monitor, whose own clock is always readable: its parent, or,
// where it has none in its namespace (it is the namespace's first process, or was entered into it
// from outside), a child started for the question.
bool other_cpu_clocks_readable() {
  const pid_t parent = ::getppid();
  if (parent > 0) return process_cpu_100ns(static_cast<uint32_t>(parent)).has_value();
  const pid_t child = ::fork();
  if (child == 0) {
    for (;;) ::pause();
  }
  if (child < 0) return false;
  const bool readable = process_cpu_100ns(static_cast<uint32_t>(child)).has_value();
  ::kill(child, SIGKILL);
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  return readable;
}

// The monitor's own pid as the namespace of /proc counts it (what /proc/self links to), or
// nothing, with errno set, when the link cannot be read.
std::optional<std::string> proc_self() {
  char target[32] = {};
  const ssize_t length = ::readlink("/proc/self", target, sizeof target - 1);
  if (length < 0) return std::nullopt;
  return std::string(target, static_cast<size_t>(length));
}

class LinuxProcess;

// Which watched processes have exited, found with one call for all of them: each one's pidfd sits
// in one epoll set and becomes readable when the process exits, which is before its pid can be
// freed and reused and after its children were given another parent. Watched processes are also
// found by pid, so that a process knows whether its parent is watched.
//
// Rule: a watch that ends, for whatever reason (its exit was seen, a read found the process
// ended, it left the listing, its handle went), is told as ended by the next take_ended(), once.
// A process listed as the child of a watched parent is trusted to keep that parent only until
// then, so no exit is lost when a watch ends before its event is read.
class ExitWatch {
 public:
  ExitWatch() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {}

  bool add(uint32_t pid, int pidfd, LinuxProcess* process) {
    if (!epoll_) return false;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = process;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, pidfd, &event) != 0) return false;
    watched_.insert_or_assign(pid, process);
    return true;
  }
  // Before the pidfd is closed. Closing it alone would not take it out of the set while a
  // forked child still holds a copy of the descriptor, and the set would report a freed handle.
  void remove(uint32_t pid, int pidfd, const LinuxProcess* process) {
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, pidfd, nullptr);
    auto found = watched_.find(pid);
    if (found != watched_.end() && found->second == process) watched_.erase(found);
    ended_.push_back(pid);
  }
  bool watches(uint32_t pid) const { return watched_.contains(pid); }

  // The pids whose watch ended since the last call, sorted, replacing what `out` held. False
  // when there are none.
  bool take_ended(std::vector<uint32_t>& out) {
    out.swap(ended_);
    ended_.clear();
    std::sort(out.begin(), out.end());
    return !out.empty();
  }

  // Visits every watched process that has exited; `visit` must stop watching it. False when the
  // watch cannot tell, so that nothing it watches may be taken for alive.
  template <typename Visit>
  bool for_each_exited(Visit visit) {
    for (;;) {
      const int ready = ::epoll_wait(epoll_.get(), events_, std::size(events_), 0);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return false;
      for (int i = 0; i < ready; ++i) visit(*static_cast<LinuxProcess*>(events_[i].data.ptr));
      if (ready < static_cast<int>(std::size(events_))) return true;
    }
  }

 private:
  UniqueFd epoll_;
  std::unordered_map<uint32_t, LinuxProcess*> watched_;
  std::vector<uint32_t> ended_;
  epoll_event events_[64];
};

// One opened process. Either it holds its stat file (kept) and, once a figure is read, its three
// figure files, or it reads them by path; while it can, it also watches its process's exit.
class LinuxProcess final : public ProcessHandle {
 public:
  // All three must outlive the handle.
  LinuxProcess(ProcDirectory& proc, DescriptorLimiter& limiter, ExitWatch& exit_watch,
               uint32_t pid, std::string name);
  ~LinuxProcess() override;
  LinuxProcess(const LinuxProcess&) = delete;
  LinuxProcess& operator=(const LinuxProcess&) = delete;

  uint32_t pid() const { return pid_; }
  const std::string& name() const { return name_; }
  uint64_t start_ticks() const { return start_ticks_; }
  // Converted once: a handle's process never changes its start.
  const std::optional<uint64_t>& start_seconds() const { return start_seconds_; }
  bool kernel_thread() const { return kernel_thread_; }
  void set_identity(const StatIdentity& identity, std::optional<uint64_t> start_seconds) {
    start_ticks_ = identity.start_ticks;
    start_seconds_ = start_seconds;
    kernel_thread_ = identity.kernel_thread;
    comm_ = identity.comm;
  }
  // The kernel's command name changes when the process replaces its program (exec).
  bool comm_changed(std::string_view comm) const { return comm != comm_; }
  void rename(std::string_view comm, std::string name) {
    comm_ = comm;
    name_ = std::move(name);
  }

  // Reads one file (at most `limit` bytes of it), through the kept descriptor or by path. Once
  // the process has ended (a kept file fails with ESRCH, or the pid now names a process with
  // another start), every read fails: the handle never shows a newer process that reused the pid.
  ReadStatus read(ProcFile file, FileBuffer& out, size_t limit = SIZE_MAX);
  bool ended() const { return ended_; }
  void mark_ended() {
    stop_watching();
    drop_files();
    ended_ = true;
  }
  bool keep_files();
  // Done before the read that confirms the handle's process, so that the pidfd is known to be
  // that process's. Without a descriptor to spare, or a pidfd, the process is not watched.
  void watch_exit();
  bool watched() const { return static_cast<bool>(pidfd_); }
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
  void drop_files();
  void drop_figure_files();
  ReadStatus keep_figure_files(FileBuffer& scratch);
  ReadStatus read_by_path(ProcFile file, FileBuffer& out, size_t limit);

  ProcDirectory& proc_;
  DescriptorLimiter& limiter_;
  ExitWatch& exit_watch_;
  uint32_t pid_;
  std::string name_;
  std::string comm_;
  uint64_t start_ticks_ = 0;
  std::optional<uint64_t> start_seconds_;
  UniqueFd files_[FILES_PER_PROCESS];  // the stat file is kept while files_[STAT] is open
  bool figures_kept_ = false;           // the figure files' descriptors are counted
  bool figures_tried_ = false;          // kept or refused: never tried again
  bool ended_ = false;
  bool kernel_thread_ = false;
  bool io_denied_ = false;  // the io file of another user's process: not retried
  bool parent_watched_ = false;
  uint32_t parent_pid_ = 0;
  UniqueFd pidfd_;  // open while the process is watched
  uint64_t cached_generation_ = 0;
  std::optional<ProcessTimes> cached_times_;
};

class LinuxPlatform final : public ProcessPlatform {
 public:
  LinuxPlatform();
  ~LinuxPlatform() override = default;

  MonoTime monotonic_now() override { return clock_.monotonic_now(); }
  int64_t wall_now_unix_ns() override { return clock_.wall_now_unix_ns(); }
  void sleep_for(std::chrono::nanoseconds duration) override { clock_.sleep_for(duration); }

  uint32_t processor_count() override;
  bool list_processes(std::vector<ListedProcess>& out, const OpenedProcesses& opened) override;
  std::unique_ptr<ProcessHandle> open_process(const ListedProcess& listed) override;
  std::optional<ProcessTimes> process_times(ProcessHandle& process) override;
  std::optional<MachineTimes> machine_times() override;
  std::optional<IoTotals> io_totals(ProcessHandle& process) override;
  std::optional<MemoryFigures> memory(ProcessHandle& process) override;
  CommandLineRead command_line(ProcessHandle& process) override;
  std::optional<ProcessStatus> process_status(ProcessHandle& process) override;
  std::optional<std::string> start_up_warning() override;

 private:
  bool list_unread(LinuxProcess& handle, ListedProcess& listed);
  bool list_read(uint32_t pid, LinuxProcess* handle, ListedProcess& listed);
  void settle_exits(std::vector<ListedProcess>& out);
  void read_unsettled(std::vector<ListedProcess>& out, bool watch_answered);
  bool parent_watched(uint32_t parent_pid) const {
    return parent_pid == 0 || exit_watch_.watches(parent_pid);
  }
  std::optional<uint64_t> start_seconds(uint64_t start_ticks) const;
  std::string name_of(uint32_t pid, std::string_view comm);
  ProcessTimes times_of(const LinuxProcess& process, std::optional<uint64_t> clock,
                        const StatFields& fields) const;
  std::optional<uint64_t> cpu_clock(uint32_t pid) const {
    return cpu_clocks_ ? process_cpu_100ns(pid) : std::nullopt;
  }
  // The handle's stat, parsed, when it still shows the handle's process (its text in buffer_).
  std::optional<StatFields> read_own_stat(LinuxProcess& process);

  SystemClock clock_;
  ProcDirectory proc_;
  UniqueFd machine_stat_;
  uint64_t ticks_per_second_ = 100;
  uint64_t page_size_ = 4096;
  std::optional<uint64_t> boot_time_s_;
  DescriptorLimiter limiter_;
  // Whether CPU clocks are read, and exits watched: only where the machine lets the monitor read
  // other processes' clocks and /proc is of the monitor's own pid namespace, since clock ids and
  // pidfds name processes of that namespace. Without them, every process is read at every list,
  // and its CPU time comes from stat.
  bool cpu_clocks_ = false;
  ExitWatch exit_watch_;
  uint64_t generation_ = 0;  // one per list; tells which list a handle's cache comes from
  // The last list's reading of every listed process that has no live handle, for open_process.
  std::unordered_map<uint32_t, StatIdentity> unopened_;
  FileBuffer buffer_;
  FileBuffer second_buffer_;
  std::vector<char> directory_buffer_;
  // Reused by every list: each listed process's handle, and the processes whose watch ended.
  std::vector<LinuxProcess*> listed_handles_;
  std::vector<uint32_t> ended_pids_;
};

// A process's times as its CPU clock gives them: one sum.
std::optional<ProcessTimes> clock_times(const LinuxProcess& process, std::optional<uint64_t> cpu) {
  if (!cpu) return std::nullopt;
  return ProcessTimes{process.start_seconds(), 0, *cpu};
}

LinuxProcess::LinuxProcess(ProcDirectory& proc, DescriptorLimiter& limiter, ExitWatch& exit_watch,
                           uint32_t pid, std::string name)
    : proc_(proc),
      limiter_(limiter),
      exit_watch_(exit_watch),
      pid_(pid),
      name_(std::move(name)) {}

LinuxProcess::~LinuxProcess() {
  stop_watching();
  drop_files();
}

void LinuxProcess::watch_exit() {
  if (!limiter_.acquire(1)) return;
  const auto fd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid_), 0));
  if (fd >= 0) pidfd_ = UniqueFd(fd);
  if (!pidfd_ || !exit_watch_.add(pid_, pidfd_.get(), this)) {
    pidfd_.reset();
    limiter_.release(1);
  }
}

void LinuxProcess::stop_watching() {
  if (!pidfd_) return;
  exit_watch_.remove(pid_, pidfd_.get(), this);
  pidfd_.reset();
  limiter_.release(1);
}

bool LinuxProcess::keep_files() {
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
  figures_tried_ = true;
  if (!limiter_.acquire(FIGURE_FILES)) return ReadStatus::NoDescriptors;
  figures_kept_ = true;
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
  if (!figures_kept_) return;
  for (int file = STATM; file < FILES_PER_PROCESS; ++file) files_[file].reset();
  figures_kept_ = false;
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
  if (files_[STAT] && file != STAT && !figures_tried_ &&
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
  return read_by_path(file, out, limit);
}

ReadStatus LinuxProcess::read_by_path(ProcFile file, FileBuffer& out, size_t limit) {
  return proc_.read(ProcPath(pid_, PROC_FILE_NAMES[file]).text, out, limit);
}

LinuxProcess& as_linux(ProcessHandle& handle) { return static_cast<LinuxProcess&>(handle); }

// Raises the soft open-file limit to the hard one and returns the budget of descriptors that
// handles may keep below it.
uint64_t handle_descriptor_budget() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  // An unlimited soft limit still meets the kernel's nr_open; the budget stays a real number.
  const uint64_t soft = limit.rlim_cur == RLIM_INFINITY ? 1u << 20 : limit.rlim_cur;
  return soft > 2 * DESCRIPTOR_RESERVE ? soft - DESCRIPTOR_RESERVE : 0;
}

LinuxPlatform::LinuxPlatform() : limiter_(handle_descriptor_budget()) {
  ReadStatus status;
  machine_stat_ = open_at(AT_FDCWD, "/proc/stat", status);
  const long ticks = ::sysconf(_SC_CLK_TCK);
  if (ticks > 0) ticks_per_second_ = static_cast<uint64_t>(ticks);
  const long page = ::sysconf(_SC_PAGESIZE);
  if (page > 0) page_size_ = static_cast<uint64_t>(page);
  // Boot time is read once: the kernel recomputes btime when the wall clock is set, and start
  // times that moved between refreshes would look like reused pids.
  if (machine_stat_ && read_file(machine_stat_.get(), buffer_) == ReadStatus::Ok) {
    boot_time_s_ = linux_proc::parse_boot_time(buffer_.text());
  }
  directory_buffer_.resize(DIRECTORY_BUFFER_INITIAL);
  const bool own_namespace = proc_self() == std::to_string(::getpid());
  cpu_clocks_ = own_namespace && other_cpu_clocks_readable();
}

uint32_t LinuxPlatform::processor_count() {
  if (machine_stat_ && read_file(machine_stat_.get(), buffer_) == ReadStatus::Ok) {
    std::optional<linux_proc::MachineFields> machine =
        linux_proc::parse_machine_stat(buffer_.text());
    if (machine && machine->cpu_lines > 0) return machine->cpu_lines;
  }
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<uint32_t>(online) : 0;
}

std::optional<MachineTimes> LinuxPlatform::machine_times() {
  if (!machine_stat_ || read_file(machine_stat_.get(), buffer_) != ReadStatus::Ok) {
    return std::nullopt;
  }
  std::optional<linux_proc::MachineFields> machine = linux_proc::parse_machine_stat(buffer_.text());
  if (!machine) return std::nullopt;
  return MachineTimes{linux_proc::ticks_to_100ns(machine->kernel_ticks, ticks_per_second_),
                      linux_proc::ticks_to_100ns(machine->user_ticks, ticks_per_second_)};
}

// The elements of `out` are overwritten in place rather than cleared and rebuilt, so that in the
// steady state a refresh copies each name into storage the previous one left, allocating nothing.
bool LinuxPlatform::list_processes(std::vector<ListedProcess>& out,
                                   const OpenedProcesses& opened) {
  unopened_.clear();
  listed_handles_.clear();
  size_t count = 0;
  const auto finish = [this, &out, &count](bool listed) {
    out.resize(listed ? count : 0);
    if (listed) settle_exits(out);
    return listed;
  };
  if (!proc_ || ::lseek(proc_.get(), 0, SEEK_SET) < 0) return finish(false);
  ++generation_;
  int reads_with_entries = 0;
  for (;;) {
    const ssize_t got =
        ::getdents64(proc_.get(), directory_buffer_.data(), directory_buffer_.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return finish(false);
    if (got == 0) {
      // The next list takes the whole directory in one read, as the machine grows.
      if (reads_with_entries > 1 && directory_buffer_.size() < DIRECTORY_BUFFER_MAX) {
        directory_buffer_.resize(directory_buffer_.size() * 2);
      }
      return finish(true);
    }
    ++reads_with_entries;
    for (ssize_t at = 0; at < got;) {
      const auto* entry = reinterpret_cast<const dirent64*>(directory_buffer_.data() + at);
      at += entry->d_reclen;
      uint32_t pid = 0;
      const char* name = entry->d_name;
      const char* end = name + std::char_traits<char>::length(name);
      auto [parsed_end, error] = std::from_chars(name, end, pid);
      if (error != std::errc() || parsed_end != end) continue;  // not a process directory
      ListedProcess& listed = count < out.size() ? out[count] : out.emplace_back();
      auto* handle = static_cast<LinuxProcess*>(opened.find_opened(pid));
      if ((handle && list_unread(*handle, listed)) || list_read(pid, handle, listed)) {
        listed_handles_.push_back(handle);
        ++count;
      }
    }
  }
}

// A watched process whose parent is watched too is listed from what its handle knows and its CPU
// clock, with no file read; settle_exits() reads it after all if it or its parent has exited.
bool LinuxPlatform::list_unread(LinuxProcess& handle, ListedProcess& listed) {
  if (!handle.watched() || !handle.parent_watched()) return false;
  const std::optional<uint64_t> cpu = process_cpu_100ns(handle.pid());
  if (!cpu) return false;
  listed.pid = handle.pid();
  listed.parent_pid = handle.parent_pid();
  listed.start_time_s = handle.start_seconds();
  listed.replaces_opened = false;
  listed.name_unchanged = true;
  listed.status_deferred = true;
  handle.cache_times(clock_times(handle, cpu), generation_);
  return true;
}

// A process that vanished between the directory read and its stat is simply not listed.
bool LinuxPlatform::list_read(uint32_t pid, LinuxProcess* handle, ListedProcess& listed) {
  // Read before the stat file: if that still shows the handle's process, the clock was its own.
  const std::optional<uint64_t> cpu = handle ? cpu_clock(pid) : std::nullopt;
  ReadStatus status = handle ? handle->read(STAT, buffer_) : ReadStatus::Gone;
  if (status != ReadStatus::Ok) status = proc_.read(ProcPath(pid, "stat").text, buffer_);
  if (status != ReadStatus::Ok) return false;
  std::optional<StatFields> fields = linux_proc::parse_stat(buffer_.text());
  if (!fields) return false;
  if (handle && handle->start_ticks() != fields->start_ticks) handle->mark_ended();

  listed.pid = pid;
  listed.parent_pid = fields->parent_pid;
  listed.state = linux_proc::state_from_letter(fields->state);
  const bool same_process = handle && !handle->ended();
  listed.replaces_opened = handle && handle->ended();
  listed.name_unchanged = same_process && !handle->comm_changed(fields->comm);
  listed.status_deferred = false;
  if (same_process) {
    listed.start_time_s = handle->start_seconds();
    if (!listed.name_unchanged) {
      handle->rename(fields->comm, name_of(pid, fields->comm));
      listed.name = handle->name();
    }
    handle->set_parent(fields->parent_pid, parent_watched(fields->parent_pid));
    handle->cache_times(times_of(*handle, cpu, *fields), generation_);
  } else {
    listed.start_time_s = start_seconds(fields->start_ticks);
    listed.name = name_of(pid, fields->comm);
    unopened_.insert_or_assign(pid, StatIdentity{fields->start_ticks,
                                                 linux_proc::is_kernel_thread(*fields),
                                                 std::string(fields->comm)});
  }
  return true;
}

// A process that exited since the list's walk began may have lent its pid to a newer one, whose
// clock the walk read; and its children have another parent now. So each such listing is read
// again, and an exited process is read from then on (a zombie until it is reaped). A process that
// exits after this check was alive when it was listed. A parent whose watch ended otherwise (a
// read found it ended, or its handle went) is treated as exited: its children are read again.
void LinuxPlatform::settle_exits(std::vector<ListedProcess>& out) {
  bool watch_answered =
      exit_watch_.for_each_exited([](LinuxProcess& process) { process.stop_watching(); });
  // A listing read again may find its own process ended, whose children are then read in turn.
  while (exit_watch_.take_ended(ended_pids_) || !watch_answered) {
    read_unsettled(out, watch_answered);
    watch_answered = true;
  }
}

void LinuxPlatform::read_unsettled(std::vector<ListedProcess>& out, bool watch_answered) {
  // Backwards, so that erasing a vanished process leaves the indexes still to come valid.
  for (size_t index = out.size(); index-- > 0;) {
    ListedProcess& listed = out[index];
    LinuxProcess* handle = listed_handles_[index];
    // An unread listing's handle was watched when it was listed: if it is not now, it exited.
    const bool unverified =
        listed.status_deferred && (!watch_answered || !handle->watched());
    const bool orphaned =
        std::binary_search(ended_pids_.begin(), ended_pids_.end(), listed.parent_pid);
    if ((unverified || orphaned) && !list_read(listed.pid, handle, listed)) {
      out.erase(out.begin() + static_cast<std::ptrdiff_t>(index));
      listed_handles_.erase(listed_handles_.begin() + static_cast<std::ptrdiff_t>(index));
    }
  }
}

std::string LinuxPlatform::name_of(uint32_t pid, std::string_view comm) {
  if (comm.size() < linux_proc::COMM_MAX) return repair_utf8(comm);
  if (proc_.read(ProcPath(pid, "cmdline").text, second_buffer_, COMMAND_LINE_READ_BYTES) !=
      ReadStatus::Ok) {
    return repair_utf8(comm);
  }
  const std::string_view arguments = second_buffer_.text();
  const size_t first_end = arguments.find('\0');
  // A first argument that goes on past what is read cannot be split into a directory and a file
  // name: the kernel's name stands.
  if (first_end == std::string_view::npos && arguments.size() == COMMAND_LINE_READ_BYTES) {
    return repair_utf8(comm);
  }
  return linux_proc::process_name(comm, arguments.substr(0, first_end));
}

std::optional<uint64_t> LinuxPlatform::start_seconds(uint64_t start_ticks) const {
  if (!boot_time_s_) return std::nullopt;
  const uint64_t since_boot = start_ticks / ticks_per_second_;
  return saturating_add(*boot_time_s_, since_boot);
}

// One form of CPU times for every process, so that no reading measures against a baseline of
// the other: with CPU clocks, one sum, which the stat reading gives where a clock cannot be read.
// Stat counts the clock's time in whole ticks, so it never passes the last clock reading, which
// stands instead of a smaller sum. The start time is always the stat reading's.
ProcessTimes LinuxPlatform::times_of(const LinuxProcess& process, std::optional<uint64_t> clock,
                                     const StatFields& fields) const {
  const uint64_t system = linux_proc::ticks_to_100ns(fields.system_ticks, ticks_per_second_);
  const uint64_t user = linux_proc::ticks_to_100ns(fields.user_ticks, ticks_per_second_);
  if (!cpu_clocks_) return ProcessTimes{process.start_seconds(), system, user};
  if (clock) return ProcessTimes{process.start_seconds(), 0, *clock};
  return ProcessTimes{process.start_seconds(), 0,
                      std::max(saturating_add(system, user), process.last_cpu_100ns())};
}

std::unique_ptr<ProcessHandle> LinuxPlatform::open_process(const ListedProcess& listed) {
  // Only a process the last list read can be opened: the handle takes its identity from that
  // read, the one the listed name came from.
  auto identity = unopened_.find(listed.pid);
  if (identity == unopened_.end()) return nullptr;
  auto process =
      std::make_unique<LinuxProcess>(proc_, limiter_, exit_watch_, listed.pid, listed.name);
  // Without CPU clocks a watched process would still have to be read.
  if (cpu_clocks_) process->watch_exit();
  process->keep_files();
  const std::optional<uint64_t> cpu = cpu_clock(listed.pid);
  // The stat read now decides which process the pidfd, the clock and the kept files belong to:
  // if the pid was reused since the list was taken, the listed process has ended and cannot be
  // opened.
  if (process->read(STAT, buffer_) != ReadStatus::Ok) return nullptr;
  std::optional<StatFields> fields = linux_proc::parse_stat(buffer_.text());
  if (!fields || fields->start_ticks != identity->second.start_ticks) return nullptr;
  process->set_identity(identity->second, start_seconds(identity->second.start_ticks));
  process->set_parent(fields->parent_pid, parent_watched(fields->parent_pid));
  process->cache_times(times_of(*process, cpu, *fields), generation_);
  return process;
}

std::optional<ProcessTimes> LinuxPlatform::process_times(ProcessHandle& handle) {
  LinuxProcess& process = as_linux(handle);
  if (const std::optional<ProcessTimes>* cached = process.cached_times(generation_)) {
    return *cached;
  }
  const std::optional<uint64_t> cpu = cpu_clock(process.pid());
  std::optional<StatFields> read = read_own_stat(process);
  if (!read) return std::nullopt;
  return times_of(process, cpu, *read);
}

std::optional<StatFields> LinuxPlatform::read_own_stat(LinuxProcess& process) {
  if (process.read(STAT, buffer_) != ReadStatus::Ok) return std::nullopt;
  std::optional<StatFields> read = linux_proc::parse_stat(buffer_.text());
  if (!read || read->start_ticks != process.start_ticks()) return std::nullopt;
  return read;
}

std::optional<ProcessStatus> LinuxPlatform::process_status(ProcessHandle& handle) {
  LinuxProcess& process = as_linux(handle);
  std::optional<StatFields> read = read_own_stat(process);
  if (!read) return std::nullopt;
  if (process.comm_changed(read->comm)) {
    process.rename(read->comm, name_of(process.pid(), read->comm));
  }
  return ProcessStatus{linux_proc::state_from_letter(read->state), process.name()};
}

std::optional<IoTotals> LinuxPlatform::io_totals(ProcessHandle& handle) {
  if (as_linux(handle).read(IO, buffer_) != ReadStatus::Ok) return std::nullopt;
  std::optional<linux_proc::IoFields> io = linux_proc::parse_io(buffer_.text());
  if (!io) return std::nullopt;
  return IoTotals{io->rchar, io->wchar};
}

// A kernel thread's statm and cmdline are empty by definition: they are not read, which spares
// two of the four reads for a large share of a typical machine's processes.
std::optional<MemoryFigures> LinuxPlatform::memory(ProcessHandle& handle) {
  LinuxProcess& process = as_linux(handle);
  if (process.kernel_thread() && !process.ended()) return MemoryFigures{};
  if (process.read(STATM, buffer_) != ReadStatus::Ok) return std::nullopt;
  std::optional<linux_proc::StatmFields> statm = linux_proc::parse_statm(buffer_.text());
  if (!statm) return std::nullopt;
  return MemoryFigures{saturating_multiply(statm->resident_pages, page_size_),
                       saturating_multiply(statm->data_pages, page_size_)};
}

// An unreadable file keeps the previous arguments; an empty one (a kernel thread, a zombie
// whose memory is gone) empties them.
CommandLineRead LinuxPlatform::command_line(ProcessHandle& handle) {
  LinuxProcess& process = as_linux(handle);
  if (process.kernel_thread() && !process.ended()) return CommandLineRead{true, {}};
  if (process.read(CMDLINE, buffer_, COMMAND_LINE_READ_BYTES) != ReadStatus::Ok) {
    return CommandLineRead{};
  }
  return CommandLineRead{true, linux_proc::split_command_line(buffer_.text())};
}

// /proc/self is a link to the reader's own pid as the namespace of that /proc counts it: a
// different number means the /proc of another pid namespace (usually the host's, in a container
// that mounted none of its own), whose pids and trees are not those around the monitor.
std::optional<std::string> LinuxPlatform::start_up_warning() {
  const std::optional<std::string> self = proc_self();
  if (!self) {
    return "/proc/self cannot be read (" + std::string(std::strerror(errno)) +
           "): no process can be monitored";
  }
  const std::string pid = std::to_string(::getpid());
  if (*self == pid) return std::nullopt;
  return "/proc/self names process " + *self + ", not this process (" + pid +
         "): /proc belongs to another pid namespace, whose processes are monitored instead";
}

}  // namespace

std::unique_ptr<ProcessPlatform> make_system_platform() {
  return std::make_unique<LinuxPlatform>();
}

}  // namespace treemon
