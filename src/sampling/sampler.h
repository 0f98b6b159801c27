// Module sampling: the sampler (SamplerState, Snapshot, ProcessSample, and the ChildLists its walk
// follows) and the bounded SnapshotHistory. It uses procinfo's table and base; it knows no JSON.
//
// The process-tree sampler: one call of sample() refreshes the process table and turns the
// configured tree, the matched external processes and their descendants into a Snapshot.
//
// Contract:
//  1. A pass refreshes the table at least MIN_REFRESH_INTERVAL after the previous refresh,
//     sleeping (through the platform's clock) for the rest; the wait is not part of
//     collectionDurationMicros.
//  2. The walk follows a child only when it started no earlier than its parent, so a child whose
//     parent pid was reused is left out; each process is expanded once, which ends any cycle.
//  3. Rows are ascending by pid, one per selected process; sequence rises by one per pass,
//     saturating, and is never reset.
//  4. Nothing is reported as an error: a missing root or an unmatched external process only makes
//     the snapshot smaller.
//  5. The work is linear in the number of processes: the child lists are built once per pass,
//     in storage kept from the previous one, and every lookup is by pid.
//  6. The root and each external process, once the table has shown them, are followed by the
//     identity of their table entries: a pid taken over by a newer process is never theirs.
// All clock reads and the pacing sleep go through the platform, so tests drive time by hand.
// Main thread only; no locks.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "procinfo/cpu_meter.h"
#include "procinfo/platform.h"
#include "procinfo/process_table.h"
#include "sampling/child_lists.h"
#include "sampling/snapshot.h"

namespace treemon {

// pid -> the start time the client gave (ms since the epoch), if any.
using ExternalProcessMap = std::unordered_map<uint32_t, std::optional<uint64_t>>;

// Passes paced this far apart give every process an interval reading of its CPU.
inline constexpr std::chrono::milliseconds MIN_REFRESH_INTERVAL = CPU_INTERVAL_MIN;
inline constexpr size_t NAME_MAX_BYTES = 1024;
inline constexpr size_t COMMAND_MAX_BYTES = 16384;
inline constexpr size_t STATUS_MAX_BYTES = 256;

// Keeps, for every pid of the last pass, the texts of its row, so that a text unchanged since
// the previous pass is shared with it rather than copied. Snapshot copies in the history then
// hold one buffer per distinct text, not one per snapshot. Pruned to the pids of each pass.
class RowTextCache {
 public:
  struct Texts {
    SharedText name;
    SharedText command;
    SharedText status;
  };

  void begin_pass() { ++pass_; }
  // The texts for pid's row; the buffers of the previous pass where the text is unchanged.
  const Texts& texts_for(uint32_t pid, std::string_view name, std::string_view command,
                         std::string_view status);
  // Ends a pass: pids without a row in it are forgotten.
  void end_pass();

  size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    Texts texts;
    uint64_t pass = 0;  // the last pass that asked for this pid
  };
  std::unordered_map<uint32_t, Entry> entries_;
  uint64_t pass_ = 0;
};

// What the sampler keeps between passes. Owns the ProcessTable; the platform (also the clock)
// is not owned and must outlive the state.
class SamplerState {
 public:
  explicit SamplerState(ProcessPlatform& platform);

  ProcessTable& table() { return table_; }
  const ProcessTable& table() const { return table_; }
  Clock& clock() { return platform_; }
  RowTextCache& text_cache() { return text_cache_; }
  ChildLists& child_lists() { return child_lists_; }

  // Monotonic time of the last refresh of the table, by a pass or by a configuration.
  std::optional<MonoTime> last_refresh;
  // The sequence of the last snapshot produced; 0 before the first.
  uint64_t last_sequence = 0;

 private:
  ProcessPlatform& platform_;
  ProcessTable table_;
  RowTextCache text_cache_;
  ChildLists child_lists_;  // rebuilt by every pass; kept for its storage
};

// The processes a configuration watches: the root and the external processes. Each is named by
// its pid, an external one also by the start time the client gave, which decides its first match
// (to the second). Once the table has shown it, it is that entry's process, told by the table's
// identity: a process that takes the pid after it ended, even within the same second, is a
// stranger, and the tree or the external process is gone.
struct WatchedProcesses {
  uint32_t root_pid = 0;
  std::optional<uint64_t> root_identity;  // absent until the table has listed root_pid
  ExternalProcessMap externals;
  // pid -> the identity of the entry that matched, for every external process matched so far.
  std::unordered_map<uint32_t, uint64_t> external_identities;
};

// The refresh the main loop does at a configuration: every group of figures, ended processes
// removed, then last_refresh is now. It does not wait for the refresh interval.
void refresh_for_configure(SamplerState& state);

// What a configuration watches, its root taken as the process the table lists now under
// root_pid (if any).
WatchedProcesses watch(const SamplerState& state, uint32_t root_pid, ExternalProcessMap externals);

// Gives `watched` a new list of external processes. An external process named again as before
// (the same pid and the same start time, or none) stays the process it matched.
void replace_externals(WatchedProcesses& watched, ExternalProcessMap externals);

// One sampling pass. Blocks for up to MIN_REFRESH_INTERVAL of pacing plus the refresh. The
// processes it finds for the first time are recorded in `watched`.
Snapshot sample(SamplerState& state, WatchedProcesses& watched,
                std::optional<std::string> request_id);

}  // namespace treemon
