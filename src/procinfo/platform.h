// The process services of one operating system, as the process table needs them.
//
// One implementation file per platform (platform_linux.cpp, platform_windows.cpp), chosen by the
// build, plus ScriptedPlatform for tests (tests/support). The platform answers queries; all rules
// about what a refresh keeps, what it discards and how CPU use is computed live in ProcessTable
// and its CpuMeter, once.
//
// Units: CPU times are 100-nanosecond units; memory and I/O are bytes; start times are whole
// seconds since the Unix epoch. Every text is valid UTF-8 (the platform repairs what the OS gave
// it, with U+FFFD), so nothing invalid can reach the wire.
//
// Every query may fail; a failure is an empty optional, never an exception. Only the main thread
// uses a platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "procinfo/process_state.h"

namespace treemon {

// How much of a process's texts a platform reads and keeps. A row shows at most 1024 bytes of a
// name and 16384 of a command; these bounds leave room for every character those can hold, so
// the rows are the same as if everything had been read, while a process that shows a command
// line of gigabytes costs no more than a long ordinary one.
inline constexpr size_t NAME_KEPT_BYTES = 4096;
inline constexpr size_t COMMAND_LINE_READ_BYTES = 64 * 1024;

// What a listing tells of the process, and of the one the table opened under its pid (found
// through OpenedProcesses).
enum class Listing {
  // Read by the list: its state and name are given.
  Read,
  // The process the table opened, listed again under the name it had at the previous list: its
  // state is given and the entry keeps its name, so a steady refresh neither copies nor compares
  // a name per process.
  NameUnchanged,
  // The process the table opened, whose state and name the list did not read (Linux reads them
  // only for the processes a caller looks at, and tells a steady process's parent without
  // reading it): process_status() gives them in the table's second phase.
  StatusDeferred,
  // A new process, read by the list: the one the table opened under this pid has ended, even
  // when both started within the same second.
  ReplacesOpened,
};

// One process as the process list reports it.
struct ListedProcess {
  uint32_t pid = 0;
  uint32_t parent_pid = 0;  // 0 when the list records no parent
  std::string name;         // given only where the listing is Read or ReplacesOpened
  ProcessState state;       // Run where the platform has no states
  // When the list itself knows when the process started (Linux), a pid whose start time changed
  // between two refreshes is a new process that reused the pid.
  std::optional<uint64_t> start_time_s;
  Listing listing = Listing::Read;
};

// Whether the listing gives the process's name.
inline bool gives_name(const ListedProcess& listed) {
  return listed.listing == Listing::Read || listed.listing == Listing::ReplacesOpened;
}

// An open process: a handle, file descriptors, or nothing at all, as the platform needs.
// Owned by the table entry for the entry's lifetime; destroying it closes what it holds.
class ProcessHandle {
 public:
  virtual ~ProcessHandle() = default;
};

// A platform that measures only the sum of a process's kernel and user time gives it as user time.
struct ProcessTimes {
  std::optional<uint64_t> start_time_s;  // creation time; absent when unreadable
  uint64_t kernel_100ns = 0;
  uint64_t user_100ns = 0;
};

// The state and name that a list which deferred them would have given.
struct ProcessStatus {
  ProcessState state;
  std::string name;
};

struct MachineTimes {
  uint64_t kernel_100ns = 0;  // idle time included
  uint64_t user_100ns = 0;
};

// The machine's times around one reading of a process's times: `before` read before it, `after`
// after it, so that the process's interval between two readings lies within the machine's from
// the first one's `before` to the second one's `after`. One reading of the machine's times, taken
// once per refresh, stands for both.
struct MachineSpan {
  // NOLINTNEXTLINE(google-explicit-constructor): one reading is a span of no length
  MachineSpan(MachineTimes once) : before(once), after(once) {}
  MachineSpan(MachineTimes before_first, MachineTimes after_last)
      : before(before_first), after(after_last) {}

