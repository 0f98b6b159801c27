// Which pids a refresh on Linux lists: every entry of /proc, or, when the kernel says that no
// process was created since the previous refresh or that only a few were, the previous list's
// processes and the ones found by asking for their pids one by one (new_processes_linux.h,
// pid_probe_linux.h). The first refresh, and every refresh in doubt, lists /proc. The platform
// does the listing; this keeps what the next choice needs of it.
//
// Rules a change must keep:
//  1. A refresh that does not list /proc lists every process of the previous list, and every
//     process the previous list could not read without finding it gone, so that only /proc or
//     an exit ever drops a process.
//  2. A process of the last list whose exit may go unnoticed (one without a handle, until
//     open_process gives it one that watches or finds it ended, and one whose handle never
//     watched) makes the next refresh list /proc.
//  3. With a check (listing_check_linux.h), its full listing is taken before the refresh reads
//     the fork counter, and every refresh that did not list /proc is compared with it; a wrong
//     listing ends the monitor with a line on standard error.
// Main thread only, like the platform that owns it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "base/clock.h"
#include "procinfo/linux/new_processes_linux.h"
#include "procinfo/linux/proc_files_linux.h"
#include "procinfo/linux/process_handle_linux.h"
#include "procinfo/platform.h"

namespace treemon::linux_proc {

class ListingCheck;

class ListingChoice {
 public:
  // With `check_listings`, every refresh that does not list /proc is compared with a full
  // listing, and a summary of the refreshes is written to standard error when this goes.
  explicit ListingChoice(bool check_listings);
  ~ListingChoice();
  ListingChoice(const ListingChoice&) = delete;
  ListingChoice& operator=(const ListingChoice&) = delete;

  // The reading whose fork counter the caller has just read, as `forks`; the last pid is read
  // after it, into `buffer` (new_processes_linux.h, rule 1). Empty when a read fails.
  std::optional<ForkReading> read_forks(std::optional<uint64_t> forks, FileBuffer& buffer);
  // A reading taken before the first refresh (at start-up), where a later range may begin.
  void start(MonoTime at, const ForkReading& reading) { planner_.remember(at, reading); }
  // Before the refresh reads the fork counter (rule 3).
  void begin_refresh();
  // The pids the refresh lists, ascending, for its reading `now` taken at `at`; null when it
  // lists /proc.
  const std::vector<uint32_t>* choose(MonoTime at, const std::optional<ForkReading>& now,
                                      bool own_namespace);
  // A pid the refresh could not read without finding its process gone.
  void unread(uint32_t pid) { unread_pids_.push_back(pid); }
  // The refresh's list could not be taken: the next refresh has no list to build on.
  void list_lost() { planner_.list_lost(); }
  // What the next choice needs of the refresh's list: `handles[i]` is the handle `out[i]` was
  // listed through (null for none), and `unopened` how many listed processes have no handle.
  void remember(const std::vector<ListedProcess>& out, const std::vector<LinuxProcess*>& handles,
                size_t unopened);
  // A listed process without a handle got one that watches its exit, or was found ended.
  void unopened_settled() {
    if (unwatched_listed_ > 0) --unwatched_listed_;
  }

 private:
  void check(const std::vector<ListedProcess>& out, const std::vector<LinuxProcess*>& handles);

  UniqueFd loadavg_;
  UniqueFd pid_max_;
  NewProcessPlanner planner_;
  // The last list's pids, ascending, with those it could not read without finding them gone.
  std::vector<uint32_t> listed_pids_;
  std::vector<uint32_t> unread_pids_;
  size_t unwatched_listed_ = 0;  // rule 2
  std::vector<uint32_t> found_pids_;
  std::vector<uint32_t> pids_to_list_;
  bool directory_spared_ = false;  // this refresh lists pids_to_list_, not /proc
  std::unique_ptr<ListingCheck> check_;
};

}  // namespace treemon::linux_proc
