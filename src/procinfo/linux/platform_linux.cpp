// The process platform on Linux, read from /proc: the listing and the queries. The files it reads
// are in proc_files_linux.h, the machine-wide figures in machine_stat_linux.h, the per-process
// handle in process_handle_linux.h, the exit watch in exit_watch_linux.h, and which pids a
// refresh lists (not every refresh lists /proc) in listing_choice_linux.h.
//
// A steady process costs no file read per refresh: its handle watches its exit, and the list reads
// its CPU time from its CPU clock. Its parent changes only when the parent exits, and the parent is
// watched too; its state and name are read in the table's second phase, for the processes a caller
// looks at. Clocks and pidfds name processes of the monitor's own pid namespace, so with the /proc
// of another one every process is read from stat at every list.
//
// Rules a change must keep:
//  1. Each stat read of a process that has a handle is checked against the handle's start time;
//     a read that shows another start marks the handle ended and is never its process's figure.
//  2. A process is listed without a read only while it and its parent are watched; every exit,
//     and every watch that ended otherwise, is settled once per list, after the walk: the
//     listing of an ended watch is read again, and so is every child of an ended parent.
//  3. No buffer is reused while a parse of it is alive: every read of a process goes into
//     buffer_, and what is kept of a parse (a stat's fields, their command name included) is
//     owned, not a view.
//  4. A command line is read only as far as COMMAND_LINE_READ_BYTES, so what any process shows
//     in its argument area bounds neither the time nor the memory of a refresh.
// It keeps the rules of what it uses too: where a handle's identity comes from (platform.h's
// open_process; process_handle_linux.h, rule 5), the descriptor budget (process_handle_linux.h,
// rule 2), the exit watch (exit_watch_linux.h, rule 2), the order of a refresh's readings
// (fork_reading_linux.h, rule 1; machine_stat_linux.h, rule 2), and a listing's handle
// (listed_processes_linux.h).
// Handles know the limiter, the exit watch and the /proc directory, never the platform.
#include "procinfo/linux/platform_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/saturating.h"
#include "base/utf8.h"
#include "procinfo/cpu_meter.h"
#include "procinfo/linux/descriptor_limiter.h"
#include "procinfo/linux/exit_watch_linux.h"
#include "procinfo/linux/fork_reading_linux.h"
#include "procinfo/linux/listed_processes_linux.h"
#include "procinfo/linux/listing_choice_linux.h"
#include "procinfo/linux/machine_stat_linux.h"
#include "procinfo/linux/new_processes_linux.h"
#include "procinfo/linux/proc_files_linux.h"
#include "procinfo/linux/proc_parse_linux.h"
#include "procinfo/linux/process_handle_linux.h"
#include "procinfo/linux/smaps_rollup_linux.h"
#include "procinfo/linux/tree_listing_linux.h"

namespace treemon::linux_proc {
namespace {

// /proc of 3,000 processes lists in about 100 KiB.
constexpr size_t DIRECTORY_BUFFER_INITIAL = 32 * 1024;
constexpr size_t DIRECTORY_BUFFER_MAX = 1024 * 1024;

class LinuxPlatform final : public ProcessPlatform {
 public:
  // Handles keep at most `descriptor_budget` descriptors open at once. `observer`, if any, is
  // told of every refresh's choice of pids.
  LinuxPlatform(uint64_t descriptor_budget, std::unique_ptr<ListingObserver> observer);

  MonoTime monotonic_now() override { return clock_.monotonic_now(); }
  int64_t wall_now_unix_ns() override { return clock_.wall_now_unix_ns(); }
  void sleep_for(std::chrono::nanoseconds duration) override { clock_.sleep_for(duration); }

