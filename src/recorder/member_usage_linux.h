// The live members' share of the tree's count on Linux: for each member, its own CPU time and
// what the children it has waited for used (utime + stime + cutime + cstime), and its I/O, whose
// counters already hold its waited-for children's (rchar, wchar of /proc/PID/io).
//
// Rules a change must keep:
//  1. Members are read in the order given, which must put parents first (parents_first.h).
//  2. A member that is gone counts nothing; it is counted by whoever reaped it.
//  3. A member's own CPU time is its process CPU clock, to the nanosecond, where the kernel gives
//     it; its children's times (and its own, where the clock cannot be read) are clock ticks,
//     truncated, and the reading says by how much it may fall short for that.
// Main thread only.
#pragma once

#include <cstdint>
#include <span>

#include "procinfo/linux/proc_files_linux.h"
#include "recorder/tree_totals.h"

namespace treemon::recorder {

class MemberUsageReader {
 public:
  MemberUsageReader();

  KernelReading read(std::span<const uint32_t> parents_first);

 private:
  bool read_member(uint32_t pid, KernelReading& reading);

  linux_proc::ProcDirectory proc_;
  linux_proc::FileBuffer buffer_;
  uint64_t ticks_per_second_ = 100;
};

}  // namespace treemon::recorder
