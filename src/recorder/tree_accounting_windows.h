// The job object's count of the tree on Windows (job_tally.h has its rules): each member is told
// inside or outside the job once, when first seen, by its pid and start time.
#pragma once

#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "recorder/job_object_windows.h"
#include "recorder/job_tally.h"
#include "recorder/tree_accounting.h"

namespace treemon::recorder {

class JobTreeAccounting final : public TreeAccounting {
 public:
  // No job when the command could not be put in one.
  explicit JobTreeAccounting(std::optional<JobObject> job)
      : job_(std::move(job)), tally_(job_.has_value()) {}

  std::optional<KernelReading> read(std::span<const TreeMember> members) override;
  const JobTally& tally() const { return tally_; }

 private:
  bool inside(const TreeMember& member);

  std::optional<JobObject> job_;
  JobTally tally_;
  std::map<std::pair<uint32_t, uint64_t>, bool> inside_;  // by pid and start time
  std::vector<TreeMember> members_inside_, members_outside_;
};

}  // namespace treemon::recorder
