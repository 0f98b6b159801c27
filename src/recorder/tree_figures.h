// The figures of the whole watched tree at one sample: the one place that decides what the tree
// used between two samples. The view's totals, the chart's total band, the CSV's tree columns,
// the record's tree lines and the summary's average, peak and totals all read them.
//
// The tree's CPU time and I/O are cumulative figures (tree_totals.h): the kernel's count of the
// tree where the OS keeps one (tree_accounting.h), which holds every process that lived between
// two samples, else what the samples saw. A rate is the difference between two of them over the
// wall time between the two samples, and is stamped with the later sample's time
// (sampledAtUnixMs): the interval it covers ends there.
//
// Contract:
//  1. The samples' CPU time is the sum over processes of the largest CPU time each showed; their
//     I/O the sum of the rows' bytes since the previous sample (rates.h counts each byte once).
//  2. With a command, the tree began at the command's start with nothing used: the first
//     sample's rates cover the time from the start. Watching a running process, the figures begin
//     at the first sample, which has no rates.
//  3. The processes and resident bytes are the rows' sums; the rows' own figures stay as sampled.
// tree_figures() is pure; a TreeSeries belongs to the main thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "recorder/rates.h"
#include "recorder/tree_totals.h"
#include "sampling/snapshot.h"

namespace treemon::recorder {

struct TreeFigures {
  size_t processes = 0;
  double cpu_percent = 0;  // of one processor
  uint64_t resident_bytes = 0;
  double read_per_second = 0;
  double write_per_second = 0;
  // Bytes read and written since the previous sample.
  double read_bytes = 0;
  double write_bytes = 0;
  // Cumulative since the tree's figures began, and which count they come from.
  TreeTotals totals;
  // How many processes the tree has had, ended ones included, where the OS counts them.
  std::optional<uint64_t> total_processes;
};

// The sums of the rows alone: every figure as the samples saw it.
TreeFigures tree_figures(const Snapshot& snapshot, const RateMap& rates);

// One sample as every output takes it in: the snapshot, each process's rates, the tree's figures.
struct Sample {
  const Snapshot& snapshot;
  const RateMap& rates;
  const TreeFigures& tree;
};

class TreeSeries {
 public:
  // `started_at_unix_ms`: when the command started, or nothing when a running process is watched.
  explicit TreeSeries(std::optional<uint64_t> started_at_unix_ms);

  TreeFigures next(const Snapshot& snapshot, const RateMap& rates,
                   const std::optional<KernelReading>& kernel);

  // Where the figures began: zero with a command, the first sample's when watching a process.
  const std::optional<TreeUsage>& baseline() const { return baseline_; }

 private:
  KeyMap<uint64_t> cpu_time_ms_;  // the largest CPU time each process showed
  double read_bytes_ = 0;
  double written_bytes_ = 0;
  std::optional<TreeTotals> last_;
  struct IntervalStart {
    TreeUsage usage;
    uint64_t at_ms = 0;
  };
  std::optional<IntervalStart> interval_start_;
  std::optional<TreeUsage> baseline_;
};

}  // namespace treemon::recorder