  MachineTimes before;
  MachineTimes after;
};

struct IoTotals {
  uint64_t read_bytes = 0;
  uint64_t written_bytes = 0;
};

// How ProcessPlatform::memory_share() counts a process's memory, so that a sum over processes
// holds each page once where a sum of working sets counts shared pages once per process.
enum class MemoryShareKind {
  None,          // the platform has no such figure
  Proportional,  // each shared page divided among the processes that map it (Linux: PSS)
  PrivateOnly,   // the pages no other process maps; shared pages are left out (Windows)
};

struct MemoryFigures {
  uint64_t resident_bytes = 0;  // working set
  uint64_t private_bytes = 0;   // private committed memory
};

// What reading a command line gave: keep the previous arguments, or replace them (possibly with
// an empty list, when the text itself could not be read).
struct CommandLineRead {
  bool replace = false;
  std::vector<std::string> arguments;
};

// The handles the table holds, by pid, so that a platform that reads its list process by process
// can read each one through the handle already open for it. The table owns every handle.
class OpenedProcesses {
 public:
  virtual ProcessHandle* find_opened(uint32_t pid) const = 0;

 protected:
  ~OpenedProcesses() = default;
};

class ProcessPlatform : public Clock {
 public:
  // Logical processors, consistent with machine_times().
  virtual uint32_t processor_count() = 0;

  // Every process, in list order, replacing what `out` held (whose storage may be reused). False
  // when the list cannot be taken at all.
  virtual bool list_processes(std::vector<ListedProcess>& out, const OpenedProcesses& opened) = 0;

  // Null when the process cannot be opened. Never called for pid 0; called only for a process of
  // the most recent list, whose reading of the process the handle may take its identity from.
  virtual std::unique_ptr<ProcessHandle> open_process(const ListedProcess& listed) = 0;
  // Whether the last open_process() that gave null was refused (access denied): the same process
  // refuses for as long as it lives. False where a later open may succeed (no handle to spare,
  // the process not yet or no longer there) and where the platform cannot tell.
  virtual bool last_open_refused() const { return false; }

  virtual std::optional<ProcessTimes> process_times(ProcessHandle& process) = 0;
  virtual std::optional<MachineTimes> machine_times() = 0;
  // The machine's times around the reading that the latest process_times() of `process` gave,
  // where the platform times each reading of a process (a CPU clock counts to the nanosecond,
  // which the machine's tick counts do not); nothing where machine_times() serves every process.
  // A platform answers for every process it reads or for none.
  virtual std::optional<MachineSpan> machine_span_around(ProcessHandle& /*process*/) {
    return std::nullopt;
  }
  // How many threads the process has now, where its CPU clock can run ahead of the wall clock
  // and a reading is bounded by its threads (rule 6 of cpu_meter.h); nothing elsewhere.
  virtual std::optional<uint32_t> thread_count(ProcessHandle& /*process*/) { return std::nullopt; }
  virtual std::optional<IoTotals> io_totals(ProcessHandle& process) = 0;
  virtual std::optional<MemoryFigures> memory(ProcessHandle& process) = 0;
  virtual CommandLineRead command_line(ProcessHandle& process) = 0;
  // The process's memory as memory_share_kind() says. It costs far more than memory() (Linux
  // walks the process's page tables), so it is read only when asked for. Nothing where the
  // platform has no such figure or the process cannot be read.
  virtual MemoryShareKind memory_share_kind() const { return MemoryShareKind::None; }
  virtual std::optional<uint64_t> memory_share(ProcessHandle& /*process*/) { return std::nullopt; }
  // Only for a process whose listing was StatusDeferred; a platform whose list gives every
  // state and name never defers them.
  virtual std::optional<ProcessStatus> process_status(ProcessHandle& /*process*/) {
    return std::nullopt;
  }

  // From the next list on, lists only the processes of the trees under `roots`: each root and
  // its descendants as the kernel links them at the list, for a caller that looks at nothing
  // else (a process that leaves a tree leaves the list); nothing lists every process again. A
  // platform that cannot tell a process's children lists every process all the same.
  virtual void list_only_trees(std::optional<std::vector<uint32_t>> roots) {
    static_cast<void>(roots);
  }

  // Why the processes this platform lists may not be the ones around the monitor (on Linux, a
  // /proc of another pid namespace), checked once at start; nothing when all is as it should be.
  virtual std::optional<std::string> start_up_warning() { return std::nullopt; }
};

// The real platform of this build.
std::unique_ptr<ProcessPlatform> make_system_platform();

}  // namespace treemon
