// ExitWatch: which watched processes have exited, found with one call for all of them. Each
// watched process's pidfd sits in one epoll set and becomes readable when the process exits,
// which is before its pid can be freed and reused and after its children were given another
// parent. Watched processes are also found by pid, so that a process knows whether its parent
// is watched.
//
// Rules a change must keep:
//  1. A watch that ends, for whatever reason (its exit was seen, a read found the process
//     ended, it left the listing, its handle went), is told as ended by the next take_ended(),
//     once. A process listed as the child of a watched parent is trusted to keep that parent
//     only until then, so no exit is lost when a watch ends before its event is read.
//  2. A watched process leaves the epoll set (remove()) before its pidfd closes: closing alone
//     would leave it in the set while a forked child holds a copy of the descriptor, and the set
//     would report a process that no longer exists.
//  3. collect_exits() tells each exit it sees to its process, which must stop watching; when the
//     set cannot be read it says so, and nothing it watches may then be taken for alive.
// Pidfds name processes of the monitor's own pid namespace. Main thread only; no locks.
#pragma once

#include <sys/epoll.h>

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "procinfo/linux/proc_files_linux.h"

namespace treemon::linux_proc {

// A process an ExitWatch watches, told when its exit is seen.
class WatchedProcess {
 public:
  // Must remove the process from the watch.
  virtual void exit_seen() = 0;

 protected:
  ~WatchedProcess() = default;
};

// A pidfd for `pid`, or nothing when the kernel gives none.
UniqueFd open_pidfd(uint32_t pid);

class ExitWatch {
 public:
  ExitWatch();
  ExitWatch(const ExitWatch&) = delete;
  ExitWatch& operator=(const ExitWatch&) = delete;

  // False when `pidfd` cannot be watched; `process` must outlive its watch.
  bool add(uint32_t pid, int pidfd, WatchedProcess* process);
  void remove(uint32_t pid, int pidfd, const WatchedProcess* process);
  bool watches(uint32_t pid) const { return watched_.contains(pid); }

  // The pids whose watch ended since the last call, sorted, replacing what `out` held. False
  // when there are none.
  bool take_ended(std::vector<uint32_t>& out);

  // Tells every watched process that has exited. False when the watch cannot tell.
  bool collect_exits();

 private:
  UniqueFd epoll_;
  std::unordered_map<uint32_t, const WatchedProcess*> watched_;
  std::vector<uint32_t> ended_;
  epoll_event events_[64];
};

}  // namespace treemon::linux_proc
