#include "procinfo/process_table.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>

#include "support/scripted_platform.h"

namespace treemon {
namespace {

using std::chrono::milliseconds;
constexpr uint64_t U64_MAX = std::numeric_limits<uint64_t>::max();
constexpr int64_t NS_PER_S = 1000000000;

ProcessTimes times(uint64_t start_s, uint64_t kernel, uint64_t user) {
  return ProcessTimes{start_s, kernel, user};
}

class ProcessTableTest : public ::testing::Test {
 protected:
  ScriptedPlatform platform;

  ProcessTableTest() {
    platform.wall_unix_ns = 1700000000 * NS_PER_S;
    platform.processors = 2;
  }

  ScriptedProcess& add(uint32_t pid, uint32_t parent = 1, std::string name = "worker") {
    ScriptedProcess p;
    p.pid = pid;
    p.parent_pid = parent;
    p.name = std::move(name);
    p.times = times(1699999000, 0, 0);
    return platform.add(std::move(p));
  }
  void set_cpu(uint32_t pid, uint64_t kernel, uint64_t user) {
    platform.process(pid)->times->kernel_100ns = kernel;
    platform.process(pid)->times->user_100ns = user;
  }
  void set_machine(uint64_t kernel, uint64_t user) {
    platform.machine = MachineTimes{kernel, user};
  }
  static void refresh(ProcessTable& table) {
    table.refresh(RefreshOptions::everything(), true);
    table.read_all_figures();
    table.read_all_figures();
  }
};

// A new table holds nothing and has touched nothing.
TEST_F(ProcessTableTest, NewTableIsEmptyAndOpensNothing) {
  add(10);
  ProcessTable table(platform);
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.find(10), nullptr);
  EXPECT_TRUE(table.entries().empty());
  EXPECT_EQ(table.processor_count(), 0u);
  EXPECT_TRUE(platform.open_count.empty());
}

// Creation copies the list's fields and reads every figure group at once.
TEST_F(ProcessTableTest, CreationTakesListFieldsAndFigures) {
  ScriptedProcess& p = add(10, 4, "server");
  p.times = times(1699999000, 12345678, 7654322);
  p.io = IoTotals{111, 222};
  p.memory = MemoryFigures{4096, 8192};
  p.command_line = {true, {"server", "--port", "80"}};
  p.state = ProcessState{ProcessStateKind::Sleep};
  ProcessTable table(platform);
  refresh(table);

  const ProcessInfo* info = table.find(10);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->pid, 10u);
  EXPECT_EQ(info->parent_pid, 4u);
  EXPECT_EQ(info->name, "server");
  EXPECT_EQ(info->state.text(), "Sleep");
  EXPECT_EQ(info->cpu_time_ms, 2000u);
  EXPECT_EQ(info->cpu_percent, 0.0f);
  EXPECT_EQ(info->read_bytes, 111u);
  EXPECT_EQ(info->written_bytes, 222u);
  EXPECT_EQ(info->resident_bytes, 4096u);
  EXPECT_EQ(info->virtual_bytes, 8192u);
  EXPECT_EQ(info->arguments, (std::vector<std::string>{"server", "--port", "80"}));
  EXPECT_EQ(info->start_time_s, 1699999000u);
  EXPECT_EQ(info->run_time_s, 1000u);
  EXPECT_EQ(table.processor_count(), 2u);
  EXPECT_EQ(table.size(), 1u);
  ASSERT_EQ(table.entries().size(), 1u);
  EXPECT_EQ(table.entries()[0], info);
}

