// Which pids of a range hold a process, asked of the kernel pid by pid without listing /proc:
// what a refresh does with the few pids that new processes can have (new_processes_linux.h).
//
// Rules a change must keep:
//  1. pidfd_open answers for a thread-group leader, that is a process (a zombie too), and never
//     for a thread: a thread's id gives ENOENT (Linux 6.15 on) or EINVAL (before), a pid that
//     names nothing ESRCH. /proc/PID/ would answer for a thread's id as well, so it cannot tell.
//  2. A pid the kernel has handed out but whose process is not visible yet answers as nothing;
//     the range of the next refreshes covers it again (new_processes_linux.h, rule 3).
//  3. Any other failure (no descriptor to spare, a system call refused) leaves the question
//     open: the caller lists /proc instead. Nothing is held after a probe.
// Main thread only.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "procinfo/linux/new_processes_linux.h"

namespace treemon::linux_proc {

enum class PidProbe { Process, NoProcess, Unknown };

PidProbe probe_pid(uint32_t pid);

// Appends to `found`, in ascending order, every pid of `range` that holds a process, passing
// over the pids of `known` (ascending), whose processes the caller follows already. False when
// a probe could not tell; `found` then holds what was found before it.
bool find_processes(PidRange range, std::span<const uint32_t> known, std::vector<uint32_t>& found);

// What a refresh that skips or probes lists instead of /proc: the `known` pids (the previous
// list's, ascending) and the processes of the plan's ranges, in ascending order, as /proc would
// list them. False when a probe could not tell: the refresh lists /proc.
bool pids_to_list(const ListingPlan& plan, std::span<const uint32_t> known,
                  std::vector<uint32_t>& found, std::vector<uint32_t>& out);

}  // namespace treemon::linux_proc
