#include "sampling/history.h"

#include <algorithm>
#include <limits>

#include "base/saturating.h"

namespace treemon {
namespace {

uint64_t floored_sub(uint64_t a, uint64_t b) { return a > b ? a - b : 0; }

uint64_t row_cost(const ProcessSample& row) {
  uint64_t cost = ROW_BASE_COST;
  cost = saturating_add(cost, row.name.size());
  cost = saturating_add(cost, row.command.size());
  return saturating_add(cost, row.status.size());
}

}  // namespace

uint64_t estimated_size(const Snapshot& snapshot) {
  uint64_t size = SNAPSHOT_BASE_COST;
  for (const auto& row : snapshot.processes) size = saturating_add(size, row_cost(row));
  const uint64_t externals = snapshot.externalProcesses.size();
  const uint64_t external_cost = saturating_multiply(externals, EXTERNAL_ENTRY_COST);
  return saturating_add(size, external_cost);
}

uint64_t entry_count(const Snapshot& snapshot) {
  return saturating_add(snapshot.processes.size(), snapshot.externalProcesses.size());
}

void SnapshotHistory::append(const Snapshot& snapshot) {
  Kept copy{snapshot, entry_count(snapshot), estimated_size(snapshot)};
  copy.snapshot.requestId.reset();
  total_entries_ = saturating_add(total_entries_, copy.entries);
  total_bytes_ = saturating_add(total_bytes_, copy.bytes);

  // Stamps never decrease from front to back, so the snapshots stamped later than the new one
  // are exactly a run at the back: removing them before the new one goes in is the one pass over
  // the kept snapshots, and it stops at the first that is not later.
  const uint64_t stamp = copy.snapshot.sampledAtUnixMs;
  while (!kept_.empty() && kept_.back().snapshot.sampledAtUnixMs > stamp) remove_back();
  kept_.push_back(std::move(copy));

  const uint64_t cutoff = floored_sub(stamp, HISTORY_MAX_AGE_MS);
  while (!kept_.empty() && over_bounds(cutoff)) remove_front();
}

bool SnapshotHistory::over_bounds(uint64_t cutoff_ms) const {
  return kept_.size() > HISTORY_MAX_SNAPSHOTS ||
         kept_.front().snapshot.sampledAtUnixMs < cutoff_ms ||
         total_entries_ > HISTORY_MAX_ENTRIES || total_bytes_ > HISTORY_MAX_BYTES;
}

void SnapshotHistory::remove_front() {
  subtract(kept_.front());
  kept_.pop_front();
}

void SnapshotHistory::remove_back() {
  subtract(kept_.back());
  kept_.pop_back();
}

void SnapshotHistory::subtract(const Kept& kept) {
  total_entries_ = floored_sub(total_entries_, kept.entries);
  total_bytes_ = floored_sub(total_bytes_, kept.bytes);
}

std::vector<Snapshot> SnapshotHistory::read_window(uint64_t window_ms, uint64_t now_unix_ms) const {
  const uint64_t window = std::min(window_ms, HISTORY_MAX_WINDOW_MS);
  const uint64_t cutoff = floored_sub(now_unix_ms, window);
  // Stamps never decrease from front to back, so the selection is one contiguous run.
  const auto first = std::partition_point(kept_.begin(), kept_.end(), [cutoff](const Kept& kept) {
    return kept.snapshot.sampledAtUnixMs < cutoff;
  });
  const auto last = std::partition_point(first, kept_.end(), [now_unix_ms](const Kept& kept) {
    return kept.snapshot.sampledAtUnixMs <= now_unix_ms;
  });
  std::vector<Snapshot> selected;
  selected.reserve(static_cast<size_t>(last - first));
  for (auto it = first; it != last; ++it) selected.push_back(it->snapshot);
  return selected;
}

std::vector<std::span<const Snapshot>> split_into_chunks(const std::vector<Snapshot>& selected) {
  std::vector<std::span<const Snapshot>> chunks;
  const std::span<const Snapshot> all(selected);
  for (size_t start = 0; start < all.size(); start += HISTORY_CHUNK_SIZE) {
    chunks.push_back(all.subspan(start, std::min(HISTORY_CHUNK_SIZE, all.size() - start)));
  }
  if (chunks.empty()) chunks.emplace_back();
  return chunks;
}

}  // namespace treemon
