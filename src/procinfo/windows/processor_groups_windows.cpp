#include "procinfo/windows/processor_groups_windows.h"

#include <algorithm>
#include <cstdint>
#include <memory>

#include "base/saturating.h"

namespace treemon {
namespace {

uint64_t to_u64(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

GROUP_AFFINITY affinity_of(size_t group, KAFFINITY mask) {
  GROUP_AFFINITY affinity{};
  affinity.Group = static_cast<WORD>(group);
  affinity.Mask = mask;
  return affinity;
}

void add_times(MachineTimes& sum, const MachineTimes& times) {
  sum.kernel_100ns = saturating_add(sum.kernel_100ns, times.kernel_100ns);
  sum.user_100ns = saturating_add(sum.user_100ns, times.user_100ns);
}

// The groups by count alone, for where the layout cannot be read: with no masks, no group can be
// moved to, and the times come from the clock.
std::vector<GroupProcessors> counted_groups() {
  std::vector<GroupProcessors> groups(::GetActiveProcessorGroupCount());
  for (size_t group = 0; group < groups.size(); ++group) {
    groups[group].count = ::GetActiveProcessorCount(static_cast<WORD>(group));
  }
  return groups;
}

}  // namespace

std::vector<KAFFINITY> usable_masks(const std::vector<GroupProcessors>& groups,
                                    const std::optional<GROUP_AFFINITY>& process,
                                    const std::optional<std::vector<GROUP_AFFINITY>>& job) {
  std::vector<KAFFINITY> masks;
  for (const GroupProcessors& group : groups) masks.push_back(group.mask);
  if (process && process->Group < masks.size()) masks[process->Group] &= process->Mask;
  if (job) {
    std::vector<KAFFINITY> allowed(masks.size(), 0);
    for (const GROUP_AFFINITY& affinity : *job) {
      if (affinity.Group < allowed.size()) allowed[affinity.Group] |= affinity.Mask;
    }
    for (size_t group = 0; group < masks.size(); ++group) masks[group] &= allowed[group];
  }
  return masks;
}

ProcessorGroups::ProcessorGroups(ProcessorGroupCalls& calls) : calls_(calls) {
  const std::vector<GroupProcessors> groups = calls_.active_groups();
  if (groups.size() <= 1) return;
  uint64_t processors = 0;
  for (const GroupProcessors& group : groups) processors += group.count;
  processors_ = static_cast<uint32_t>(std::min<uint64_t>(processors, UINT32_MAX));
  usable_ = usable_masks(groups, calls_.process_affinity(), calls_.job_affinities());
  const bool every_group_usable =
      std::none_of(usable_.begin(), usable_.end(), [](KAFFINITY mask) { return mask == 0; });
  source_ = every_group_usable ? Source::EveryGroup : Source::Clock;
}

uint32_t ProcessorGroups::processor_count() {
  return source_ == Source::CallingGroup ? calls_.calling_group_processors() : processors_;
}

std::optional<MachineTimes> ProcessorGroups::machine_times() {
  if (source_ == Source::CallingGroup) return calls_.calling_group_times();
  if (source_ == Source::EveryGroup) {
    if (std::optional<MachineTimes> sum = sum_of_groups()) return sum;
  }
  return clock_times();
}

std::optional<MachineTimes> ProcessorGroups::sum_of_groups() {
  GROUP_AFFINITY home{};
  bool moved = false;
  bool complete = true;
  MachineTimes sum;
  for (size_t group = 0; group < usable_.size() && complete; ++group) {
    // The first move that succeeds tells where the thread was, to put it back there.
    const bool moved_now =
        calls_.move_thread(affinity_of(group, usable_[group]), moved ? nullptr : &home);
    moved = moved || moved_now;
    const std::optional<MachineTimes> times =
        moved_now ? calls_.calling_group_times() : std::nullopt;
    complete = times.has_value();
    if (complete) add_times(sum, *times);
  }
  const bool back = !moved || calls_.move_thread(home, nullptr);
  if (complete) last_sum_ = Anchor{sum, calls_.clock_100ns()};
  if (!complete || !back) source_ = Source::Clock;
  return complete ? std::optional(sum) : std::nullopt;
}

MachineTimes ProcessorGroups::clock_times() {
  const uint64_t now = calls_.clock_100ns();
  const uint64_t elapsed = now > last_sum_.at_100ns ? now - last_sum_.at_100ns : 0;
  return MachineTimes{
      saturating_add(last_sum_.times.kernel_100ns, saturating_multiply(elapsed, processors_)),
      last_sum_.times.user_100ns};
}

std::vector<GroupProcessors> SystemProcessorGroups::active_groups() {
  DWORD size = 0;
  ::GetLogicalProcessorInformationEx(RelationGroup, nullptr, &size);
  if (size == 0) return counted_groups();
  auto buffer = std::make_unique<char[]>(size);
  auto* info = reinterpret_cast<SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX*>(buffer.get());
  if (!::GetLogicalProcessorInformationEx(RelationGroup, info, &size)) return counted_groups();
  const GROUP_RELATIONSHIP& relation = info->Group;
  std::vector<GroupProcessors> groups;
  for (WORD group = 0; group < relation.ActiveGroupCount; ++group) {
    const PROCESSOR_GROUP_INFO& processors = relation.GroupInfo[group];
    groups.push_back(
        GroupProcessors{processors.ActiveProcessorMask, processors.ActiveProcessorCount});
  }
  return groups;
}

std::optional<GROUP_AFFINITY> SystemProcessorGroups::process_affinity() {
  // The mask is that of the process's one group; it is 0 where the process spans several.
  DWORD_PTR process_mask = 0, system_mask = 0;
  const HANDLE process = ::GetCurrentProcess();
  if (!::GetProcessAffinityMask(process, &process_mask, &system_mask) || process_mask == 0) {
    return std::nullopt;
  }
  USHORT group = 0;
  USHORT group_count = 1;
  if (!::GetProcessGroupAffinity(process, &group_count, &group) || group_count != 1) {
    return std::nullopt;
  }
  return affinity_of(group, process_mask);
}

std::optional<std::vector<GROUP_AFFINITY>> SystemProcessorGroups::job_affinities() {
  BOOL in_job = FALSE;
  if (!::IsProcessInJob(::GetCurrentProcess(), nullptr, &in_job) || !in_job) return std::nullopt;
  std::vector<GROUP_AFFINITY> affinities(std::max<WORD>(::GetMaximumProcessorGroupCount(), 1));
  DWORD bytes = 0;
  if (!::QueryInformationJobObject(nullptr, JobObjectGroupInformationEx, affinities.data(),
                                   static_cast<DWORD>(affinities.size() * sizeof(GROUP_AFFINITY)),
                                   &bytes)) {
    return std::nullopt;
  }
  affinities.resize(bytes / sizeof(GROUP_AFFINITY));
  if (affinities.empty()) return std::nullopt;
  return affinities;
}

DWORD SystemProcessorGroups::calling_group_processors() {
  SYSTEM_INFO info{};
  ::GetSystemInfo(&info);
  return info.dwNumberOfProcessors;
}

std::optional<MachineTimes> SystemProcessorGroups::calling_group_times() {
  FILETIME idle{}, kernel{}, user{};
  if (!::GetSystemTimes(&idle, &kernel, &user)) return std::nullopt;
  return MachineTimes{to_u64(kernel), to_u64(user)};
}

bool SystemProcessorGroups::move_thread(const GROUP_AFFINITY& to, GROUP_AFFINITY* previous) {
  return ::SetThreadGroupAffinity(::GetCurrentThread(), &to, previous) != FALSE;
}

uint64_t SystemProcessorGroups::clock_100ns() {
  // Fails only when given no place for the answer.
  ULONGLONG since_boot = 0;
  static_cast<void>(::QueryUnbiasedInterruptTime(&since_boot));
  return since_boot;
}

}  // namespace treemon
