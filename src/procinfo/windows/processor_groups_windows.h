// The machine's logical processors and CPU times on Windows, over every processor group.
//
// GetSystemInfo and GetSystemTimes answer for the calling thread's processor group only (64
// logical processors at most), while a process's times count its threads on every group; on a
// larger machine the percentages would be out by the number of groups, and the machine's times
// would jump whenever the thread moved to another group.
//
// Rules:
//  1. With one group, the count is GetSystemInfo's and the times are GetSystemTimes', as on any
//     machine of 64 processors or fewer.
//  2. With more, the count is the sum of every group's active processors and the times are the
//     sums of every group's times, each read with the calling thread moved to that group and
//     then back.
//  3. A group whose times cannot be read fails the whole reading: a sum with a group missing
//     would go backwards. Sums saturate.
//
// The Windows calls sit behind ProcessorGroupCalls, so that tests can give the several groups
// that the system under test (Wine) never has.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "base/win32_windows.h"
#include "procinfo/platform.h"

namespace treemon {

class ProcessorGroupCalls {
 public:
  virtual ~ProcessorGroupCalls() = default;
  virtual WORD group_count() = 0;                // GetActiveProcessorGroupCount
  virtual DWORD processors_in(WORD group) = 0;   // GetActiveProcessorCount
  virtual DWORD calling_group_processors() = 0;  // GetSystemInfo's dwNumberOfProcessors
  virtual std::optional<MachineTimes> calling_group_times() = 0;  // GetSystemTimes
  // GetSystemTimes with the calling thread moved to `group` for the call.
  virtual std::optional<MachineTimes> times_in(WORD group) = 0;
};

uint32_t processors_of_all_groups(ProcessorGroupCalls& calls);
std::optional<MachineTimes> times_of_all_groups(ProcessorGroupCalls& calls);

// The calls of the running system.
class SystemProcessorGroups final : public ProcessorGroupCalls {
 public:
  SystemProcessorGroups();

  WORD group_count() override;
  DWORD processors_in(WORD group) override;
  DWORD calling_group_processors() override;
  std::optional<MachineTimes> calling_group_times() override;
  std::optional<MachineTimes> times_in(WORD group) override;

 private:
  // The active processors of each group, by group number, taken once: a thread may be moved
  // only onto processors that are there.
  const std::vector<KAFFINITY> active_masks_;
};

}  // namespace treemon
