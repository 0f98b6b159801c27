// The kernel's counts of process creation at one moment, as the planner of new processes needs
// them (new_processes_linux.h): the fork counter of /proc/stat, the last pid and the task count
// of /proc/loadavg, and /proc/sys/kernel/pid_max. The parsers are pure functions of the texts;
// ForkReader keeps the loadavg and pid_max files open for the monitor's life. /proc/stat itself
// is read by MachineStat, whose one read per list gives the counter and the machine's times
// together (machine_stat_linux.h, rule 2).
//
// Rules a change must keep:
//  1. A reading takes the counter first and the last pid after it (new_processes_linux.h,
//     rule 1): ForkReader::read is given the counter its caller has just read.
//  2. A reading is whole or absent: a file that cannot be read or parsed gives no reading.
// Main thread only, like the platform that owns it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "procinfo/linux/proc_files_linux.h"

namespace treemon::linux_proc {

// The kernel hands out no pid below this one once it has wrapped (kernel/pid.c).
inline constexpr uint32_t RESERVED_PIDS = 300;

// What the kernel says about process creation at one moment.
struct ForkReading {
  uint64_t forks = 0;     // /proc/stat "processes"
  uint32_t last_pid = 0;  // /proc/loadavg, fifth field
  uint32_t tasks = 0;     // /proc/loadavg, fourth field after '/': every thread of the machine
  uint32_t pid_max = 0;   // /proc/sys/kernel/pid_max
};

// Parsers of the three files; an empty optional when the text is not what the kernel writes.
std::optional<uint64_t> parse_fork_count(std::string_view proc_stat);
struct LoadavgFields {
  uint32_t last_pid = 0;
  uint32_t tasks = 0;
};
std::optional<LoadavgFields> parse_loadavg(std::string_view text);
std::optional<uint32_t> parse_pid_max(std::string_view text);

class ForkReader {
 public:
  ForkReader();

  // The reading whose fork counter the caller has just read, as `forks`; the last pid and
  // pid_max are read now, into `buffer`. Empty when a read fails (rule 2).
  std::optional<ForkReading> read(std::optional<uint64_t> forks, FileBuffer& buffer) const;

 private:
  UniqueFd loadavg_;
  UniqueFd pid_max_;
};

}  // namespace treemon::linux_proc
