// Rates between consecutive snapshots, from each process's cumulative counters (CPU time, bytes
// read and written): what the view, the CSV, the chart and the summary show of a process.
//
// Contract:
//  1. A process is the same process while its pid and start time stay the same (ProcessKey).
//  2. A process seen for the first time is rated over its life so far (its run time, at least a
//     second), as its counters run from its start.
//  3. Where the platform adds the I/O counts of a child its parent has waited for to the parent's
//     own (Linux), a child's last counts become, from the first snapshot in which it is a zombie
//     or gone, a credit of its nearest ancestor still present; that ancestor's next differences
//     are reduced by the credit until it is used up. Each child is credited once, so no byte is
//     counted twice.
//  4. What is kept between snapshots is bounded by the processes of the last two.
// Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "sampling/snapshot.h"

namespace treemon::recorder {

struct ProcessKey {
  uint32_t pid = 0;
  uint64_t start_time_ms = 0;

  friend bool operator==(const ProcessKey&, const ProcessKey&) = default;
};

inline ProcessKey key_of(const ProcessSample& p) { return {p.pid, p.startTimeMs}; }

struct ProcessKeyHash {
  size_t operator()(const ProcessKey& key) const {
    return std::hash<uint64_t>()(key.start_time_ms * 0x9e3779b97f4a7c15ull ^ key.pid);
  }
};

template <typename T>
using KeyMap = std::unordered_map<ProcessKey, T, ProcessKeyHash>;
using KeySet = std::unordered_set<ProcessKey, ProcessKeyHash>;

// What the recorder derives for one process of one snapshot.
struct Rates {
  double cpu_percent = 0;  // of one processor, since the previous snapshot
  double read_per_second = 0;
  double write_per_second = 0;
  // Bytes read and written since the previous snapshot (since the start when first seen).
  double read_bytes = 0;
  double write_bytes = 0;

  friend bool operator==(const Rates&, const Rates&) = default;
};

using RateMap = KeyMap<Rates>;

// The rates of a process, zero for one the map does not hold.
const Rates& rates_of(const RateMap& rates, const ProcessSample& p);

class RateTracker {
 public:
  explicit RateTracker(bool children_fold_into_parent) : fold_(children_fold_into_parent) {}

  // One entry per process of the snapshot.
  RateMap update(const Snapshot& snapshot);

 private:
  struct Counters {
    uint64_t at_ms = 0;
    uint32_t pid = 0;
    uint32_t ppid = 0;
    uint64_t cpu_ms = 0;
    uint64_t read = 0;
    uint64_t write = 0;
    bool ended = false;  // a zombie: its counts are final and about to move into its parent's
  };
  struct Credit {
    double read = 0;
    double write = 0;
  };

  // Every process of the previous and the present snapshot by pid, the present one winning.
  using KnownProcesses = std::unordered_map<uint32_t, std::pair<ProcessKey, Counters>>;

  void fold_ended_children(const KeyMap<Counters>& present);
  static std::optional<ProcessKey> nearest_present_ancestor(const Counters& child,
                                                            const KnownProcesses& known,
                                                            const KeyMap<Counters>& present);

  bool fold_;
  KeyMap<Counters> previous_;
  KeySet folded_;
  KeyMap<Credit> credit_;
};

}  // namespace treemon::recorder
