// MemoryShareSampler: which members of the tree get their memory share read at a sample, so that
// a sample keeps to its time budget however many members the tree has and however much memory
// they hold (a share read walks the process's page tables: tens of microseconds for a small
// process, milliseconds for a large one).
//
// Rules a change must keep:
//  1. A sample reads members, stalest first, while the time it has spent reading is below the
//     budget: members never read come first, in the order given, then those read longest ago.
//     With any budget above 0, at least one member is read, so every member is read in turn.
//  2. A member not read at a sample keeps its latest share, from an earlier sample; a read that
//     fails keeps it too, and counts as a read for the order, so that a process that refuses is
//     not tried first at every sample.
//  3. What is kept is bounded by the members of the latest sample: a member that left the tree
//     is forgotten.
// Main thread only.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "base/clock.h"

namespace treemon::recorder {

struct ShareMember {
  uint64_t identity = 0;  // the table's entry identity
  uint32_t pid = 0;
};

struct ShareReading {
  // Per member, in the order given: its latest share, or nothing while none was ever read.
  std::vector<std::optional<uint64_t>> shares;
  size_t read_now = 0;    // members read at this sample
  size_t never_read = 0;  // members that have no share yet
};

class MemoryShareSampler {
 public:
  using Reader = std::function<std::optional<uint64_t>(uint32_t pid)>;

  explicit MemoryShareSampler(std::chrono::nanoseconds budget) : budget_(budget) {}

  ShareReading sample(std::span<const ShareMember> members, const Reader& read, Clock& clock);

 private:
  struct Known {
    std::optional<uint64_t> bytes;
    uint64_t read_at = 0;  // the sample of the latest read
  };

  std::vector<size_t> reading_order(std::span<const ShareMember> members) const;
  void forget_all_but(std::span<const ShareMember> members);

  const std::chrono::nanoseconds budget_;
  uint64_t samples_ = 0;
  std::unordered_map<uint64_t, Known> known_;
};

}  // namespace treemon::recorder
