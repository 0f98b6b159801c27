// The machine-wide figures over processor groups: a machine of one group keeps the one-group
// calls, one of several groups sums them all, and a group that cannot be read fails the reading.
#include "procinfo/windows/processor_groups_windows.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/saturating.h"

namespace treemon {
namespace {

// Groups set by the test. The calling thread's own group answers with figures of its own, so
// that a test sees which calls gave the result.
struct ScriptedGroups final : ProcessorGroupCalls {
  std::vector<DWORD> processors;
  std::vector<std::optional<MachineTimes>> times;
  std::vector<WORD> groups_read;

  WORD group_count() override { return static_cast<WORD>(processors.size()); }
  DWORD processors_in(WORD group) override { return processors.at(group); }
  DWORD calling_group_processors() override { return 7; }
  std::optional<MachineTimes> calling_group_times() override { return MachineTimes{70, 7}; }
  std::optional<MachineTimes> times_in(WORD group) override {
    groups_read.push_back(group);
    return times.at(group);
  }
};

TEST(ProcessorGroups, FiguresCoverEveryGroup) {
  ScriptedGroups one;
  one.processors = {12};
  one.times = {MachineTimes{1000, 100}};
  EXPECT_EQ(processors_of_all_groups(one), 7u);
  EXPECT_EQ(times_of_all_groups(one)->kernel_100ns, 70u);
  EXPECT_TRUE(one.groups_read.empty());

  ScriptedGroups two;
  two.processors = {64, 48};
  two.times = {MachineTimes{1000, 100}, MachineTimes{3000, 200}};
  EXPECT_EQ(processors_of_all_groups(two), 112u);
  const std::optional<MachineTimes> sum = times_of_all_groups(two);
  ASSERT_TRUE(sum);
  EXPECT_EQ(sum->kernel_100ns, 4000u);
  EXPECT_EQ(sum->user_100ns, 300u);
  EXPECT_EQ(two.groups_read, (std::vector<WORD>{0, 1}));

  two.times[1] = MachineTimes{U64_MAX, 1};
  EXPECT_EQ(times_of_all_groups(two)->kernel_100ns, U64_MAX);
  two.times[1] = std::nullopt;
  EXPECT_FALSE(times_of_all_groups(two));
}

}  // namespace
}  // namespace treemon