// The CPU percentage: creation reading, under-200-ms readings, the first interval measured from
// the creation reading, then the next interval, with exact floats.
TEST_F(ProcessTableTest, CpuReadingsFollowTheIntervalRule) {
  add(10);
  set_cpu(10, 3000000, 2000000);
  set_machine(15000000, 5000000);
  ProcessTable table(platform);
  refresh(table);
  EXPECT_EQ(table.find(10)->cpu_percent, 0.0f);
  EXPECT_EQ(table.find(10)->cpu_time_ms, 500u);

  // 199 ms later: not an interval reading, but cpu_time_ms follows.
  platform.advance(milliseconds(199));
  set_cpu(10, 3000000, 2010000);
  refresh(table);
  EXPECT_EQ(table.find(10)->cpu_percent, 0.0f);
  EXPECT_EQ(table.find(10)->cpu_time_ms, 501u);

  // Exactly 200 ms after that reading: the interval since the creation reading, not the whole
  // life against the machine's since boot: 2 * (1010000 / 2020000 * 100).
  platform.advance(milliseconds(200));
  set_cpu(10, 3500000, 2510000);
  set_machine(16010000, 6010000);
  refresh(table);
  EXPECT_EQ(table.find(10)->cpu_percent, 100.0f);

  // The next interval: 3000000 of 4000000 on two processors.
  platform.advance(milliseconds(250));
  set_cpu(10, 4250000, 4760000);
  set_machine(18010000, 8010000);
  refresh(table);
  EXPECT_EQ(table.find(10)->cpu_percent, 150.0f);
  EXPECT_EQ(table.find(10)->cpu_time_ms, 901u);

  // A clock 10 ms ahead of a 1 s interval of a process of one thread: one processor, not 101 %.
  platform.process(10)->threads = 1;
  platform.advance(milliseconds(1000));
  set_cpu(10, 4250000, 4760000 + 10100000);
  set_machine(18010000, 8010000 + 20000000);
  refresh(table);
  EXPECT_EQ(table.find(10)->cpu_percent, 100.0f);
}

// Readings closer than 200 ms keep moving the reading time, so they never become an interval.
TEST_F(ProcessTableTest, ShortReadingsHoldThePercentage) {
  add(10);
  ProcessTable table(platform);
  refresh(table);
  set_machine(100, 100);
  set_cpu(10, 10, 40);
  platform.advance(milliseconds(300));
  refresh(table);
  EXPECT_EQ(table.find(10)->cpu_percent, 50.0f);  // 2 * 50 / 200 * 100
  for (int i = 0; i < 5; ++i) {
    platform.advance(milliseconds(150));
    set_cpu(10, 10, 40 + 100 * (i + 1));
    set_machine(100, 200 + 100 * (i + 1));
    refresh(table);
    EXPECT_EQ(table.find(10)->cpu_percent, 50.0f) << i;
  }
}

// Sums saturate at 2^64-1 instead of wrapping.
TEST_F(ProcessTableTest, SumsSaturate) {
  add(10);
  ProcessTable table(platform);
  refresh(table);
  set_cpu(10, U64_MAX, 5);
  set_machine(U64_MAX, 7);
  platform.advance(milliseconds(200));
  refresh(table);
  EXPECT_EQ(table.find(10)->cpu_time_ms, U64_MAX / 10000);
  // Both sums saturate to the same value: 2 * (1 * 100).
  EXPECT_EQ(table.find(10)->cpu_percent, 200.0f);
}

