// The tree's cumulative figures at each sample, and the rates between two of them: which count a
// tree figure comes from, as arithmetic with no I/O, so that each rule below is a row of a table.
//
// Two counts of the same tree are at hand at every sample. The kernel's: the live members' times
// and I/O with what each has waited for, plus what the recorder reaped itself, or a job object's
// totals; it holds every process that lived between two samples. The samples': the rows' own
// figures, which miss every process that lived less than an interval and what each used after its
// last sample. The kernel's can fall short too: the children of a member that ignores SIGCHLD
// are reaped by no one, and what they used reaches no count.
//
// Rules:
//  1. Without the kernel's count, each figure is the samples' (source Samples).
//  2. With it, each figure is the larger of the two. The source is Kernel, unless one of the
//     kernel's figures is below the samples' by more than the reading's own truncation (CPU
//     times counted in clock ticks), then LowerBound: what the samples saw, at least.
//  3. The series never decreases: each figure is at least the previous sample's. A member missed
//     by one reading (its parent reaped it between the two reads) is held at the previous level
//     rather than counted twice when it comes back in its parent's count.
//  4. A rate is the difference between two cumulative figures over the wall time between their
//     readings; there is none over a time that is not positive.
//  5. Sums saturate at 2^64-1.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace treemon::recorder {

// Cumulative use since the tree began: CPU time in 100-nanosecond units, I/O in bytes.
struct TreeUsage {
  uint64_t cpu_100ns = 0;
  uint64_t read_bytes = 0;
  uint64_t written_bytes = 0;

  friend bool operator==(const TreeUsage&, const TreeUsage&) = default;
};

TreeUsage operator+(const TreeUsage& a, const TreeUsage& b);

// What the kernel counted for the tree at one reading.
struct KernelReading {
  TreeUsage usage;
  // How far below the truth usage.cpu_100ns may be because counts were truncated to clock ticks.
  uint64_t cpu_truncation_100ns = 0;
  // How many processes the tree has had, the ended ones included, where the OS keeps that count.
  std::optional<uint64_t> total_processes;
};

enum class TotalsSource : uint8_t {
  Kernel,      // exact: as the kernel counts it
  Samples,     // no count of the kernel's: what the samples saw, at least
  LowerBound,  // the kernel's count fell below the samples': what the samples saw, at least
};

// The source's name in the record, the CSV and the summary's JSON.
std::string_view totals_source_name(TotalsSource source);

struct TreeTotals {
  TreeUsage usage;
  TotalsSource source = TotalsSource::Samples;

  friend bool operator==(const TreeTotals&, const TreeTotals&) = default;
};

// The tree's figures at a sample from the two counts, given the previous sample's figures.
TreeTotals combine_totals(const std::optional<TreeTotals>& previous,
                          const std::optional<KernelReading>& kernel, const TreeUsage& samples);

struct TreeRates {
  double cpu_percent = 0;  // of one logical processor
  double read_bytes_per_second = 0;
  double written_bytes_per_second = 0;
  TreeUsage used;  // the differences themselves

  friend bool operator==(const TreeRates&, const TreeRates&) = default;
};

std::optional<TreeRates> rates_between(const TreeUsage& earlier, const TreeUsage& later,
                                       std::chrono::nanoseconds elapsed);

}  // namespace treemon::recorder
