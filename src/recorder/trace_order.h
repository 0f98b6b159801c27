// The order in which a trace lists its processes: a walk of the process tree, depth first, each
// parent before its children, so that a viewer which sorts tracks by this order shows every
// process directly under its parent. The trace formats have only process and thread levels, and
// their viewers do not draw overlapping spans on one track, so order is all that can show nesting.
//
// Rules a change must keep:
//  1. Every node gets exactly one position, 0..n-1, whatever the parents say. A parent that is
//     not a node, the node itself, or a loop of parents (which only confused input gives) makes a
//     root of the first node of it that the walk meets.
//  2. Roots come in the order they were first seen, and so do the children of one parent.
//  3. The walk keeps its own stack: a chain of thousands of processes does not recurse.
// Pure; any thread.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace treemon::recorder {

inline constexpr uint32_t NO_PARENT = UINT32_MAX;

// parents[i] is the index of node i's parent, or NO_PARENT; nodes are in the order they were
// first seen. The result's element i is node i's position in the walk.
std::vector<uint32_t> tree_walk_positions(std::span<const uint32_t> parents);

}  // namespace treemon::recorder
