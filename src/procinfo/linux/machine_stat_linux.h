// MachineStat: the machine-wide figures of /proc/stat, from a descriptor kept open for the
// monitor's life: the boot time, the processor count, the machine's CPU times and the fork
// counter.
//
// Rules a change must keep:
//  1. The boot time is read once, when the reader is made: the kernel recomputes btime when the
//     wall clock is set, and start times that moved between refreshes would look like reused pids.
//  2. A list reads /proc/stat once, for its fork counter and its machine times together; the
//     machine times of that list are answered from that read, so both figures describe one
//     moment. Outside a list, each question reads the file again.
// Main thread only; no locks.
#pragma once

#include <cstdint>
#include <optional>

#include "procinfo/linux/proc_files_linux.h"
#include "procinfo/platform.h"

namespace treemon::linux_proc {

class MachineStat {
 public:
  MachineStat();

  // A process's start in seconds since the epoch, from its start in ticks since boot.
  std::optional<uint64_t> start_seconds(uint64_t start_ticks) const;
  uint64_t ticks_to_100ns(uint64_t ticks) const;

  // The read of list `generation`: keeps its machine times for machine_times(generation) and
  // gives its fork counter, or nothing when the file cannot be read.
  std::optional<uint64_t> read_for_list(uint64_t generation);
  // The machine times of list `generation` when it read them, else as the file says now.
  std::optional<MachineTimes> machine_times(uint64_t generation);
  uint32_t processor_count();

 private:
  std::optional<MachineTimes> times_of(std::string_view text) const;

  UniqueFd file_;
  FileBuffer buffer_;
  uint64_t ticks_per_second_ = 100;
  std::optional<uint64_t> boot_time_s_;
  std::optional<MachineTimes> list_times_;
  uint64_t list_generation_ = 0;
};

}  // namespace treemon::linux_proc