  uint32_t processor_count() override;
  bool list_processes(std::vector<ListedProcess>& out, const OpenedProcesses& opened) override;
  std::unique_ptr<ProcessHandle> open_process(const ListedProcess& listed) override;
  std::optional<ProcessTimes> process_times(ProcessHandle& process) override;
  std::optional<MachineTimes> machine_times() override;
  std::optional<MachineSpan> machine_span_around(ProcessHandle& process) override;
  std::optional<uint32_t> thread_count(ProcessHandle& process) override;
  void list_only_trees(std::optional<std::vector<uint32_t>> roots) override;
  std::optional<IoTotals> io_totals(ProcessHandle& process) override;
  std::optional<MemoryFigures> memory(ProcessHandle& process) override;
  CommandLineRead command_line(ProcessHandle& process) override;
  MemoryShareKind memory_share_kind() const override { return MemoryShareKind::Proportional; }
  std::optional<uint64_t> memory_share(ProcessHandle& process) override;
  std::optional<ProcessStatus> process_status(ProcessHandle& process) override;
  std::optional<std::string> start_up_warning() override { return proc_namespace_warning(); }

 private:
  bool list_directory(ListedProcesses& listed, const OpenedProcesses& opened);
  void list_one(uint32_t pid, LinuxProcess* handle, ListedProcesses& listed);
  bool list_trees(ListedProcesses& listed, const OpenedProcesses& opened);
  bool list_unread(LinuxProcess& handle, ListedProcess& listed);
  bool list_read(uint32_t pid, LinuxProcess* handle, ListedProcess& listed);
  void settle_exits(ListedProcesses& listed);
  void read_unsettled(ListedProcesses& listed, bool watch_answered);
  bool parent_watched(uint32_t parent_pid) const {
    return parent_pid == 0 || exit_watch_.watches(parent_pid);
  }
  std::string name_of(uint32_t pid, std::string_view comm);
  ProcessTimes times_of(const LinuxProcess& process, std::optional<uint64_t> clock,
                        const StatFields& fields) const;
  // The handle's stat, parsed, when it still shows the handle's process (its text in buffer_).
  std::optional<StatFields> read_own_stat(LinuxProcess& process);

  SystemClock clock_;
  ProcDirectory proc_;
  MachineStat machine_;
  ForkReader forks_;
  uint64_t page_size_ = 4096;
  DescriptorLimiter limiter_;
  bool own_namespace_ = false;  // /proc is of the monitor's pid namespace
  // Whether CPU clocks are read, and exits watched: only where the machine lets the monitor read
  // other processes' clocks and /proc is of the monitor's own pid namespace, since clock ids and
  // pidfds name processes of that namespace. Without them, every process is read at every list,
  // and its CPU time comes from stat.
  bool cpu_clocks_ = false;
  uint32_t processors_ = 0;
  ExitWatch exit_watch_;
  uint64_t generation_ = 0;  // one per list; tells which list a handle's cache comes from
  // The last list's reading of every listed process that has no live handle, for open_process.
  std::unordered_map<uint32_t, StatIdentity> unopened_;
  FileBuffer buffer_;
  std::vector<char> directory_buffer_;
  // Reused by every list: each listed process's handle (ListedProcesses), and the processes
  // whose watch ended.
  std::vector<LinuxProcess*> listed_handles_;
  std::vector<uint32_t> ended_pids_;

