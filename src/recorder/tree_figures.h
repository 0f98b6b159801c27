// The figures of the whole watched tree at one sample: the one place that decides what the tree
// used between two samples. The view's totals, the chart's total band and the summary's peaks and
// sampled totals all read them, so a better source of the tree's figures (the kernel's cumulative
// counts of the tree, reaped processes included) replaces this file alone.
//
// Today they are the sums of the processes the snapshot lists, with each process's rates.
// Pure; usable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "recorder/rates.h"
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
};

TreeFigures tree_figures(const Snapshot& snapshot, const RateMap& rates);

// One sample as every output takes it in: the snapshot, each process's rates, the tree's figures.
struct Sample {
  const Snapshot& snapshot;
  const RateMap& rates;
  const TreeFigures& tree;
};

}  // namespace treemon::recorder
