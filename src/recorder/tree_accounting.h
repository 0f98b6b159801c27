// What the operating system counts for the recorded tree as a whole, ended processes included:
// the kernel's side of the tree's figures (tree_totals.h says how they meet the samples').
//
// One implementation per OS: on Linux, the live members' times and I/O with their waited-for
// children's, plus what the recorder reaped as the tree's subreaper; on Windows, the job object
// the command was started in. Main thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "recorder/parents_first.h"
#include "recorder/tree_totals.h"

namespace treemon::recorder {

// A process of the tree at the latest sample, with what the samples saw of it.
struct TreeMember {
  MemberLink link;
  uint64_t start_time_ms = 0;
  TreeUsage sampled;  // the row's own cumulative figures
};

class TreeAccounting {
 public:
  virtual ~TreeAccounting() = default;
  // The count now, given the members of the latest sample; nothing where the OS keeps no count
  // that can serve, for this reading or for good.
  virtual std::optional<KernelReading> read(std::span<const TreeMember> members) = 0;
};

}  // namespace treemon::recorder
