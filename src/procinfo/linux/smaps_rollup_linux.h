// /proc/PID/smaps_rollup: a process's memory summed over all its mappings, where "Pss" counts
// each resident page divided by the number of processes that map it. Summed over a tree, Pss
// counts every page once, where resident sizes count a shared library or a buffer shared since
// fork once per process. Reader and parser of the file, and nothing else.
//
// Cost: the kernel walks the process's page tables at every read, so a read costs with the
// memory it covers (tens of microseconds for a small process, milliseconds for one with a
// hundred MiB resident); callers read it only when asked to, and bound how many they read.
//
// Rules a change must keep:
//  1. An empty file is a process without an address space (a kernel thread, or a zombie whose
//     memory is gone): no memory, not a failure.
//  2. Only whole lines with the exact keys count ("Pss:", never "Pss_Anon:"), in kB as the
//     kernel writes them; anything else that is not a number in kB fails the parse.
// Main thread only, like the platform that calls it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "procinfo/linux/proc_files_linux.h"

namespace treemon::linux_proc {

struct SmapsRollup {
  uint64_t resident_bytes = 0;
  uint64_t proportional_bytes = 0;

  friend bool operator==(const SmapsRollup&, const SmapsRollup&) = default;
};

std::optional<SmapsRollup> parse_smaps_rollup(std::string_view text);

// Reads the file of whichever process has `pid` now, by path: the caller confirms afterwards
// that it was the process it meant.
ReadStatus read_smaps_rollup(ProcDirectory& proc, uint32_t pid, FileBuffer& out);

}  // namespace treemon::linux_proc
