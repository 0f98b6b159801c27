#include "procinfo/linux/new_processes_linux.h"

#include <algorithm>

namespace treemon::linux_proc {
namespace {

// More readings than this within IN_FLIGHT_BOUND (refreshes at every configure of a busy
// client) drop the oldest: the range then begins later, and the periodic listing covers it.
constexpr size_t READINGS_KEPT_MAX = 64;

ListingPlan skip() { return ListingPlan{ListingPlan::Kind::Skip, ListReason::None, {}}; }

uint64_t width_of(const std::vector<PidRange>& ranges) {
  uint64_t width = 0;
  for (const PidRange& range : ranges) width += uint64_t{range.last} - range.first + 1;
  return width;
}

}  // namespace

void NewProcessPlanner::remember(MonoTime at, const ForkReading& reading) { record(at, reading); }

ListingPlan NewProcessPlanner::plan(MonoTime at, const std::optional<ForkReading>& now,
                                    const PlanContext& context) {
  if (!now) {
    readings_.clear();  // the next refresh has nothing to compare with
    last_full_listing_ = at;
    in_doubt_since_full_listing_ = false;
    return list_all(context.proc_is_own_namespace ? ListReason::NoReading
                                                  : ListReason::OtherNamespace);
  }
  ListingPlan plan = decide(at, *now, context);
  record(at, *now);
  if (plan.kind == ListingPlan::Kind::ListAll) listed_in_full(at);
  if (plan.kind == ListingPlan::Kind::Probe) in_doubt_since_full_listing_ = true;
  return plan;
}

void NewProcessPlanner::listed_in_full(MonoTime at) {
  last_full_listing_ = at;
  in_doubt_since_full_listing_ = false;
}

ListingPlan NewProcessPlanner::decide(MonoTime at, const ForkReading& now,
                                      const PlanContext& context) {
  if (!context.proc_is_own_namespace) return list_all(ListReason::OtherNamespace);
  if (!last_full_listing_) return list_all(ListReason::FirstListing);
  if (readings_.empty()) return list_all(ListReason::NoReading);
  if (!context.every_process_watched) return list_all(ListReason::Unwatched);
  const ForkReading& previous = readings_.back().reading;
  if (now.forks < previous.forks) return list_all(ListReason::CounterWentBack);
  if (in_doubt_since_full_listing_ && at - *last_full_listing_ >= FULL_LISTING_PERIOD) {
    return list_all(ListReason::Periodic);
  }
  // Placed pids do not matter here: nothing became visible since the previous look.
  if (now.forks == previous.forks) return skip();
  return probe_or_list(now, context);
}

ListingPlan NewProcessPlanner::probe_or_list(const ForkReading& now, const PlanContext& context) {
  const ForkReading& start = readings_.front().reading;
  const uint32_t pid_max = now.pid_max;
  if (start.pid_max != pid_max || now.last_pid >= pid_max || start.last_pid >= pid_max) {
    return list_all(ListReason::PidMaxChanged);
  }
  if (last_pid_written_) return list_all(ListReason::LastPidWritten);
  const uint64_t forks = now.forks - start.forks;
  // Pids the cursor may pass without a counted fork: every task's, and forks not counted yet.
  const uint64_t passable = forks + std::max(start.tasks, now.tasks) + FORK_SLACK;
  if (passable >= pid_max - RESERVED_PIDS) return list_all(ListReason::WholeCycle);

  std::vector<PidRange> ranges;
  if (now.last_pid >= start.last_pid) {
    if (now.last_pid > start.last_pid) ranges.push_back({start.last_pid + 1, now.last_pid});
  } else {
    // A wrap passes every pid after the start's last one, and lands no lower than RESERVED_PIDS.
    if (now.last_pid < RESERVED_PIDS || passable < pid_max - 1 - start.last_pid) {
      last_pid_written_ = true;
      return list_all(ListReason::LastPidMovedBack);
    }
    ranges.push_back({RESERVED_PIDS, now.last_pid});
    if (start.last_pid + 1 < pid_max) ranges.push_back({start.last_pid + 1, pid_max - 1});
  }
  const uint64_t width = width_of(ranges);
  if (forks > width + FORK_SLACK) return list_all(ListReason::ForksOutsideRange);
  if (width > uint64_t{PROBES_PER_LISTED_PROCESS} * context.listed_processes) {
    return list_all(ListReason::TooWide);
  }
  // Forks that no pid of the range explains: a pid placed outside it (clone3's set_tid, a write
  // of ns_last_pid that was undone), or forks of other pid namespaces.
  if (forks > width) in_doubt_since_full_listing_ = true;
  if (ranges.empty()) return skip();
  return ListingPlan{ListingPlan::Kind::Probe, ListReason::None, std::move(ranges)};
}

ListingPlan NewProcessPlanner::list_all(ListReason reason) {
  return ListingPlan{ListingPlan::Kind::ListAll, reason, {}};
}

void NewProcessPlanner::record(MonoTime at, const ForkReading& reading) {
  readings_.push_back({at, reading});
  while (readings_.size() >= 2 &&
         (readings_[1].at + IN_FLIGHT_BOUND <= at || readings_.size() > READINGS_KEPT_MAX)) {
    readings_.pop_front();
  }
}

}  // namespace treemon::linux_proc
