// The private working set of a process on Windows: the pages of its working set that no other
// process maps. Summed over a tree it leaves shared pages (DLLs, mapped files, shared sections)
// out altogether, where a sum of working sets counts them once per process; nothing divides them
// among their processes as Linux's PSS does, so the figure is labelled as leaving them out.
//
// Two sources, chosen once, when the reader is made:
//  - PROCESS_MEMORY_COUNTERS_EX2 (Windows 10 22H2 with the update of September 2023, Windows 11):
//    one call per process, on the handle the table keeps;
//  - before that, the system's process list (NtQuerySystemInformation), whose entries have
//    carried the private working set since Vista: one call per refresh for every process,
//    matched to a handle by pid and creation time, so that a reused pid is never mistaken.
//
// Rules a change must keep:
//  1. A private working set of 0 beside a working set above 0 is no reading (Wine answers zeros):
//     a running process always holds pages of its own.
//  2. The system's list is taken at most once per refresh, at its first read.
//  3. The list's parser checks every entry against the buffer's size: a list cut short or with
//     an offset out of bounds gives the entries before it.
// Main thread only, like the platform that owns it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/win32_windows.h"

namespace treemon {

struct ListedPrivateSet {
  uint32_t pid = 0;
  uint64_t creation_time = 0;  // FILETIME units, as GetProcessTimes gives it
  uint64_t working_set_bytes = 0;
  uint64_t private_bytes = 0;
};

// The entries of a SystemProcessInformation answer.
std::vector<ListedPrivateSet> parse_system_process_list(std::span<const std::byte> buffer);

// A private working set, or nothing when there is no reading (rule 1).
std::optional<uint64_t> private_working_set(uint64_t working_set_bytes, uint64_t private_bytes);

class PrivateWorkingSets {
 public:
  PrivateWorkingSets();

  // A refresh begins: the system's list, where it is the source, is taken anew when next read.
  void new_refresh() { list_taken_ = false; }
  std::optional<uint64_t> read(HANDLE process);

 private:
  std::optional<uint64_t> from_counters(HANDLE process) const;
  std::optional<uint64_t> from_system_list(HANDLE process);

  const bool counters_have_it_;
  bool list_taken_ = false;
  std::vector<std::byte> buffer_;
  std::vector<ListedPrivateSet> listed_;
};

}  // namespace treemon
