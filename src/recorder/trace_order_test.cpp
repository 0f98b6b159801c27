#include "recorder/trace_order.h"

#include <gtest/gtest.h>

#include <vector>

namespace treemon::recorder {
namespace {

constexpr uint32_t N = NO_PARENT;

struct WalkCase {
  const char* what;
  std::vector<uint32_t> parents;
  std::vector<uint32_t> positions;
};

// Each case: parents by first-seen index, and the position each node must get.
const WalkCase WALK_CASES[] = {
    {"nothing", {}, {}},
    {"one root", {N}, {0}},
    {"children under their parent, in first-seen order", {N, 0, 0}, {0, 1, 2}},
    {"a grandchild before its parent's younger sibling", {N, 0, 0, 1}, {0, 1, 3, 2}},
    {"a child seen before its parent", {1, N}, {1, 0}},
    {"roots in first-seen order, each with its subtree", {N, N, 0, 1, 0}, {0, 3, 1, 4, 2}},
    {"a parent that is not a node makes a root", {7, 0}, {0, 1}},
    {"a node that is its own parent makes a root", {0, 0}, {0, 1}},
    {"a loop of parents is walked from its first node", {1, 0, N}, {1, 2, 0}},
};

TEST(TreeWalkPositions, TableOfTrees) {
  for (const WalkCase& c : WALK_CASES) {
    EXPECT_EQ(tree_walk_positions(c.parents), c.positions) << c.what;
  }
}

// A chain deeper than any call stack would allow if the walk recursed.
TEST(TreeWalkPositions, DeepChainIsWalkedInOrder) {
  constexpr uint32_t DEPTH = 1'000'000;
  std::vector<uint32_t> parents(DEPTH);
  parents[0] = N;
  for (uint32_t i = 1; i < DEPTH; ++i) parents[i] = i - 1;
  const std::vector<uint32_t> positions = tree_walk_positions(parents);
  for (uint32_t i = 0; i < DEPTH; ++i) ASSERT_EQ(positions[i], i);
}

}  // namespace
}  // namespace treemon::recorder