  ListingChoice choice_;
  // The roots of the trees a list is limited to; none for every process. Used only where
  // children files exist and /proc is of the monitor's own pid namespace.
  std::optional<std::vector<uint32_t>> tree_roots_;
  bool trees_listable_ = false;
  TreeListing tree_listing_;
  std::vector<uint32_t> tree_pids_;
};

// A process's times as its CPU clock gives them: one sum.
std::optional<ProcessTimes> clock_times(const LinuxProcess& process, std::optional<uint64_t> cpu) {
  if (!cpu) return std::nullopt;
  return ProcessTimes{process.start_seconds(), 0, *cpu};
}

LinuxProcess& as_linux(ProcessHandle& handle) { return static_cast<LinuxProcess&>(handle); }

LinuxPlatform::LinuxPlatform(uint64_t descriptor_budget, std::unique_ptr<ListingObserver> observer)
    : limiter_(descriptor_budget), choice_(std::move(observer)) {
  const long page = ::sysconf(_SC_PAGESIZE);
  if (page > 0) page_size_ = static_cast<uint64_t>(page);
  directory_buffer_.resize(DIRECTORY_BUFFER_INITIAL);
  own_namespace_ = proc_self() == std::to_string(::getpid());
  cpu_clocks_ = own_namespace_ && other_cpu_clocks_readable();
  processors_ = machine_.processor_count();
  trees_listable_ = own_namespace_ && TreeListing::available();
  if (std::optional<ForkReading> reading =
          forks_.read(machine_.read_for_list(generation_), buffer_)) {
    choice_.start(clock_.monotonic_now(), *reading);
  }
}

// Read once, so that the machine's times of the clock count the processors the table counts.
uint32_t LinuxPlatform::processor_count() { return processors_; }

std::optional<MachineTimes> LinuxPlatform::machine_times() {
  return machine_.machine_times(generation_);
}

// A CPU clock counts a process's time to the nanosecond, /proc/stat the machine's in ticks of
// 10 ms: over a second's interval a busy thread would read about 1 % above or below 100. So with
// CPU clocks the machine's times are the raw monotonic clock's around each clock reading. A
// thread then shows more than its processor only by its clock's own error, which rule 6 of
// cpu_meter.h bounds by the threads. A process whose clock could not be read shows its
// stat's ticks against the same clock. Without CPU clocks both sides are in ticks, and
// /proc/stat's reading stands.
std::optional<MachineSpan> LinuxPlatform::machine_span_around(ProcessHandle& handle) {
  if (!cpu_clocks_) return std::nullopt;
  const ClockSpan& read = as_linux(handle).cpu_read_span();
  return MachineSpan(machine_times_of_clock(read.before_ns, processors_),
                     machine_times_of_clock(read.after_ns, processors_));
}

// The task directory links each of its threads' directories, besides itself and its parent.
std::optional<uint32_t> LinuxPlatform::thread_count(ProcessHandle& handle) {
  struct stat task {};
  if (::fstatat(proc_.get(), ProcPath(as_linux(handle).pid(), "task").text, &task, 0) != 0) {
    return std::nullopt;
  }
  if (task.st_nlink <= 2) return std::nullopt;
  return static_cast<uint32_t>(task.st_nlink - 2);
}

bool LinuxPlatform::list_processes(std::vector<ListedProcess>& out, const OpenedProcesses& opened) {
  unopened_.clear();
  ListedProcesses listed(out, listed_handles_);
  ++generation_;
  if (tree_roots_ && trees_listable_) return list_trees(listed, opened);
  choice_.begin_refresh();
  const MonoTime at = clock_.monotonic_now();
  const std::vector<uint32_t>* pids =
      choice_.choose(at, forks_.read(machine_.read_for_list(generation_), buffer_), own_namespace_);
  bool taken = true;
  if (pids) {
    for (uint32_t pid : *pids) {
      list_one(pid, static_cast<LinuxProcess*>(opened.find_opened(pid)), listed);
    }
  } else {
    taken = list_directory(listed, opened);
  }
  listed.finish(taken);
  if (taken) settle_exits(listed);
  if (!taken) choice_.list_lost();
  choice_.remember(listed, unopened_.size());
  return taken;
}

void LinuxPlatform::list_only_trees(std::optional<std::vector<uint32_t>> roots) {
  // The choice builds on the previous list: after a list of trees, the next full one is in doubt.
  if (tree_roots_ && !roots) choice_.list_lost();
  tree_roots_ = std::move(roots);
}

// The trees' processes, each read as a list of chosen pids reads it; the fork counter and the
// listing choice are left out, as no list of the whole machine builds on this one.
bool LinuxPlatform::list_trees(ListedProcesses& listed, const OpenedProcesses& opened) {
  static_cast<void>(machine_.read_for_list(generation_));
  tree_listing_.collect(proc_, *tree_roots_, tree_pids_);
  for (const uint32_t pid : tree_pids_) {
    list_one(pid, static_cast<LinuxProcess*>(opened.find_opened(pid)), listed);
  }
  listed.finish(true);
  settle_exits(listed);
  return true;
}

bool LinuxPlatform::list_directory(ListedProcesses& listed, const OpenedProcesses& opened) {
  if (!proc_ || ::lseek(proc_.get(), 0, SEEK_SET) < 0) return false;
  int reads_with_entries = 0;
  for (;;) {
    const ssize_t got =
        ::getdents64(proc_.get(), directory_buffer_.data(), directory_buffer_.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) {
      // The next list takes the whole directory in one read, as the machine grows.
      if (reads_with_entries > 1 && directory_buffer_.size() < DIRECTORY_BUFFER_MAX) {
        directory_buffer_.resize(directory_buffer_.size() * 2);
      }
      return true;
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
      list_one(pid, static_cast<LinuxProcess*>(opened.find_opened(pid)), listed);
    }
  }
}

void LinuxPlatform::list_one(uint32_t pid, LinuxProcess* handle, ListedProcesses& listed) {
  ListedProcess& next = listed.next();
  if ((handle && list_unread(*handle, next)) || list_read(pid, handle, next)) listed.add(handle);
}

// A watched process whose parent is watched too is listed from what its handle knows and its CPU
// clock, with no file read; settle_exits() reads it after all if it or its parent has exited.
bool LinuxPlatform::list_unread(LinuxProcess& handle, ListedProcess& listed) {
  if (!handle.watched() || !handle.parent_watched()) return false;
  const std::optional<uint64_t> cpu = handle.cpu_100ns();
  if (!cpu) return false;
  listed.pid = handle.pid();
  listed.parent_pid = handle.parent_pid();
  listed.start_time_s = handle.start_seconds();
  listed.listing = Listing::StatusDeferred;
  handle.cache_times(clock_times(handle, cpu), generation_);
  return true;
}

// How a stat read lists a process, against the handle the table holds for its pid, if any.
Listing listing_of(const LinuxProcess* handle, std::string_view comm) {
  if (!handle) return Listing::Read;
  if (handle->ended()) return Listing::ReplacesOpened;
  return handle->comm_changed(comm) ? Listing::Read : Listing::NameUnchanged;
}

// A process that vanished between the directory read and its stat is simply not listed.
bool LinuxPlatform::list_read(uint32_t pid, LinuxProcess* handle, ListedProcess& listed) {
  // Read before the stat file: if that still shows the handle's process, the clock was its own.
  const std::optional<uint64_t> cpu = handle ? handle->cpu_100ns() : std::nullopt;
  ReadStatus status = handle ? handle->read(STAT, buffer_) : ReadStatus::Gone;
  if (status != ReadStatus::Ok) status = proc_.read(ProcPath(pid, "stat").text, buffer_);
  std::optional<StatFields> fields =
      status == ReadStatus::Ok ? parse_stat(buffer_.text()) : std::nullopt;
  if (!fields && status != ReadStatus::Gone) choice_.unread(pid);
  if (!fields) return false;
  if (handle && handle->start_ticks() != fields->start_ticks) handle->mark_ended();

  listed.pid = pid;
  listed.parent_pid = fields->parent_pid;
  listed.state = state_from_letter(fields->state);
  listed.listing = listing_of(handle, fields->comm);
  const bool same_process = handle && !handle->ended();
  if (same_process) {
    listed.start_time_s = handle->start_seconds();
    if (listed.listing == Listing::Read) {
      handle->rename(fields->comm, name_of(pid, fields->comm));
      listed.name = handle->name();
    }
    handle->set_parent(fields->parent_pid, parent_watched(fields->parent_pid));
    handle->cache_times(times_of(*handle, cpu, *fields), generation_);
  } else {
    listed.start_time_s = machine_.start_seconds(fields->start_ticks);
    listed.name = name_of(pid, fields->comm);
    unopened_.insert_or_assign(
        pid, StatIdentity{fields->start_ticks, is_kernel_thread(*fields), fields->comm});
  }
  return true;
}

// A process that exited since the list's walk began may have lent its pid to a newer one, whose
// clock the walk read; and its children have another parent now. So each such listing is read
// again, and an exited process is read from then on (a zombie until it is reaped). A process that
// exits after this check was alive when it was listed. A parent whose watch ended otherwise (a
// read found it ended, or its handle went) is treated as exited: its children are read again.
void LinuxPlatform::settle_exits(ListedProcesses& listed) {
  bool watch_answered = exit_watch_.collect_exits();
  // A listing read again may find its own process ended, whose children are then read in turn.
  while (exit_watch_.take_ended(ended_pids_) || !watch_answered) {
    read_unsettled(listed, watch_answered);
    watch_answered = true;
  }
}

void LinuxPlatform::read_unsettled(ListedProcesses& listed, bool watch_answered) {
  // Backwards, so that erasing a vanished process leaves the indexes still to come valid.
  for (size_t index = listed.size(); index-- > 0;) {
    ListedProcess& listing = listed.listing(index);
    LinuxProcess* handle = listed.handle(index);
    // An unread listing's handle was watched when it was listed: if it is not now, it exited.
    const bool unverified =
        listing.listing == Listing::StatusDeferred && (!watch_answered || !handle->watched());
    const bool orphaned =
        std::binary_search(ended_pids_.begin(), ended_pids_.end(), listing.parent_pid);
    if ((unverified || orphaned) && !list_read(listing.pid, handle, listing)) listed.erase(index);
  }
}

std::string LinuxPlatform::name_of(uint32_t pid, std::string_view comm) {
  if (comm.size() < COMM_MAX) return repair_utf8(comm);
  if (proc_.read(ProcPath(pid, "cmdline").text, buffer_, COMMAND_LINE_READ_BYTES) !=
      ReadStatus::Ok) {
    return repair_utf8(comm);
  }
  const std::string_view arguments = buffer_.text();
  const size_t first_end = arguments.find('\0');
  // A first argument that goes on past what is read cannot be split into a directory and a file
  // name: the kernel's name stands.
  if (first_end == std::string_view::npos && arguments.size() == COMMAND_LINE_READ_BYTES) {
    return repair_utf8(comm);
  }
  return process_name(comm, arguments.substr(0, first_end));
}

// One form of CPU times for every process, so that no reading measures against a baseline of
// the other: with CPU clocks, one sum, which the stat reading gives where a clock cannot be read.
// Stat counts the clock's time in whole ticks, so it never passes the last clock reading, which
// stands instead of a smaller sum. The start time is always the stat reading's.
ProcessTimes LinuxPlatform::times_of(const LinuxProcess& process, std::optional<uint64_t> clock,
                                     const StatFields& fields) const {
  const uint64_t system = machine_.ticks_to_100ns(fields.system_ticks);
  const uint64_t user = machine_.ticks_to_100ns(fields.user_ticks);
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
  // Without CPU clocks a watched process would still have to be read: it is not watched.
  auto process = std::make_unique<LinuxProcess>(proc_, limiter_, exit_watch_, listed.pid,
                                                listed.name, cpu_clocks_);
  const std::optional<uint64_t> cpu = process->cpu_100ns();
  // The stat read now decides which process the pidfd, the clock and the kept files belong to:
  // if the pid was reused since the list was taken, the listed process has ended and cannot be
  // opened.
  const ReadStatus status = process->read(STAT, buffer_);
  std::optional<StatFields> fields =
      status == ReadStatus::Ok ? parse_stat(buffer_.text()) : std::nullopt;
  // A listed process that ended since needs no watch: the next list does not hold it.
  const bool ended =
      status == ReadStatus::Gone || (fields && fields->start_ticks != identity->second.start_ticks);
  if (ended || (fields && process->watched())) choice_.unopened_settled();
  if (!fields || ended) return nullptr;
  process->set_identity(identity->second, machine_.start_seconds(identity->second.start_ticks));
  process->set_parent(fields->parent_pid, parent_watched(fields->parent_pid));
  process->cache_times(times_of(*process, cpu, *fields), generation_);
  return process;
}

std::optional<ProcessTimes> LinuxPlatform::process_times(ProcessHandle& handle) {
  LinuxProcess& process = as_linux(handle);
  if (const std::optional<ProcessTimes>* cached = process.cached_times(generation_)) {
    return *cached;
  }
  const std::optional<uint64_t> cpu = process.cpu_100ns();
  std::optional<StatFields> read = read_own_stat(process);
  if (!read) return std::nullopt;
  return times_of(process, cpu, *read);
}

std::optional<StatFields> LinuxPlatform::read_own_stat(LinuxProcess& process) {
  if (process.read(STAT, buffer_) != ReadStatus::Ok) return std::nullopt;
  std::optional<StatFields> read = parse_stat(buffer_.text());
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
  return ProcessStatus{state_from_letter(read->state), process.name()};
}

std::optional<IoTotals> LinuxPlatform::io_totals(ProcessHandle& handle) {
  if (as_linux(handle).read(IO, buffer_) != ReadStatus::Ok) return std::nullopt;
  std::optional<IoFields> io = parse_io(buffer_.text());
  if (!io) return std::nullopt;
  return IoTotals{io->rchar, io->wchar};
}

// A kernel thread's statm and cmdline are empty by definition: they are not read, which spares
// two of the four reads for a large share of a typical machine's processes.
std::optional<MemoryFigures> LinuxPlatform::memory(ProcessHandle& handle) {
  LinuxProcess& process = as_linux(handle);
  if (process.kernel_thread() && !process.ended()) return MemoryFigures{};
  if (process.read(STATM, buffer_) != ReadStatus::Ok) return std::nullopt;
  std::optional<StatmFields> statm = parse_statm(buffer_.text());
  if (!statm) return std::nullopt;
  return MemoryFigures{saturating_multiply(statm->resident_pages, page_size_),
                       saturating_multiply(statm->data_pages, page_size_)};
}

// The file is read by path, which names whichever process has the pid at the open: it was the
// handle's process if that is still alive after the read.
std::optional<uint64_t> LinuxPlatform::memory_share(ProcessHandle& handle) {
  LinuxProcess& process = as_linux(handle);
  if (process.kernel_thread() && !process.ended()) return 0;
  if (read_smaps_rollup(proc_, process.pid(), buffer_) != ReadStatus::Ok) return std::nullopt;
  const std::optional<SmapsRollup> rollup = parse_smaps_rollup(buffer_.text());
  if (!rollup || !read_own_stat(process)) return std::nullopt;
  return rollup->proportional_bytes;
}

// An unreadable file keeps the previous arguments; an empty one (a kernel thread, a zombie
// whose memory is gone) empties them.
CommandLineRead LinuxPlatform::command_line(ProcessHandle& handle) {
  LinuxProcess& process = as_linux(handle);
  if (process.kernel_thread() && !process.ended()) return CommandLineRead{true, {}};
  if (process.read(CMDLINE, buffer_, COMMAND_LINE_READ_BYTES) != ReadStatus::Ok) {
    return CommandLineRead{};
  }
  return CommandLineRead{true, split_command_line(buffer_.text())};
}

}  // namespace
}  // namespace treemon::linux_proc

namespace treemon {

std::unique_ptr<ProcessPlatform> make_linux_platform(uint64_t descriptor_budget) {
  return std::make_unique<linux_proc::LinuxPlatform>(descriptor_budget, nullptr);
}

std::unique_ptr<ProcessPlatform> make_observed_linux_platform(
    std::unique_ptr<linux_proc::ListingObserver> observer) {
  return std::make_unique<linux_proc::LinuxPlatform>(linux_proc::handle_descriptor_budget(),
                                                     std::move(observer));
}

std::unique_ptr<ProcessPlatform> make_system_platform() {
  return make_linux_platform(linux_proc::handle_descriptor_budget());
}

}  // namespace treemon
