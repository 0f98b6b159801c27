// The machine-wide figures over processor groups: a machine of one group keeps the one-group
// calls; one of several groups sums them all, read on the processors that the process and its
// job allow, with the thread put back; where a group cannot be read, the clock stands in from
// the last sum on.
#include "procinfo/windows/processor_groups_windows.h"

#include <gtest/gtest.h>

#include <bit>
#include <set>
#include <utility>
#include <vector>

#include "base/saturating.h"

namespace treemon {
namespace {

constexpr KAFFINITY ALL_64 = ~KAFFINITY{0};
constexpr KAFFINITY ALL_48 = (KAFFINITY{1} << 48) - 1;

GROUP_AFFINITY affinity(WORD group, KAFFINITY mask) {
  GROUP_AFFINITY result{};
  result.Group = group;
  result.Mask = mask;
  return result;
}

using Move = std::pair<WORD, KAFFINITY>;

// Groups set by the test. The thread starts on `current`, and GetSystemTimes answers with the
// times of the group it is on, so that a test sees where each figure was read.
struct ScriptedGroups final : ProcessorGroupCalls {
  std::vector<GroupProcessors> groups;
  std::optional<GROUP_AFFINITY> process;
  std::optional<std::vector<GROUP_AFFINITY>> job;
  std::vector<std::optional<MachineTimes>> times;
  std::set<size_t> refused_moves;  // by their number, from 0
  uint64_t clock = 0;

  GROUP_AFFINITY current = affinity(1, 0x2);
  std::vector<Move> moves;
  int layout_reads = 0;

