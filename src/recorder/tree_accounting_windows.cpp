#include "recorder/tree_accounting_windows.h"

namespace treemon::recorder {

// A process that cannot be opened (it ended meanwhile) is taken as inside: what it used is then
// in the job's count if it was in the job, and the samples' figure catches it if it was not.
bool JobTreeAccounting::inside(const TreeMember& member) {
  const std::pair<uint32_t, uint64_t> key{member.link.pid, member.start_time_ms};
  if (const auto known = inside_.find(key); known != inside_.end()) return known->second;
  UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, member.link.pid));
  std::optional<bool> held;
  if (process) held = job_->holds(process.get());
  if (!held) return true;
  inside_.emplace(key, *held);
  return *held;
}

std::optional<KernelReading> JobTreeAccounting::read(std::span<const TreeMember> members) {
  if (!job_) return tally_.read(std::nullopt, {}, {});
  members_inside_.clear();
  members_outside_.clear();
  for (const TreeMember& member : members) {
    (inside(member) ? members_inside_ : members_outside_).push_back(member);
  }
  return tally_.read(job_->query(), members_inside_, members_outside_);
}

}  // namespace treemon::recorder
