// The children of every parent of one sampling pass: what the walk of a process tree follows.
//
// Children are lists threaded through one vector, found by parent pid in an open-addressing
// table. Both keep their storage from pass to pass, so that a pass in the steady state
// allocates nothing and hashes each process once: a pass looks at every process on the machine
// to find the few of one tree, so this is the sampler's cost per process beyond the table's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace treemon {

class ChildLists {
 public:
  static constexpr uint32_t NONE = std::numeric_limits<uint32_t>::max();

  struct Child {
    uint32_t pid = 0;
    uint32_t parent_pid = 0;
    uint64_t start_ms = 0;
    uint32_t next_sibling = NONE;  // index of the next child of the same parent
  };

  // Forgets every child and makes room for `processes` of them (more may be added).
  void reset(size_t processes);
  // The most recently added child of a parent comes first in its list.
  void add(uint32_t parent_pid, uint32_t pid, uint64_t start_ms);

  // Index of the first child of `parent_pid`, or NONE.
  uint32_t first_child(uint32_t parent_pid) const;
  const Child& child(uint32_t index) const { return children_[index]; }

 private:
  struct Slot {
    uint32_t parent_pid = 0;
    uint32_t first_child = NONE;  // NONE marks an empty slot
  };
  size_t slot_index(uint32_t parent_pid) const;
  void size_slots(size_t children);
  void grow();

  std::vector<Child> children_;
  std::vector<Slot> slots_;  // a power of two, at least twice the children: never full
  unsigned shift_ = 64;
};

}  // namespace treemon