// Failed time queries count as zero; failed I/O and memory queries keep the old figures.
TEST_F(ProcessTableTest, FailedQueries) {
  ScriptedProcess& p = add(10);
  p.times = times(1699999000, 40000, 60000);
  p.io = IoTotals{5, 6};
  p.memory = MemoryFigures{7, 8};
  p.command_line = {true, {"a", "b"}};
  set_machine(500000, 500000);
  ProcessTable table(platform);
  refresh(table);
  EXPECT_EQ(table.find(10)->cpu_time_ms, 10u);

  ScriptedProcess& q = *platform.process(10);
  q.times.reset();
  q.io.reset();
  q.memory.reset();
  q.command_line = {false, {"ignored"}};
  platform.machine.reset();
  platform.advance(milliseconds(200));
  refresh(table);
  const ProcessInfo* info = table.find(10);
  EXPECT_EQ(info->cpu_time_ms, 0u);
  EXPECT_EQ(info->cpu_percent, 0.0f);  // both machine times read as 0
  EXPECT_EQ(info->read_bytes, 5u);
  EXPECT_EQ(info->written_bytes, 6u);
  EXPECT_EQ(info->resident_bytes, 7u);
  EXPECT_EQ(info->virtual_bytes, 8u);
  EXPECT_EQ(info->arguments, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(info->start_time_s, 1699999000u) << "start time is taken at creation only";

  // An unreadable command-line text empties the list.
  q.command_line = {true, {}};
  refresh(table);
  EXPECT_TRUE(table.find(10)->arguments.empty());
}

// A creation time that cannot be read is reported as 0 ("unknown").
TEST_F(ProcessTableTest, UnreadableStartTimeIsZero) {
  add(10).times.reset();
  add(11).times = ProcessTimes{std::nullopt, 10000, 0};
  ProcessTable table(platform);
  refresh(table);
  for (uint32_t pid : {10u, 11u}) {
    EXPECT_EQ(table.find(pid)->start_time_s, 0u);
    EXPECT_EQ(table.find(pid)->run_time_s, 1700000000u);
  }
  EXPECT_EQ(table.find(11)->cpu_time_ms, 1u);
}

// Pid 0 is never opened and a process that cannot be opened shows only the list's fields.
TEST_F(ProcessTableTest, UnopenedProcessesShowListFieldsOnly) {
  for (uint32_t pid : {0u, 10u}) {
    ScriptedProcess& p = add(pid, pid == 0 ? 0 : 1, pid == 0 ? "System Idle" : "locked");
    p.times = times(1699990000, 50000, 50000);
    p.io = IoTotals{1, 2};
    p.memory = MemoryFigures{3, 4};
    p.command_line = {true, {"x"}};
  }
  platform.process(10)->can_open = false;
  set_machine(100000, 100000);
  ProcessTable table(platform);
  refresh(table);
  platform.advance(milliseconds(500));
  refresh(table);
  EXPECT_EQ(platform.open_count.count(0), 0u);
  EXPECT_EQ(platform.open_count[10], 2) << "tried again at each refresh";
  for (uint32_t pid : {0u, 10u}) {
    const ProcessInfo* info = table.find(pid);
    ASSERT_NE(info, nullptr) << pid;
    EXPECT_EQ(info->cpu_percent, 0.0f);
    EXPECT_EQ(info->cpu_time_ms, 0u);
    EXPECT_EQ(info->resident_bytes, 0u);
    EXPECT_EQ(info->virtual_bytes, 0u);
    EXPECT_EQ(info->read_bytes, 0u);
    EXPECT_EQ(info->written_bytes, 0u);
    EXPECT_TRUE(info->arguments.empty());
    EXPECT_EQ(info->start_time_s, 0u);
    EXPECT_EQ(info->run_time_s, 1700000000u);
  }
  EXPECT_EQ(table.find(0)->parent_pid, std::nullopt);
  EXPECT_EQ(table.find(0)->name, "System Idle");
  EXPECT_EQ(table.find(10)->parent_pid, 1u);
}

// run_time_s uses one truncated wall-clock reading per refresh and never goes below 0.
TEST_F(ProcessTableTest, RunTimeFromTheRefreshWallClock) {
  struct Case {
    int64_t wall_ns;
    uint64_t start_s;
    uint64_t expected;
  };
  const Case cases[] = {
      {1000 * NS_PER_S + 999999999, 400, 600},  // truncated, not rounded
      {1000 * NS_PER_S, 1000, 0},
      {1000 * NS_PER_S, 1001, 0},  // start after now: floored
      {-5 * NS_PER_S, 0, 0},       // before 1970 counts as 0
      {-5 * NS_PER_S, 7, 0},
  };
  for (const Case& c : cases) {
    ScriptedPlatform world;
    ScriptedProcess p;
    p.pid = 3;
    p.times = times(c.start_s, 0, 0);
    world.add(p);
    world.wall_unix_ns = c.wall_ns;
    ProcessTable table(world);
    table.refresh(RefreshOptions::everything(), true);
    table.read_all_figures();
    EXPECT_EQ(table.find(3)->run_time_s, c.expected) << c.wall_ns << " " << c.start_s;
  }
}

// Start time and handle stay those of creation; name, parent, state and figures follow the list
// (a Linux process that execs another program is listed under the new name).
TEST_F(ProcessTableTest, EntryKeepsIdentityAndFollowsFigures) {
  add(10, 4, "first");
  ProcessTable table(platform);
  refresh(table);
  ScriptedProcess& p = *platform.process(10);
  p.name = "renamed";
  p.times->start_time_s = 5;  // not in the list, so not a new process
  p.parent_pid = 0;
  p.state = ProcessState{ProcessStateKind::Zombie};
  p.io = IoTotals{9, 9};
  platform.wall_unix_ns += 3 * NS_PER_S;
  refresh(table);
  const ProcessInfo* info = table.find(10);
  EXPECT_EQ(info->name, "renamed");
  EXPECT_EQ(info->start_time_s, 1699999000u);
  EXPECT_EQ(info->run_time_s, 1003u);
  EXPECT_EQ(info->parent_pid, std::nullopt);
  EXPECT_EQ(info->state.text(), "Zombie");
  EXPECT_EQ(info->read_bytes, 9u);
  EXPECT_EQ(platform.open_count[10], 1);
  EXPECT_EQ(platform.open_handles, 1);
}

// Ended processes are removed (handle closed) only with remove_ended; destruction closes all.
TEST_F(ProcessTableTest, RemovalClosesHandles) {
  add(10);
  add(11);
  auto table = std::make_unique<ProcessTable>(platform);
  refresh(*table);
  EXPECT_EQ(platform.open_handles, 2);
  platform.remove(11);
  table->refresh(RefreshOptions::everything(), false);
  table->read_all_figures();
  EXPECT_NE(table->find(11), nullptr);
  EXPECT_EQ(platform.open_handles, 2);
  refresh(*table);
  EXPECT_EQ(table->find(11), nullptr);
  EXPECT_EQ(table->entries().size(), 1u);
  EXPECT_EQ(platform.open_handles, 1);
  table.reset();
  EXPECT_EQ(platform.open_handles, 0);
}

// A list that cannot be taken empties the table; the next refresh creates every entry anew.
TEST_F(ProcessTableTest, FailedListEmptiesTheTable) {
  add(10);
  ProcessTable table(platform);
  refresh(table);
  set_machine(0, 1000);
  set_cpu(10, 0, 500);
  platform.advance(milliseconds(200));
  refresh(table);
  EXPECT_EQ(table.find(10)->cpu_percent, 100.0f);
  const uint64_t identity = table.find(10)->identity;

  platform.list_fails = true;
  table.refresh(RefreshOptions::everything(), false);
  table.read_all_figures();
  EXPECT_EQ(table.size(), 1u) << "nothing is removed without remove_ended";
  refresh(table);
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(platform.open_handles, 0);

  platform.list_fails = false;
  platform.advance(milliseconds(200));
  refresh(table);
  EXPECT_EQ(table.find(10)->cpu_percent, 0.0f);
  EXPECT_EQ(platform.open_count[10], 2);
  EXPECT_EQ(table.find(10)->identity, identity) << "nothing said that the process ended";
  set_machine(0, 1200);
  set_cpu(10, 0, 600);
  platform.advance(milliseconds(200));
  refresh(table);
  EXPECT_EQ(table.find(10)->cpu_percent, 100.0f) << "measured from the new entry's first reading";
}

// A listed start time that differs from the entry's means the pid was reused: new entry.
TEST_F(ProcessTableTest, ReusedPidGetsANewEntry) {
  ScriptedProcess& p = add(10, 1, "old");
  p.list_start_time = true;
  ProcessTable table(platform);
  refresh(table);
  set_machine(0, 1000);
  set_cpu(10, 0, 500);
  platform.advance(milliseconds(200));
  refresh(table);
  EXPECT_EQ(table.find(10)->cpu_percent, 100.0f);

  platform.remove(10);
  ScriptedProcess& reused = add(10, 7, "new");
  reused.list_start_time = true;
  reused.times = times(1699999500, 0, 100);
  platform.advance(milliseconds(200));
  refresh(table);
  const ProcessInfo* info = table.find(10);
  EXPECT_EQ(info->name, "new");
  EXPECT_EQ(info->start_time_s, 1699999500u);
  EXPECT_EQ(info->parent_pid, 7u);
  EXPECT_EQ(info->cpu_percent, 0.0f);
  EXPECT_EQ(platform.open_count[10], 2);
  EXPECT_EQ(platform.open_handles, 1);

  set_cpu(10, 0, 200);
  set_machine(0, 2000);
  platform.advance(milliseconds(200));
  refresh(table);
  EXPECT_EQ(table.find(10)->cpu_percent, 20.0f) << "measured from the new entry's first reading";

  // The same start time again is the same process.
  refresh(table);
  EXPECT_EQ(platform.open_count[10], 2);
}

// A platform that knows the opened process ended reports its pid's new owner as new, even when
// both started within the same second.
TEST_F(ProcessTableTest, ListedReplacementOfAnOpenedProcessIsANewEntry) {
  ScriptedProcess& p = add(10, 1, "old");
  p.list_start_time = true;
  ProcessTable table(platform);
  refresh(table);
  const uint64_t identity = table.find(10)->identity;
  platform.remove(10);
  ScriptedProcess& reused = add(10, 1, "new");
  reused.list_start_time = true;  // the same whole second as the old one
  reused.replaces_opened = true;
  refresh(table);
  EXPECT_EQ(table.find(10)->name, "new");
  EXPECT_NE(table.find(10)->identity, identity);
  EXPECT_EQ(platform.open_count[10], 2);
  EXPECT_EQ(platform.open_handles, 1);
  platform.process(10)->replaces_opened = false;
  refresh(table);
  EXPECT_EQ(platform.open_count[10], 2) << "an entry that is not replaced is kept";
}

// A pid whose process could not be opened is tried again at each refresh (one failed open per
// refresh while it stays shut). Once it opens, a new process has taken the pid, which the list
// alone cannot tell: a new entry with its own start time and figures, CPU from its first reading.
TEST_F(ProcessTableTest, UnopenedPidThatOpensLaterIsANewEntry) {
  add(10, 1, "locked").can_open = false;
  set_machine(0, 1000);
  ProcessTable table(platform);
  refresh(table);
  platform.advance(milliseconds(200));
  refresh(table);
  EXPECT_EQ(platform.open_count[10], 2);
  EXPECT_EQ(table.find(10)->start_time_s, 0u);

  platform.remove(10);
  ScriptedProcess& reused = add(10, 7, "new");
  reused.times = times(1699999500, 0, 500000);
  reused.command_line = {true, {"new", "-x"}};
  set_machine(0, 2000000);
  platform.advance(milliseconds(200));
  refresh(table);
  const ProcessInfo* info = table.find(10);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->name, "new");
  EXPECT_EQ(info->start_time_s, 1699999500u);
  EXPECT_EQ(info->cpu_time_ms, 50u);
  EXPECT_EQ(info->cpu_percent, 0.0f);
  EXPECT_EQ(info->arguments, (std::vector<std::string>{"new", "-x"}));
  EXPECT_EQ(platform.open_count[10], 3);
  EXPECT_EQ(platform.open_handles, 1);

  set_machine(0, 4000000);
  set_cpu(10, 0, 1000000);
  platform.advance(milliseconds(200));
  refresh(table);
  EXPECT_EQ(table.find(10)->cpu_percent, 50.0f) << "measured from the new entry's first reading";
  EXPECT_EQ(platform.open_count[10], 3) << "an opened entry is not opened again";
}

