// The machine's logical processors and CPU times on Windows, over every processor group.
//
// GetSystemInfo and GetSystemTimes answer for the calling thread's processor group only (64
// logical processors at most), while a process's times count its threads on every group; on a
// larger machine the percentages would be out by the number of groups. No documented call reads
// another group's times without moving the thread there (QueryIdleProcessorCycleTimeEx reads any
// group, but idle cycles, not times), so the thread is moved.
//
// Rules:
//  1. The groups, their processors and where this process may run are read once, when the
//     figures are made: the count and the times always cover the same processors, and a
//     processor added later is not counted.
//  2. With one group, the count is GetSystemInfo's and the times are GetSystemTimes', as on any
//     machine of 64 processors or fewer; the thread is never moved.
//  3. With more, the count is the sum of every group's active processors. The times are the sums
//     of every group's times, each read with the calling thread moved onto that group's
//     processors that the process and its job allow, and the thread is then put back. (Where a
//     thread may span groups, from Windows 11 on, it is put back onto its primary group only:
//     the call knows one group at a time.)
//  4. Where the process or its job leaves a group no processor, or a move or the way back fails,
//     the times come from the clock from then on: the processor count times the time elapsed
//     (without sleep), which is what the sums measure, idle time included. They go on from the
//     last sum, so that no interval spans two measures, and the thread is not moved again.
//  5. Sums and products saturate.
//
// The Windows calls sit behind ProcessorGroupCalls, so that tests can give the several groups,
// the narrow affinities and the refused moves that the system under test (Wine) never has.
// Not thread-safe: the figures belong to the thread that samples.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "base/win32_windows.h"
#include "procinfo/platform.h"

namespace treemon {

// One active group: its processors, as a mask (0 when not known), and how many there are.
struct GroupProcessors {
  KAFFINITY mask = 0;
  uint32_t count = 0;
};

class ProcessorGroupCalls {
 public:
  virtual ~ProcessorGroupCalls() = default;
  // GetLogicalProcessorInformationEx's groups, by group number.
  virtual std::vector<GroupProcessors> active_groups() = 0;
  // The process's affinity, where its threads are all in one group (GetProcessAffinityMask).
  virtual std::optional<GROUP_AFFINITY> process_affinity() = 0;
  // The affinity of the job the process is in, by group, where the job sets one.
  virtual std::optional<std::vector<GROUP_AFFINITY>> job_affinities() = 0;
  virtual DWORD calling_group_processors() = 0;                   // GetSystemInfo
  virtual std::optional<MachineTimes> calling_group_times() = 0;  // GetSystemTimes
  // SetThreadGroupAffinity on the calling thread; `previous` may be null.
  virtual bool move_thread(const GROUP_AFFINITY& to, GROUP_AFFINITY* previous) = 0;
  // Time since boot without sleep, in 100 ns (QueryUnbiasedInterruptTime).
  virtual uint64_t clock_100ns() = 0;
};

// The processors of each group that this process's threads may be moved to: the active ones,
// narrowed by the process's own affinity in its group and by the job's; where the job names
// groups, one it does not name has none.
std::vector<KAFFINITY> usable_masks(const std::vector<GroupProcessors>& groups,
                                    const std::optional<GROUP_AFFINITY>& process,
                                    const std::optional<std::vector<GROUP_AFFINITY>>& job);

class ProcessorGroups {
 public:
  // Reads the groups through `calls`, which must outlive the figures.
  explicit ProcessorGroups(ProcessorGroupCalls& calls);

  uint32_t processor_count();
  std::optional<MachineTimes> machine_times();

 private:
  enum class Source { CallingGroup, EveryGroup, Clock };
  struct Anchor {
    MachineTimes times;
    uint64_t at_100ns = 0;
  };

  std::optional<MachineTimes> sum_of_groups();
  MachineTimes clock_times();

  ProcessorGroupCalls& calls_;
  Source source_ = Source::CallingGroup;
  uint32_t processors_ = 0;
  std::vector<KAFFINITY> usable_;
  Anchor last_sum_;  // the clock's times go on from here
};

// The calls of the running system.
class SystemProcessorGroups final : public ProcessorGroupCalls {
 public:
  std::vector<GroupProcessors> active_groups() override;
  std::optional<GROUP_AFFINITY> process_affinity() override;
  std::optional<std::vector<GROUP_AFFINITY>> job_affinities() override;
  DWORD calling_group_processors() override;
  std::optional<MachineTimes> calling_group_times() override;
  bool move_thread(const GROUP_AFFINITY& to, GROUP_AFFINITY* previous) override;
  uint64_t clock_100ns() override;
};

}  // namespace treemon
