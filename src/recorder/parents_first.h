// The order in which the members of a tree are read so that a member reaped between two reads is
// missed once rather than counted twice: a parent's count takes in a child only when the parent
// reaps it, so a parent read before its child either still lacks the child (then the child, read
// after, is counted once) or already holds it (then the child is gone and counts nothing).
//
// Rules:
//  1. Every member comes after its parent where the parent is a member; members whose parent is
//     not one come first, in the order given.
//  2. Children follow in the order given, level by level.
//  3. Nothing is lost: members on a cycle of parent links (pids reused between two reads) come
//     last, in the order given.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace treemon::recorder {

struct MemberLink {
  uint32_t pid = 0;
  uint32_t parent_pid = 0;  // 0 when none is known
};

std::vector<uint32_t> parents_first(std::span<const MemberLink> members);

}  // namespace treemon::recorder
