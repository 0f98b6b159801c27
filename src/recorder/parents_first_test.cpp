#include "recorder/parents_first.h"

#include <gtest/gtest.h>

namespace treemon::recorder {
namespace {

TEST(ParentsFirstTest, Orders) {
  struct Case {
    const char* what;
    std::vector<MemberLink> members;
    std::vector<uint32_t> expected;
  } const cases[] = {
      {"nothing", {}, {}},
      {"a child listed before its parent (a reused, lower pid) comes after it",
       {{5, 900}, {900, 1}, {901, 5}},
       {900, 5, 901}},
      {"level by level, children in the order given",
       {{10, 1}, {11, 10}, {12, 11}, {13, 10}, {14, 13}},
       {10, 11, 13, 12, 14}},
      {"several members without a member parent come first, as given",
       {{30, 2}, {20, 1}, {31, 30}, {21, 20}},
       {30, 20, 31, 21}},
      {"a process that is its own parent is a root", {{7, 7}, {8, 7}}, {7, 8}},
      {"a cycle of parent links loses nothing",
       {{1, 0}, {40, 41}, {41, 40}, {2, 1}},
       {1, 2, 40, 41}},
  };
  for (const Case& c : cases) EXPECT_EQ(parents_first(c.members), c.expected) << c.what;
}

}  // namespace
}  // namespace treemon::recorder
