// SnapshotHistory: the bounded in-memory store of the snapshots the monitor has taken, and the
// window reads and chunking that answer a history request.
//
// Invariants after every append:
//  1. at most HISTORY_MAX_SNAPSHOTS snapshots are kept;
//  2. the oldest kept snapshot is stamped no earlier than the last appended one minus
//     HISTORY_MAX_AGE_MS (floored at 0);
//  3. total_entries() <= HISTORY_MAX_ENTRIES and total_bytes() <= HISTORY_MAX_BYTES;
//  4. no kept snapshot is stamped later than the last appended one, and stamps never decrease
//     from the oldest to the newest.
// Kept snapshots are the history's own copies without a request id; their texts share buffers
// with the snapshots they were copied from. The byte bound works on estimated_size, not on
// measured allocation. Neither operation can fail. Main thread only; no locks.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "sampling/snapshot.h"

namespace treemon {

inline constexpr uint64_t HISTORY_MAX_SNAPSHOTS = 3600;
inline constexpr uint64_t HISTORY_MAX_AGE_MS = 3600000;
inline constexpr uint64_t HISTORY_MAX_ENTRIES = 20000;
inline constexpr uint64_t HISTORY_MAX_BYTES = 67108864;
inline constexpr uint64_t SNAPSHOT_BASE_COST = 144;
inline constexpr uint64_t ROW_BASE_COST = 144;
inline constexpr uint64_t EXTERNAL_ENTRY_COST = 24;
inline constexpr uint64_t HISTORY_MAX_WINDOW_MS = 3600000;
inline constexpr size_t HISTORY_CHUNK_SIZE = 32;

// The estimate the byte bound counts: a fixed cost per snapshot, per row (plus the row's name,
// command and status bytes) and per external entry. The request id does not count. Saturating.
uint64_t estimated_size(const Snapshot& snapshot);

// Rows plus external entries: what the entry bound counts.
uint64_t entry_count(const Snapshot& snapshot);

class SnapshotHistory {
 public:
  // Keeps a copy of the snapshot (without its request id) and restores the invariants: first
  // every kept snapshot stamped later than the new one goes, then the oldest go while any bound
  // is exceeded. A snapshot that alone exceeds the entry or byte bound empties the history.
  // Costs O(removed + 1).
  void append(const Snapshot& snapshot);

  // Copies of the kept snapshots stamped from now - min(window_ms, HISTORY_MAX_WINDOW_MS)
  // (floored at 0) to now, both ends included, oldest first. Snapshots stamped after now (the
  // wall clock was set back) are not selected.
  std::vector<Snapshot> read_window(uint64_t window_ms, uint64_t now_unix_ms) const;

  size_t size() const { return kept_.size(); }
  // The kept snapshot at `index`, oldest first; index < size().
  const Snapshot& at(size_t index) const { return kept_[index].snapshot; }
  uint64_t total_entries() const { return total_entries_; }
  uint64_t total_bytes() const { return total_bytes_; }

 private:
  // The estimate and entry count are taken once at append and reused when the snapshot leaves.
  struct Kept {
    Snapshot snapshot;
    uint64_t entries = 0;
    uint64_t bytes = 0;
  };

  bool over_bounds(uint64_t cutoff_ms) const;
  void remove_front();
  void remove_back();
  void subtract(const Kept& kept);

  std::deque<Kept> kept_;
  uint64_t total_entries_ = 0;
  uint64_t total_bytes_ = 0;
};

// Splits the selected snapshots, in order, into chunks of HISTORY_CHUNK_SIZE; the last holds the
// rest. Exactly one empty chunk when nothing is selected, so a request always gets an answer.
// The spans point into `selected`, which must outlive them.
std::vector<std::span<const Snapshot>> split_into_chunks(const std::vector<Snapshot>& selected);

}  // namespace treemon