  std::vector<GroupProcessors> active_groups() override {
    ++layout_reads;
    return groups;
  }
  std::optional<GROUP_AFFINITY> process_affinity() override { return process; }
  std::optional<std::vector<GROUP_AFFINITY>> job_affinities() override { return job; }
  DWORD calling_group_processors() override { return 7; }
  std::optional<MachineTimes> calling_group_times() override { return times.at(current.Group); }
  bool move_thread(const GROUP_AFFINITY& to, GROUP_AFFINITY* previous) override {
    moves.emplace_back(to.Group, to.Mask);
    if (refused_moves.contains(moves.size() - 1)) return false;
    if (previous != nullptr) *previous = current;
    current = to;
    return true;
  }
  uint64_t clock_100ns() override { return clock; }
};

ScriptedGroups two_groups() {
  ScriptedGroups script;
  script.groups = {{ALL_64, 64}, {ALL_48, 48}};
  script.times = {MachineTimes{1000, 100}, MachineTimes{3000, 200}};
  return script;
}

TEST(ProcessorGroups, OneGroupKeepsTheCallingGroupsCalls) {
  ScriptedGroups one;
  one.groups = {{0xFFF, 12}};
  one.times = {MachineTimes{1000, 100}};
  one.current = affinity(0, 0x1);
  ProcessorGroups figures(one);
  EXPECT_EQ(figures.processor_count(), 7u);
  EXPECT_EQ(figures.machine_times()->kernel_100ns, 1000u);
  EXPECT_TRUE(one.moves.empty());
}

// Each group's active processors, narrowed by the process's mask in its own group and by the
// job's masks; a group the job does not name is left with none, and names of groups that are
// not there are ignored.
TEST(ProcessorGroups, UsableMasksAreWhatTheProcessAndItsJobAllow) {
  const std::vector<GroupProcessors> groups = {{0xFF, 8}, {0xF, 4}};
  const struct {
    const char* name;
    std::optional<GROUP_AFFINITY> process;
    std::optional<std::vector<GROUP_AFFINITY>> job;
    std::vector<KAFFINITY> usable;
  } cases[] = {
      {"no limits", {}, {}, {0xFF, 0xF}},
      {"process in group 1", affinity(1, 0x6), {}, {0xFF, 0x6}},
      {"process in a group not there", affinity(5, 0x1), {}, {0xFF, 0xF}},
      {"job over both", {}, std::vector{affinity(0, 0x0F), affinity(1, 0xFC)}, {0x0F, 0xC}},
      {"job over group 0 only", {}, std::vector{affinity(0, 0x3)}, {0x3, 0}},
      {"process and job",
       affinity(0, 0x3),
       std::vector{affinity(0, 0x6), affinity(1, 0x1)},
       {0x2, 0x1}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(usable_masks(groups, c.process, c.job), c.usable) << c.name;
  }
}

TEST(ProcessorGroups, EveryGroupIsReadOnItsUsableProcessorsAndTheThreadPutBack) {
  ScriptedGroups script = two_groups();
  script.process = affinity(0, 0x3);
  ProcessorGroups figures(script);
  EXPECT_EQ(figures.processor_count(), 112u);
  const std::optional<MachineTimes> sum = figures.machine_times();
  ASSERT_TRUE(sum);
  EXPECT_EQ(sum->kernel_100ns, 4000u);
  EXPECT_EQ(sum->user_100ns, 300u);
  EXPECT_EQ(script.moves, (std::vector<Move>{{0, 0x3}, {1, ALL_48}, {1, 0x2}}));
  EXPECT_EQ(script.current.Group, 1);
  EXPECT_EQ(script.current.Mask, KAFFINITY{0x2});

  script.times[1] = MachineTimes{U64_MAX, 1};
  EXPECT_EQ(figures.machine_times()->kernel_100ns, U64_MAX);
  EXPECT_EQ(script.layout_reads, 1);
}

// Where a group cannot be read, the times are the processor count times the clock, from the last
// sum on; the thread is then never moved again.
TEST(ProcessorGroups, ClockStandsInWhereAGroupCannotBeRead) {
  const std::vector only_group_0{affinity(0, ALL_64)};
  const struct {
    const char* name;
    std::optional<std::vector<GROUP_AFFINITY>> job;
    std::set<size_t> refused_moves;
    bool group_1_read;
    std::vector<uint64_t> kernel;  // at clock 1000, 1500 and 2500, over 112 processors
    uint64_t user;
    size_t moves;
  } cases[] = {
      {"job leaves group 1 out", only_group_0, {}, true, {112000, 168000, 280000}, 0, 0},
      {"move onto group 1 refused later", {}, {4}, true, {4000, 60000, 172000}, 300, 6},
      {"way back refused", {}, {2}, true, {4000, 60000, 172000}, 300, 3},
      {"group 1 gives no times", {}, {}, false, {112000, 168000, 280000}, 0, 3},
  };
  for (const auto& c : cases) {
    ScriptedGroups script = two_groups();
    script.job = c.job;
    script.refused_moves = c.refused_moves;
    if (!c.group_1_read) script.times[1] = std::nullopt;
    ProcessorGroups figures(script);
    EXPECT_EQ(figures.processor_count(), 112u) << c.name;
    const uint64_t clocks[] = {1000, 1500, 2500};
    for (size_t i = 0; i < std::size(clocks); ++i) {
      script.clock = clocks[i];
      const std::optional<MachineTimes> times = figures.machine_times();
      ASSERT_TRUE(times) << c.name << " " << i;
      EXPECT_EQ(times->kernel_100ns, c.kernel[i]) << c.name << " " << i;
      EXPECT_EQ(times->user_100ns, c.user) << c.name << " " << i;
    }
    EXPECT_EQ(script.moves.size(), c.moves) << c.name;
  }
}

// The system's own calls, on this machine: the groups count every active processor, the process
// may be moved onto the processors it is allowed and back, and the clock does not go back.
TEST(ProcessorGroups, SystemCallsDescribeThisMachine) {
  SystemProcessorGroups system;
  const std::vector<GroupProcessors> groups = system.active_groups();
  ASSERT_FALSE(groups.empty());
  uint32_t processors = 0;
  for (const GroupProcessors& group : groups) {
    EXPECT_EQ(static_cast<uint32_t>(std::popcount(group.mask)), group.count);
    processors += group.count;
  }
  EXPECT_EQ(processors, ::GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
  const std::vector<KAFFINITY> usable =
      usable_masks(groups, system.process_affinity(), system.job_affinities());
  ASSERT_NE(usable.at(0), 0u);
  const uint64_t before = system.clock_100ns();
  GROUP_AFFINITY home{};
  ASSERT_TRUE(system.move_thread(affinity(0, usable[0]), &home));
  EXPECT_TRUE(system.calling_group_times());
  EXPECT_TRUE(system.move_thread(home, nullptr));
  EXPECT_GE(system.clock_100ns(), before);
}

}  // namespace
}  // namespace treemon
