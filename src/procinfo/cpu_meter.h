// The CPU share of one process between two readings of its times and the machine's: the
// arithmetic behind a table entry's cpu_percent, with no I/O and no state but the meter it is
// given, so that each rule below is a row of a table test.
//
// Rules:
//  1. A reading is an interval reading when it comes at least CPU_INTERVAL_MIN after the
//     meter's previous reading. A clock that went backwards gives no known elapsed time, so no
//     interval reading. Every reading moves the reading time, so readings that follow each other
//     closer than that never make an interval.
//  2. The first reading that read both the process's and the machine's times sets the baselines
//     and is never an interval reading: the first interval is measured from it, not from zero.
//  3. An interval reading measures four deltas (process kernel and user, machine kernel and user)
//     from the baselines to its own counters, the machine's read after the process's; its process
//     counters and the machine's counters read before the process's are the next baselines. So
//     the machine's interval holds the process's, and a thread never shows more than its
//     processor where both are exact. A failed read counts as zeros for its own percentage and
//     leaves the baselines as they were, so that the next good reading measures one consistent
//     interval; a counter below its baseline (a platform that restarted counting) measures from
//     zero, never wraps.
//  4. Sums saturate at 2^64-1; a machine whose times did not move gives 0.
//  5. The percentage is 32-bit float arithmetic in one order, processors * (process / machine *
//     100), so that every platform and every compiler gives the same float for the same counters.
//  6. A process's CPU clock can be off the wall clock by about a scheduler tick at any reading
//     (a guest's scheduler clock moves in the host's ticks, and time stolen from it is taken off
//     late), so an interval can measure up to CPU_CLOCK_JITTER more than the process's threads
//     could have run. An interval that measures more than min(threads, processors) processors by
//     no more than that reads as exactly that many; one that measures more stands, since threads
//     that ran in it may have ended since.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "base/clock.h"
#include "procinfo/platform.h"

namespace treemon {

inline constexpr std::chrono::milliseconds CPU_INTERVAL_MIN{200};
// Two ticks of the slowest kernel clock (100 Hz): the most that rule 6 takes for clock error.
inline constexpr std::chrono::milliseconds CPU_CLOCK_JITTER{20};

struct CpuCounters {
  uint64_t process_kernel_100ns = 0;
  uint64_t process_user_100ns = 0;
  uint64_t machine_kernel_100ns = 0;
  uint64_t machine_user_100ns = 0;

  bool operator==(const CpuCounters&) const = default;
};

// What one process's readings keep between two of them.
struct CpuMeter {
  std::optional<CpuCounters> baselines;  // absent until a reading has read both times
  MonoTime read_at{};
};

struct CpuReading {
  MonoTime at{};
  std::optional<ProcessTimes> process;  // absent when the read failed
  std::optional<MachineSpan> machine;   // around the process's reading (rule 3)
  uint32_t processor_count = 0;
};

struct CpuStep {
  CpuMeter meter;                // the meter after the reading
  std::optional<float> percent;  // set by an interval reading only
  // What an interval reading measured, for bounded_by_threads().
  uint64_t process_delta_100ns = 0;
  uint64_t machine_delta_100ns = 0;
};

CpuStep step_cpu_meter(const CpuMeter& meter, const CpuReading& reading);

// An interval reading's percentage with rule 6 applied for a process of `threads` threads.
float bounded_by_threads(const CpuStep& step, uint32_t threads, uint32_t processor_count);

// The machine's times that a clock of `clock_ns` nanoseconds (from any origin) gives, every one
// of `processor_count` processors counted busy all along: a denominator as exact as a process's
// CPU clock, where ticks of /proc/stat are not. Saturates at 2^64-1.
MachineTimes machine_times_of_clock(uint64_t clock_ns, uint32_t processor_count);

}  // namespace treemon