// A process that refused to be opened (access denied) is not asked again while the list shows
// its pid under the same name and parent: 200 of them cost 200 opens over ten refreshes, not
// 2000. A failure that may pass is tried at every refresh. A pid listed under another name or
// parent is tried again, and opened when it can be.
TEST_F(ProcessTableTest, RefusedOpenIsRetriedOnlyForAnotherNameOrParent) {
  constexpr uint32_t REFUSING = 200;
  for (uint32_t pid = 100; pid < 100 + REFUSING; ++pid) {
    ScriptedProcess& p = add(pid, 4, "service.exe");
    p.can_open = false;
    p.refuses_open = true;
  }
  add(10, 1, "starting.exe").can_open = false;
  ProcessTable table(platform);
  for (int i = 0; i < 10; ++i) refresh(table);
  int refused_opens = 0;
  for (uint32_t pid = 100; pid < 100 + REFUSING; ++pid) refused_opens += platform.open_count[pid];
  EXPECT_EQ(refused_opens, static_cast<int>(REFUSING));
  EXPECT_EQ(platform.open_count[10], 10);

  struct Case {
    uint32_t pid;
    uint32_t parent;
    std::string name;
    bool can_open;
    int opens;
    bool opened;
  };
  const Case cases[] = {
      {100, 4, "service.exe", true, 1, false},  // the same name and parent: not asked again
      {101, 4, "other.exe", true, 2, true},
      {102, 9, "service.exe", true, 2, true},
      {103, 9, "service.exe", false, 2, false},  // refused again: asked once for the new parent
  };
  for (const Case& c : cases) {
    ScriptedProcess* p = platform.process(c.pid);
    p->parent_pid = c.parent;
    p->name = c.name;
    p->can_open = c.can_open;
    p->times = times(1699999500, 0, 0);
  }
  refresh(table);
  refresh(table);
  for (const Case& c : cases) {
    EXPECT_EQ(platform.open_count[c.pid], c.opens) << c.pid;
    EXPECT_EQ(table.find(c.pid)->start_time_s, c.opened ? 1699999500u : 0u) << c.pid;
    EXPECT_EQ(table.find(c.pid)->name, c.name) << c.pid;
  }
}

