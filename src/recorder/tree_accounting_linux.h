// The kernel's count of the tree on Linux: the live members read parents first, plus what the
// recorder reaped as the tree's subreaper (none when it watches a tree it did not start, whose
// orphans go elsewhere: there the count can fall below the samples', tree_totals.h).
#pragma once

#include <vector>

#include "recorder/child_reaper_linux.h"
#include "recorder/member_usage_linux.h"
#include "recorder/tree_accounting.h"

namespace treemon::recorder {

class LinuxTreeAccounting final : public TreeAccounting {
 public:
  // The reaper, when there is one, must outlive this.
  explicit LinuxTreeAccounting(const ChildReaper* reaper) : reaper_(reaper) {}

  std::optional<KernelReading> read(std::span<const TreeMember> members) override;

 private:
  const ChildReaper* reaper_;
  MemberUsageReader reader_;
  std::vector<MemberLink> links_;  // kept for its storage
};

}  // namespace treemon::recorder
