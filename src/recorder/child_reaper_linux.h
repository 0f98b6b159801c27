// The recorder as the subreaper of the command's tree: orphans of the tree come back to it rather
// than to init, and it reaps every child itself, so that what each used is counted to the
// microsecond and none escapes the count.
//
// Rules a change must keep:
//  1. become_subreaper() is called before the command starts: an orphan made earlier went to init.
//  2. This is the only code that waits for the recorder's children: any other wait takes a child
//     (and what it used) away from the count, or blocks on a child this has reaped.
//  3. A child is read before it is reaped: waitid(WNOWAIT) leaves the zombie, whose
//     /proc/PID/io still holds its I/O and its own reaped children's; wait4 then gives its CPU
//     time, its waited-for descendants' included, and frees it.
//  4. reaped() only grows.
// SIGCHLD must not be ignored in the recorder: the kernel would then reap its children itself.
// Main thread only.
#pragma once

#include <sys/types.h>

#include <vector>

#include "base/status.h"
#include "procinfo/linux/proc_files_linux.h"
#include "recorder/tree_totals.h"

namespace treemon::recorder {

struct ReapedChild {
  pid_t pid = 0;
  int wait_status = 0;  // as wait4 gives it
};

class ChildReaper {
 public:
  static Status become_subreaper();

  // Reaps every child that has ended, without waiting for one that has not; in the order the
  // kernel gives them.
  std::vector<ReapedChild> reap_ended();

  // What the reaped children used, with their waited-for descendants.
  const TreeUsage& reaped() const { return reaped_; }

 private:
  TreeUsage read_io(pid_t pid);

  linux_proc::ProcDirectory proc_;
  linux_proc::FileBuffer buffer_;
  TreeUsage reaped_;
};

}  // namespace treemon::recorder