// Groups that are not requested keep their values; the processor count comes with cpu only and
// is taken once.
TEST_F(ProcessTableTest, OptionsChooseFigureGroups) {
  ScriptedProcess& p = add(10);
  p.io = IoTotals{1, 1};
  p.memory = MemoryFigures{1, 1};
  p.command_line = {true, {"one"}};
  p.times = times(1699999000, 10000, 0);
  ProcessTable table(platform);
  table.refresh(RefreshOptions{false, false, false, false}, true);
  table.read_all_figures();
  const ProcessInfo* info = table.find(10);
  EXPECT_EQ(table.processor_count(), 0u);
  EXPECT_EQ(info->cpu_time_ms, 0u);
  EXPECT_EQ(info->read_bytes, 0u);
  EXPECT_EQ(info->resident_bytes, 0u);
  EXPECT_TRUE(info->arguments.empty());
  EXPECT_EQ(info->run_time_s, 1000u) << "run time is set whatever the options";

  struct Step {
    RefreshOptions options;
    uint64_t cpu_ms, read, resident;
    size_t arguments;
  };
  const Step steps[] = {
      {{true, false, false, false}, 1, 0, 0, 0},
      {{false, true, false, false}, 1, 2, 0, 0},
      {{false, false, true, false}, 1, 2, 3, 0},
      {{false, false, false, true}, 1, 2, 3, 2},
  };
  for (const Step& s : steps) {
    p.io = IoTotals{2, 2};
    p.memory = MemoryFigures{3, 3};
    p.command_line = {true, {"two", "args"}};
    platform.processors = 8;
    table.refresh(s.options, true);
    table.read_all_figures();
    info = table.find(10);
    EXPECT_EQ(info->cpu_time_ms, s.cpu_ms);
    EXPECT_EQ(info->read_bytes, s.read);
    EXPECT_EQ(info->resident_bytes, s.resident);
    EXPECT_EQ(info->arguments.size(), s.arguments);
    p.times->kernel_100ns += 10000;  // only a cpu refresh may see this
  }
  EXPECT_EQ(table.processor_count(), 8u);
  platform.processors = 16;
  refresh(table);
  EXPECT_EQ(table.processor_count(), 8u) << "taken once, never re-read";
}

