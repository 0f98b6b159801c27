// Parsing of the text files of Linux's /proc: one process's stat, statm, io and cmdline, and the
// machine's /proc/stat. Pure functions over bytes already read, so that every format rule is
// tested without a real process. Used by platform_linux.cpp only.
//
// A parse that cannot find what it needs gives an empty optional; nothing here throws.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "procinfo/process_state.h"

namespace treemon::linux_proc {

// The fields of /proc/PID/stat that the table needs. Times are clock ticks.
struct StatFields {
  // Raw bytes, owned, so that the fields outlive the buffer they were read into: up to 15 for
  // a process, which the string holds in place, more for some kernel threads.
  std::string comm;
  char state = '?';
  uint32_t parent_pid = 0;
  uint64_t flags = 0;  // the kernel's PF_* bits
  uint64_t user_ticks = 0;
  uint64_t system_ticks = 0;
  // What the children this process has waited for used, their own waited-for children included.
  uint64_t children_user_ticks = 0;
  uint64_t children_system_ticks = 0;
  uint64_t start_ticks = 0;  // since boot
};

// A kernel thread has no memory of its own and no command line; its flags never change.
inline constexpr uint64_t PF_KTHREAD = 0x00200000;
inline bool is_kernel_thread(const StatFields& fields) { return (fields.flags & PF_KTHREAD) != 0; }

// The command name ends at the LAST ')': a name may itself hold spaces and parentheses.
std::optional<StatFields> parse_stat(std::string_view text);

struct StatmFields {
  uint64_t resident_pages = 0;
  uint64_t data_pages = 0;  // private writable memory: what commit accounting charges
};
std::optional<StatmFields> parse_statm(std::string_view text);

struct IoFields {
  uint64_t rchar = 0;
  uint64_t wchar = 0;
};
std::optional<IoFields> parse_io(std::string_view text);

// The `cpu` line of /proc/stat in ticks: user + nice as user; system, idle, iowait, irq, softirq
// and steal as kernel (idle included), and the number of cpuN lines.
struct MachineFields {
  uint64_t user_ticks = 0;
  uint64_t kernel_ticks = 0;
  uint32_t cpu_lines = 0;
};
std::optional<MachineFields> parse_machine_stat(std::string_view text);

// The `btime` line of /proc/stat: boot time in seconds since the epoch.
std::optional<uint64_t> parse_boot_time(std::string_view text);

// /proc/PID/cmdline: arguments separated (and normally ended) by NUL bytes, each repaired to
// valid UTF-8. A last argument without its NUL (a rewritten command line) still counts.
std::vector<std::string> split_command_line(std::string_view bytes);

// The process name: comm, or where the kernel cut it at 15 bytes, the basename of argv[0] when
// that begins with it, cut to its first NAME_KEPT_BYTES bytes. Repaired to valid UTF-8.
std::string process_name(std::string_view comm, std::string_view first_argument);
inline constexpr size_t COMM_MAX = 15;

// The state letter of /proc/PID/stat; a letter with no name is Unknown(its byte value).
ProcessState state_from_letter(char letter);

// Clock ticks to 100-nanosecond units, saturating.
uint64_t ticks_to_100ns(uint64_t ticks, uint64_t ticks_per_second);

}  // namespace treemon::linux_proc
