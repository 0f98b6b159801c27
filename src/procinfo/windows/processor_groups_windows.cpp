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

std::vector<KAFFINITY> read_active_masks() {
  DWORD size = 0;
  ::GetLogicalProcessorInformationEx(RelationGroup, nullptr, &size);
  if (size == 0) return {};
  auto buffer = std::make_unique<char[]>(size);
  auto* info = reinterpret_cast<SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX*>(buffer.get());
  if (!::GetLogicalProcessorInformationEx(RelationGroup, info, &size)) return {};
  const GROUP_RELATIONSHIP& groups = info->Group;
  std::vector<KAFFINITY> masks;
  for (WORD group = 0; group < groups.ActiveGroupCount; ++group) {
    masks.push_back(groups.GroupInfo[group].ActiveProcessorMask);
  }
  return masks;
}

}  // namespace

uint32_t processors_of_all_groups(ProcessorGroupCalls& calls) {
  const WORD groups = calls.group_count();
  if (groups <= 1) return calls.calling_group_processors();
  uint64_t processors = 0;
  for (WORD group = 0; group < groups; ++group) processors += calls.processors_in(group);
  return static_cast<uint32_t>(std::min<uint64_t>(processors, UINT32_MAX));
}

std::optional<MachineTimes> times_of_all_groups(ProcessorGroupCalls& calls) {
  const WORD groups = calls.group_count();
  if (groups <= 1) return calls.calling_group_times();
  MachineTimes sum;
  for (WORD group = 0; group < groups; ++group) {
    const std::optional<MachineTimes> times = calls.times_in(group);
    if (!times) return std::nullopt;
    sum.kernel_100ns = saturating_add(sum.kernel_100ns, times->kernel_100ns);
    sum.user_100ns = saturating_add(sum.user_100ns, times->user_100ns);
  }
  return sum;
}

SystemProcessorGroups::SystemProcessorGroups() : active_masks_(read_active_masks()) {}

WORD SystemProcessorGroups::group_count() { return ::GetActiveProcessorGroupCount(); }

DWORD SystemProcessorGroups::processors_in(WORD group) { return ::GetActiveProcessorCount(group); }

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

std::optional<MachineTimes> SystemProcessorGroups::times_in(WORD group) {
  if (group >= active_masks_.size() || active_masks_[group] == 0) return std::nullopt;
  GROUP_AFFINITY target{};
  target.Group = group;
  target.Mask = active_masks_[group];
  GROUP_AFFINITY previous{};
  const HANDLE thread = ::GetCurrentThread();
  if (!::SetThreadGroupAffinity(thread, &target, &previous)) return std::nullopt;
  std::optional<MachineTimes> times = calling_group_times();
  ::SetThreadGroupAffinity(thread, &previous, nullptr);
  return times;
}

}  // namespace treemon