// Without the cpu group the reading time does not move, so a later cpu refresh is an interval.
TEST_F(ProcessTableTest, RefreshWithoutCpuLeavesTheReadingTime) {
  add(10);
  ProcessTable table(platform);
  refresh(table);
  set_machine(0, 100);
  set_cpu(10, 0, 50);
  platform.advance(milliseconds(150));
  table.refresh(RefreshOptions{false, true, true, true}, true);
  table.read_all_figures();
  platform.advance(milliseconds(50));
  refresh(table);
  EXPECT_EQ(table.find(10)->cpu_percent, 100.0f);
}

}  // namespace
}  // namespace treemon

namespace treemon {
namespace {

class DeferredFiguresTest : public ::testing::Test {
 protected:
  DeferredFiguresTest() {
    for (uint32_t pid : {10u, 11u}) {
      ScriptedProcess p;
      p.pid = pid;
      p.name = "worker";
      p.io = IoTotals{pid, pid};
      p.memory = MemoryFigures{pid, pid};
      p.command_line = {true, {"worker", std::to_string(pid)}};
      platform.add(std::move(p));
    }
  }
  void refresh(const RefreshOptions& options = RefreshOptions::everything()) {
    table.refresh(options, true);
    table.read_all_figures();
    table.read_all_figures();
  }
  ScriptedPlatform platform;
  ProcessTable table{platform};
};

// The I/O, memory and command line of a refresh are read in phase two only, for the processes
// named, once per refresh however often they are named; lookups and the tree's links never read.
TEST_F(DeferredFiguresTest, ReadOncePerRefreshForTheNamedProcesses) {
  table.refresh(RefreshOptions::everything(), true);
  table.for_each_link([](const ProcessTable::Link&) {});
  EXPECT_EQ(table.find(10)->read_bytes, 0u);
  EXPECT_EQ(table.entries().size(), 2u);
  EXPECT_TRUE(platform.figure_queries.empty());
  const uint32_t ten[] = {10, 10, 99};
  table.read_figures(ten);
  EXPECT_EQ(table.find(10)->read_bytes, 10u);
  EXPECT_EQ(table.find(10)->arguments, (std::vector<std::string>{"worker", "10"}));
  EXPECT_EQ(platform.figure_queries[10], 3);
  EXPECT_EQ(platform.figure_queries.count(11), 0u);
  table.read_all_figures();
  EXPECT_EQ(platform.figure_queries[10], 3);
  EXPECT_EQ(platform.figure_queries[11], 3);
  table.refresh(RefreshOptions::everything(), true);
  table.read_all_figures();
  int visited = 0;
  for (const ProcessInfo* info : table.entries()) visited += info->resident_bytes > 0;
  EXPECT_EQ(visited, 2);
  EXPECT_EQ(platform.figure_queries[10], 6);
}

// Groups not asked for keep their values and are not read; a query that fails when the entry is
// looked at keeps the previous values, as a failed query during a refresh would.
TEST_F(DeferredFiguresTest, OnlyRequestedGroupsAndFailuresKeepValues) {
  refresh();
  ASSERT_EQ(table.find(10)->resident_bytes, 10u);
  platform.process(10)->io = IoTotals{99, 99};
  platform.process(10)->memory = MemoryFigures{99, 99};
  RefreshOptions io_only{};
  io_only.memory = false;
  io_only.command_line = false;
  refresh(io_only);
  EXPECT_EQ(table.find(10)->read_bytes, 99u);
  EXPECT_EQ(table.find(10)->resident_bytes, 10u);
  platform.process(10)->io.reset();
  refresh();
  EXPECT_EQ(table.find(10)->read_bytes, 99u);
  EXPECT_EQ(table.find(10)->resident_bytes, 99u);
}

// A list that defers a process's state and name leaves the entry's as they were until the entry
// is looked at; then they are read once, even with no figure group asked for. A new entry never
// waits: its list gives them.
TEST_F(DeferredFiguresTest, DeferredStateAndNameAreReadWhenLookedAt) {
  ScriptedProcess& ten = *platform.process(10);
  ten.state = ProcessState{ProcessStateKind::Sleep};
  refresh();
  ten.defer_status = true;
  ten.state = ProcessState{ProcessStateKind::Stop};
  ten.name = "renamed";
  table.refresh(RefreshOptions::everything(), true);
  EXPECT_EQ(table.find(10)->state, ProcessState{ProcessStateKind::Sleep});
  EXPECT_EQ(table.find(10)->name, "worker");
  const int queries = platform.figure_queries[10];
  const uint32_t ten_pid[] = {10, 10};
  table.read_figures(ten_pid);
  EXPECT_EQ(table.find(10)->state, ProcessState{ProcessStateKind::Stop});
  EXPECT_EQ(table.find(10)->name, "renamed");
  EXPECT_EQ(platform.figure_queries[10], queries + 4);

  RefreshOptions cpu_only{};
  cpu_only.io = cpu_only.memory = cpu_only.command_line = false;
  ten.state = ProcessState{ProcessStateKind::Run};
  refresh(cpu_only);
  EXPECT_EQ(table.find(10)->state, ProcessState{ProcessStateKind::Run});
  EXPECT_EQ(platform.figure_queries[10], queries + 5);

  platform.remove(10);
  ScriptedProcess reused;
  reused.pid = 10;
  reused.name = "newcomer";
  reused.replaces_opened = true;
  platform.add(reused);
  table.refresh(RefreshOptions::everything(), true);
  EXPECT_EQ(table.find(10)->name, "newcomer");
}

}  // namespace
}  // namespace treemon
