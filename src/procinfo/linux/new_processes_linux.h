// Whether a refresh on Linux must list /proc to find the processes created since the previous
// one: the kernel's own counts of process creation, read before the processes are looked at,
// say whether any process was created and, when only a few were, which pids they can have.
// Pure: the platform takes the readings (fork_reading_linux.h) and does what the plan says;
// NewProcessPlanner only keeps the readings and decides.
//
// What the design relies on (each checked on Linux 6.18):
//  a. /proc/stat's "processes" counts every fork and clone since boot, threads and processes of
//     every pid namespace included; it never goes back.
//  b. The fifth field of /proc/loadavg (the same number as /proc/sys/kernel/ns_last_pid) is the
//     last pid handed out in the reader's pid namespace. The next one is the first free pid
//     after it; past pid_max - 1 the kernel starts again at RESERVED_PIDS, once the cursor has
//     passed that. A process of a child namespace takes a pid in this namespace too.
//  c. A fork takes its pid before its process becomes visible, and the process becomes visible
//     (in /proc, to pidfd_open) and is counted under one lock, at once.
//
// Rules a change must keep:
//  1. A refresh reads the counter first, the last pid second, and looks at the processes last.
//     A process counted by the first reading took its pid before the second (c), so its pid lies
//     at or before the last pid read; one counted later is counted by the next refresh's reading.
//  2. A refresh whose counter equals the previous refresh's skips the listing: every process
//     visible now was counted, so visible, before the previous refresh looked, and that look
//     found it. The last pid may have moved meanwhile (a fork still under way, a failed one).
//  3. Otherwise the pids of the new processes lie in the cyclic range after the last pid of a
//     reading taken at least IN_FLIGHT_BOUND before the previous one, up to the last pid now: a
//     fork counted since may have taken its pid before the previous refresh looked, while it
//     was not visible yet. The range skips the reserved low pids only where it wraps (b).
//  4. In every doubtful case the refresh lists in full (ListReason): no full listing yet, no
//     previous reading, a reading that failed or that the /proc of another pid namespace makes
//     meaningless, a process whose exit is not watched, a counter that went back, a changed
//     pid_max or a last pid beyond it, more forks since the range began than its pids can hold
//     (a fork elsewhere, or a pid placed outside it), enough forks to pass every pid of a whole
//     cycle, a last pid that moved back without enough forks to wrap (someone writes
//     ns_last_pid; from then on every refresh that is not skipped lists), or a range wider than
//     PROBES_PER_LISTED_PROCESS times the processes listed. The counter counts the forks of
//     every pid namespace, so in a child namespace the forks of the others make refreshes list
//     when they outnumber FORK_SLACK.
//  5. Once a refresh has probed, or counted more forks than its range's pids (a fork whose pid
//     was placed by clone3's set_tid or by a write of ns_last_pid that was undone moves no last
//     pid; forks of other pid namespaces look the same), a refresh lists in full at most
//     FULL_LISTING_PERIOD after the last full listing. That covers what no reading shows: a
//     placed pid, within the range's bounds or outside them, and a fork stalled between taking
//     its pid and showing its process for longer than IN_FLIGHT_BOUND. Refreshes that only
//     skipped cannot have missed anything (rule 2). FORK_SLACK decides only whether a refresh
//     lists at once, never whether this listing comes.
// Main thread only, like the platform that owns it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "base/clock.h"
#include "procinfo/linux/fork_reading_linux.h"

namespace treemon::linux_proc {

// Probing a pid costs 0.16-0.19 us (a pidfd_open that finds no process or a thread); listing
// costs 1.0-1.1 us per process listed (both measured paced at 1,000 and 3,000 processes). A
// range this many times the processes listed still costs less than the listing it replaces.
inline constexpr size_t PROBES_PER_LISTED_PROCESS = 4;
inline constexpr std::chrono::milliseconds IN_FLIGHT_BOUND{200};
inline constexpr std::chrono::seconds FULL_LISTING_PERIOD{30};
// Forks counted without a pid in the range (under way at the earlier reading, or in another pid
// namespace) that a refresh takes without listing at once (rule 5 lists them later), and pids
// the cursor passed without a counted fork (forks under way or failed).
inline constexpr uint64_t FORK_SLACK = 256;

struct PidRange {
  uint32_t first = 0;  // both ends included
  uint32_t last = 0;
};

enum class ListReason {
  None,            // the plan is not a full listing
  FirstListing,    // nothing was listed in full yet, or the last list was lost
  NoReading,       // a file could not be read or parsed, now or at the previous refresh
  OtherNamespace,  // /proc is not the monitor's pid namespace
  Unwatched,       // a listed process's exit is not watched
  CounterWentBack,
  PidMaxChanged,      // changed between the readings, or a last pid at or beyond it
  ForksOutsideRange,  // more forks than the range's pids and FORK_SLACK: pids placed
                      // elsewhere, or forks of other namespaces
  WholeCycle,         // enough forks to pass every pid of a cycle: the range may hide a wrap
  LastPidMovedBack,   // fewer forks than a wrap needs: ns_last_pid is written in this namespace
  LastPidWritten,     // it was seen to move back before
  TooWide,
  Periodic,
};

struct ListingPlan {
  enum class Kind { Skip, Probe, ListAll };
  Kind kind = Kind::ListAll;
  ListReason reason = ListReason::None;
  std::vector<PidRange> ranges;  // Probe only: one or two, in ascending pid order
};

struct PlanContext {
  bool proc_is_own_namespace = true;
  bool every_process_watched = true;
  size_t listed_processes = 0;  // by the previous refresh
};

class NewProcessPlanner {
 public:
  // A reading taken before the first refresh (at start-up), where a later range may begin.
  void remember(MonoTime at, const ForkReading& reading);

  // The plan for a refresh whose reading, taken at `at`, is `now` (empty when it failed). Every
  // plan records the reading; a full listing also records when it was made.
  ListingPlan plan(MonoTime at, const std::optional<ForkReading>& now, const PlanContext& context);

  // A refresh that was to skip or probe listed in full after all (a probe could not finish).
  void listed_in_full(MonoTime at);
  // The refresh's list could not be taken: the next refresh has no list to build on.
  void list_lost() { last_full_listing_.reset(); }

 private:
  struct Timed {
    MonoTime at;
    ForkReading reading;
  };
  ListingPlan decide(MonoTime at, const ForkReading& now, const PlanContext& context);
  ListingPlan probe_or_list(const ForkReading& now, const PlanContext& context);
  ListingPlan list_all(ListReason reason);
  void record(MonoTime at, const ForkReading& reading);

  // Readings, oldest first: the newest one at least IN_FLIGHT_BOUND older than the latest (where
  // the next range begins), and every one after it.
  std::deque<Timed> readings_;
  std::optional<MonoTime> last_full_listing_;
  // Since the last full listing, a refresh probed or counted forks its range did not explain.
  bool in_doubt_since_full_listing_ = false;
  bool last_pid_written_ = false;
};

}  // namespace treemon::linux_proc
