#include "sampling/child_lists.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace treemon {
namespace {

std::vector<uint32_t> children_of(const ChildLists& lists, uint32_t parent) {
  std::vector<uint32_t> pids;
  for (uint32_t index = lists.first_child(parent); index != ChildLists::NONE;
       index = lists.child(index).next_sibling) {
    pids.push_back(lists.child(index).pid);
  }
  return pids;
}

// Many parents whose pids collide in the table's low and high bits, added past the room that
// reset() made, then the lists reused for a smaller pass: every parent finds exactly its own
// children, most recent first, and no parent of an earlier pass is left.
TEST(ChildListsTest, EveryParentFindsItsChildrenAcrossGrowthAndReuse) {
  ChildLists lists;
  std::map<uint32_t, std::vector<uint32_t>> expected;
  lists.reset(4);
  for (uint32_t pid = 1; pid <= 5000; ++pid) {
    const uint32_t parent = (pid % 700) * 4096;  // 0 included: the parentless
    lists.add(parent, pid, pid);
    expected[parent].insert(expected[parent].begin(), pid);
  }
  for (const auto& [parent, pids] : expected) ASSERT_EQ(children_of(lists, parent), pids);
  EXPECT_EQ(lists.first_child(4096 * 700), ChildLists::NONE);

  lists.reset(2);
  lists.add(7, 70, 1);
  lists.add(7, 71, 2);
  EXPECT_EQ(children_of(lists, 7), (std::vector<uint32_t>{71, 70}));
  EXPECT_EQ(lists.first_child(0), ChildLists::NONE);
  EXPECT_EQ(lists.first_child(4096), ChildLists::NONE);
}

}  // namespace
}  // namespace treemon
