// Snapshots built by hand for the recorder's tests.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "sampling/snapshot.h"

namespace treemon::test_support {

inline Snapshot snapshot(uint64_t sequence, uint64_t at_unix_ms,
                         std::vector<ProcessSample> processes) {
  Snapshot s;
  s.sequence = sequence;
  s.sampledAtUnixMs = at_unix_ms;
  s.processes = std::move(processes);
  return s;
}

}  // namespace treemon::test_support
