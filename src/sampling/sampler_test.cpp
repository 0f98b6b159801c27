#include "sampling/sampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "support/sample_once.h"
#include "support/scripted_platform.h"

namespace treemon {
namespace {

using std::chrono::milliseconds;

constexpr int64_t WALL_NS = 1700000000123999999;  // 2023-11-14, 123.999999 ms past the second
constexpr uint64_t WALL_S = 1700000000;

struct Proc {
  uint32_t pid;
  uint32_t ppid;
  uint64_t start_s;
};

class SamplerTest : public ::testing::Test {
 protected:
  SamplerTest() { platform.wall_unix_ns = WALL_NS; }

  ScriptedProcess& add(uint32_t pid, uint32_t ppid, uint64_t start_s, std::string name = "proc",
                       std::vector<std::string> arguments = {}) {
    ScriptedProcess process;
    process.pid = pid;
    process.parent_pid = ppid;
    process.name = std::move(name);
    process.times = ProcessTimes{start_s, 0, 0};
    process.command_line = {true, std::move(arguments)};
    return platform.add(std::move(process));
  }

  Snapshot take(uint32_t root, const ExternalProcessMap& externals = {},
                std::optional<std::string> request_id = std::nullopt) {
    return sample(state, root, externals, std::move(request_id));
  }

  ScriptedPlatform platform;
  SamplerState state{platform};
};

ScriptedProcess process_with_pid(uint32_t pid) {
  ScriptedProcess process;
  process.pid = pid;
  return process;
}

std::vector<uint32_t> row_pids(const Snapshot& snapshot) {
  std::vector<uint32_t> pids;
  for (const auto& row : snapshot.processes) pids.push_back(row.pid);
  return pids;
}

std::vector<ExternalProcess> sorted_externals(const Snapshot& snapshot) {
  auto externals = snapshot.externalProcesses;
  std::sort(externals.begin(), externals.end(),
            [](const auto& a, const auto& b) { return a.pid < b.pid; });
  return externals;
}

struct SelectionCase {
  const char* what;
  std::vector<Proc> processes;
  uint32_t root;
  ExternalProcessMap externals;
  std::vector<uint32_t> rows;
  std::vector<ExternalProcess> matched;  // ascending by pid
};

// Which processes become rows and which external entries match: the walk's start-time guard,
// cycles, root pid 0, and external matching by pid and by start time to the second.
TEST_F(SamplerTest, SelectsTheTreeAndTheMatchedExternalProcesses) {
  const SelectionCase cases[] = {
      {"root with children and a grandchild; an unrelated process stays out",
       {{10, 1, 100}, {11, 10, 100}, {12, 10, 150}, {13, 12, 160}, {20, 1, 100}, {1, 0, 50}},
       10,
       {},
       {10, 11, 12, 13},
       {}},
      {"root that ended: nothing, and no error", {{11, 10, 100}, {1, 0, 50}}, 10, {}, {}, {}},
      {"child older than its parent is left out with its children",
       {{10, 1, 100}, {11, 10, 99}, {12, 11, 200}, {13, 10, 100}},
       10,
       {},
       {10, 13},
       {}},
      {"start time 0 is followed only from a parent with start time 0",
       {{10, 1, 100}, {11, 10, 0}, {12, 11, 0}},
       10,
       {},
       {10},
       {}},
      {"a parent with start time 0 has all its children followed",
       {{10, 1, 0}, {11, 10, 0}, {12, 10, 500}, {13, 12, 600}},
       10,
       {},
       {10, 11, 12, 13},
       {}},
      {"a process that is its own parent gives one row and the pass ends",
       {{10, 10, 100}, {11, 10, 100}},
       10,
       {},
       {10, 11},
       {}},
      {"a cycle of parent links gives one row per process",
       {{10, 12, 100}, {11, 10, 100}, {12, 11, 100}, {13, 12, 100}},
       10,
       {},
       {10, 11, 12, 13},
       {}},
      // Process 0 is never opened, so its start time is 0 and no parentless process is older.
      {"root pid 0 follows every parentless process and its descendants",
       {{0, 0, 0}, {1, 0, 10}, {2, 1, 20}, {5, 0, 9}, {6, 5, 30}, {8, 3, 40}},
       0,
       {},
       {0, 1, 2, 5, 6},
       {}},
      {"root pid 0 without a process 0: nothing", {{1, 0, 10}, {2, 1, 20}}, 0, {}, {}, {}},
      {"external 999 ms after its whole second matches, reported at the second",
       {{10, 1, 100}, {30, 1, 500}},
       10,
       {{30, 500999}},
       {10, 30},
       {{30, 500000}}},
      {"external 1 ms before its whole second does not match",
       {{10, 1, 100}, {30, 1, 500}},
       10,
       {{30, 499999}},
       {10},
       {}},
      {"external at exactly the whole second matches",
       {{10, 1, 100}, {30, 1, 500}},
       10,
       {{30, 500000}},
       {10, 30},
       {{30, 500000}}},
      {"unmatched external inside the tree is still a row, without an external entry",
       {{10, 1, 100}, {11, 10, 500}},
       10,
       {{11, 499999}},
       {10, 11},
       {}},
      {"external without a start time matches by pid alone",
       {{10, 1, 100}, {30, 1, 777}},
       10,
       {{30, std::nullopt}},
       {10, 30},
       {{30, 777000}}},
      {"external pid that the table does not hold is dropped",
       {{10, 1, 100}},
       10,
       {{31, std::nullopt}, {32, 5000}},
       {10},
       {}},
      {"external that is also the root: one row, one entry",
       {{10, 1, 100}},
       10,
       {{10, std::nullopt}},
       {10},
       {{10, 100000}}},
      {"external inside the root's tree: one row, one entry",
       {{10, 1, 100}, {11, 10, 100}},
       10,
       {{11, 100000}},
       {10, 11},
       {{11, 100000}}},
      {"descendants of a matched external are rows, with the start-time guard",
       {{10, 1, 100}, {30, 1, 200}, {31, 30, 200}, {32, 31, 300}, {33, 30, 199}},
       10,
       {{30, std::nullopt}},
       {10, 30, 31, 32},
       {{30, 200000}}},
      {"external matched while the root has ended",
       {{30, 1, 200}, {31, 30, 200}},
       10,
       {{30, 200123}},
       {30, 31},
       {{30, 200000}}},
      {"rows ascend by pid (unsigned) whatever the tree's shape",
       {{50, 1, 1}, {4000000000u, 50, 1}, {7, 4000000000u, 1}, {20, 50, 1}, {3, 7, 1}},
       50,
       {},
       {3, 7, 20, 50, 4000000000u},
       {}},
  };
  for (const auto& c : cases) {
    ScriptedPlatform platform;
    SamplerState state(platform);
    for (const Proc& p : c.processes) {
      ScriptedProcess process;
      process.pid = p.pid;
      process.parent_pid = p.ppid;
      process.times = ProcessTimes{p.start_s, 0, 0};
      platform.add(process);
    }
    const Snapshot snapshot = sample(state, c.root, c.externals, std::nullopt);
    EXPECT_EQ(row_pids(snapshot), c.rows) << c.what;
    EXPECT_EQ(sorted_externals(snapshot), c.matched) << c.what;
    EXPECT_EQ(snapshot.scannedProcessCount, c.processes.size()) << c.what;
    EXPECT_EQ(snapshot.retainedProcessCount, c.rows.size()) << c.what;
    EXPECT_EQ(snapshot.inaccessibleProcessCount, 0u) << c.what;
  }
}

// Every field of a row, from the table's figures.
TEST_F(SamplerTest, DerivesEveryFieldOfARow) {
  ScriptedProcess& p = add(42, 7, WALL_S - 90, "worker.exe", {"C:\\my tools\\w.exe", "-x", "a"});
  p.state = ProcessState{ProcessStateKind::Sleep};
  p.times = ProcessTimes{WALL_S - 90, 30000, 12345};  // 100 ns units: 4.2345 ms
  p.io = IoTotals{111, 222};
  p.memory = MemoryFigures{333, 444};
  const Snapshot snapshot = take(42);

  ASSERT_EQ(snapshot.processes.size(), 1u);
  const ProcessSample& row = snapshot.processes[0];
  EXPECT_EQ(row.pid, 42u);
  EXPECT_EQ(row.ppid, 7u);
  EXPECT_EQ(row.startTimeMs, (WALL_S - 90) * 1000);
  EXPECT_EQ(row.runTimeMs, 90000u);
  EXPECT_EQ(row.name.view(), "worker.exe");
  EXPECT_EQ(row.command.view(), "C:\\my tools\\w.exe -x a");
  EXPECT_EQ(row.status.view(), "Sleep");
  EXPECT_EQ(row.cpuPercent, 0.0f);
  EXPECT_EQ(row.cpuTimeMs, 4u);
  EXPECT_EQ(row.residentBytes, 333u);
  EXPECT_EQ(row.virtualBytes, 444u);
  EXPECT_EQ(row.ioReadBytes, 111u);
  EXPECT_EQ(row.ioWriteBytes, 222u);
  EXPECT_EQ(row.ioSemantics, IoSemantics::AllIo);
}

struct TextCase {
  const char* what;
  std::string name;
  std::vector<std::string> arguments;
  ProcessState state;
  std::string expected_name;
  std::string expected_command;
  std::string expected_status;
};

// Names, commands and states: joining, the name as command, and the byte limits.
// A pass reads the I/O, memory and command line of the processes it reports, once each, and of
// no other process; the rest of the machine costs only its listing.
TEST_F(SamplerTest, ReadsFiguresOnlyOfReportedProcesses) {
  add(10, 1, WALL_S - 5);
  add(11, 10, WALL_S - 4);
  for (uint32_t pid = 100; pid < 200; ++pid) add(pid, 1, WALL_S - 3);
  take(10);
  take(10);
  EXPECT_EQ(platform.figure_queries[10], 6);  // three groups in each of two passes
  EXPECT_EQ(platform.figure_queries[11], 6);
  for (uint32_t pid = 100; pid < 200; ++pid) EXPECT_EQ(platform.figure_queries.count(pid), 0u);
}

TEST_F(SamplerTest, DerivesTheTexts) {
  const std::string euro = "\xE2\x82\xAC";
  const std::string name_1025 = std::string(1022, 'n') + euro;
  const std::string long_name = std::string(2000, 'm');
  const std::string arg_16383 = std::string(16382, 'a') + "\xC3\xA9";  // 16384 bytes
  const TextCase cases[] = {
      {"arguments joined by single spaces, unquoted",
       "p",
       {"my prog", "x"},
       {},
       "p",
       "my prog x",
       "Run"},
      {"empty arguments kept", "p", {"a", "", "b"}, {}, "p", "a  b", "Run"},
      {"no arguments: the name", "tool", {}, {}, "tool", "tool", "Run"},
      {"name of 1025 bytes cut at 1022; the command has the name uncut",
       name_1025,
       {},
       {},
       std::string(1022, 'n'),
       name_1025,
       "Run"},
      {"a long name is cut for the name, not for the command",
       long_name,
       {},
       {},
       std::string(1024, 'm'),
       long_name,
       "Run"},
      {"command cut to 16384 bytes on a character boundary",
       "p",
       {"x", arg_16383},
       {},
       "p",
       "x " + std::string(16382, 'a'),
       "Run"},
      {"command of exactly 16384 bytes stays", "p", {arg_16383}, {}, "p", arg_16383, "Run"},
      {"unknown state with its code", "p", {"p"}, ProcessState::unknown(7), "p", "p", "Unknown(7)"},
      {"zombie", "p", {"p"}, ProcessState{ProcessStateKind::Zombie}, "p", "p", "Zombie"},
  };
  for (const auto& c : cases) {
    ScriptedPlatform platform;
    SamplerState state(platform);
    ScriptedProcess process;
    process.pid = 5;
    process.name = c.name;
    process.state = c.state;
    process.command_line = {true, c.arguments};
    platform.add(process);
    const Snapshot snapshot = sample(state, 5, {}, std::nullopt);
    ASSERT_EQ(snapshot.processes.size(), 1u) << c.what;
    EXPECT_EQ(snapshot.processes[0].name.view(), c.expected_name) << c.what;
    EXPECT_EQ(snapshot.processes[0].command.view(), c.expected_command) << c.what;
    EXPECT_EQ(snapshot.processes[0].status.view(), c.expected_status) << c.what;
  }
}

// Times that overflow milliseconds saturate; a start time of 0 gives 0.
TEST_F(SamplerTest, StartAndRunTimesSaturate) {
  const uint64_t huge = std::numeric_limits<uint64_t>::max() / 1000 + 1;
  add(1, 0, huge);
  add(2, 1, 0);
  platform.wall_unix_ns = 0;
  const Snapshot snapshot = take(1);
  ASSERT_EQ(row_pids(snapshot), (std::vector<uint32_t>{1}));
  EXPECT_EQ(snapshot.processes[0].startTimeMs, std::numeric_limits<uint64_t>::max());

  SamplerState other(platform);
  const Snapshot zero = sample(other, 2, {}, std::nullopt);
  ASSERT_EQ(zero.processes.size(), 1u);
  EXPECT_EQ(zero.processes[0].startTimeMs, 0u);
  EXPECT_EQ(zero.processes[0].runTimeMs, 0u);
}

// The root's pid taken over by a newer process: a root listed at the configuration is followed
// only while the table holds its entry; once another process holds the pid, the tree is empty and
// external processes are still matched. A root that was not listed at the configuration is the
// first process found under its pid.
TEST_F(SamplerTest, RootPidReusedAfterTheConfigurationIsNotTheRoot) {
  add(10, 1, 100);
  add(11, 10, 100);
  add(20, 1, 50);
  refresh_for_configure(state);
  WatchedProcesses watched = watch(state, 10, {{20, std::nullopt}});
  WatchedProcesses unlisted = watch(state, 30, {});
  EXPECT_NE(watched.root_identity, std::nullopt);
  EXPECT_EQ(unlisted.root_identity, std::nullopt);
  EXPECT_EQ(row_pids(sample(state, watched, std::nullopt)), (std::vector<uint32_t>{10, 11, 20}));

  platform.remove(10);
  platform.remove(11);
  add(10, 1, 300).replaces_opened = true;  // a newer process on the root's pid
  add(12, 10, 300);
  add(30, 1, 400);
  const Snapshot reused = sample(state, watched, std::nullopt);
  EXPECT_EQ(row_pids(reused), (std::vector<uint32_t>{20}));
  EXPECT_EQ(sorted_externals(reused), (std::vector<ExternalProcess>{{20, 50000}}));
  EXPECT_EQ(row_pids(sample(state, unlisted, std::nullopt)), (std::vector<uint32_t>{30}));
}

// A process that takes the root's pid within the root's own start second is a stranger too: the
// root is the table's entry, not a pid and a second.
TEST_F(SamplerTest, RootPidReusedWithinTheSameSecondIsNotTheRoot) {
  add(10, 1, 100);
  refresh_for_configure(state);
  WatchedProcesses watched = watch(state, 10, {});
  EXPECT_EQ(row_pids(sample(state, watched, std::nullopt)), (std::vector<uint32_t>{10}));

  platform.remove(10);
  add(10, 1, 100).replaces_opened = true;
  add(11, 10, 100);
  EXPECT_TRUE(sample(state, watched, std::nullopt).processes.empty());
}

// An external process, once matched, stays that process: a newer one on its pid, even within the
// same second, no longer matches, and naming it again the same way does not change that. A new
// name is matched afresh.
TEST_F(SamplerTest, MatchedExternalProcessIsNotReplacedByANewerOneOnItsPid) {
  add(10, 1, 100);
  add(30, 1, 500);
  refresh_for_configure(state);
  WatchedProcesses watched = watch(state, 10, {{30, 500999}});
  EXPECT_EQ(sorted_externals(sample(state, watched, std::nullopt)),
            (std::vector<ExternalProcess>{{30, 500000}}));

  platform.remove(30);
  add(30, 1, 500).replaces_opened = true;
  const Snapshot replaced = sample(state, watched, std::nullopt);
  EXPECT_TRUE(replaced.externalProcesses.empty());
  EXPECT_EQ(row_pids(replaced), (std::vector<uint32_t>{10}));

  replace_externals(watched, {{30, 500999}});
  EXPECT_TRUE(sample(state, watched, std::nullopt).externalProcesses.empty());
  replace_externals(watched, {{30, std::nullopt}});
  EXPECT_EQ(sorted_externals(sample(state, watched, std::nullopt)),
            (std::vector<ExternalProcess>{{30, 500000}}));
}

// A process keeping four logical processors half busy reads 200 percent: the percentage is of
// one processor, not divided by the processor count.
TEST_F(SamplerTest, CpuPercentAbove100IsKept) {
  platform.processors = 4;
  ScriptedProcess& p = add(9, 1, 100);
  refresh_for_configure(state);
  platform.advance(milliseconds(1000));
  p.times = ProcessTimes{100, 250, 250};
  platform.machine = MachineTimes{600, 400};
  const Snapshot snapshot = take(9);
  ASSERT_EQ(snapshot.processes.size(), 1u);
  EXPECT_FLOAT_EQ(snapshot.processes[0].cpuPercent, 200.0f);
}

// The stamp, the counts, the request id and the version of a snapshot.
TEST_F(SamplerTest, StampsCountsAndRequestId) {
  add(1, 0, 10);
  add(2, 1, 10);
  add(3, 0, 10);
  const Snapshot snapshot = take(1, {}, "r1");
  EXPECT_EQ(snapshot.version, 2u);
  EXPECT_EQ(snapshot.sampledAtUnixMs, 1700000000123u);
  EXPECT_EQ(snapshot.scannedProcessCount, 3u);
  EXPECT_EQ(snapshot.retainedProcessCount, 2u);
  EXPECT_EQ(snapshot.inaccessibleProcessCount, 0u);
  EXPECT_EQ(snapshot.requestId, std::optional<std::string>("r1"));

  platform.wall_unix_ns = -5000000;
  const Snapshot periodic = take(1);
  EXPECT_FALSE(periodic.requestId.has_value());
  EXPECT_EQ(periodic.sampledAtUnixMs, 0u);
}

TEST_F(SamplerTest, EmptyTableGivesAnEmptySnapshot) {
  add(1, 0, 10);
  platform.list_fails = true;
  const Snapshot snapshot = take(1, {{1, std::nullopt}});
  EXPECT_EQ(snapshot.scannedProcessCount, 0u);
  EXPECT_TRUE(snapshot.processes.empty());
  EXPECT_TRUE(snapshot.externalProcesses.empty());
  EXPECT_EQ(snapshot.sequence, 1u);
}

// The sequence: 1 first, one more per pass, not reset by a configuration refresh, saturating.
TEST_F(SamplerTest, SequenceRisesAndSaturates) {
  add(1, 0, 10);
  EXPECT_EQ(take(1).sequence, 1u);
  EXPECT_EQ(take(1).sequence, 2u);
  refresh_for_configure(state);
  EXPECT_EQ(take(1).sequence, 3u);
  EXPECT_EQ(state.last_sequence, 3u);

  state.last_sequence = std::numeric_limits<uint64_t>::max() - 1;
  EXPECT_EQ(take(1).sequence, std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(take(1).sequence, std::numeric_limits<uint64_t>::max());
}

// A platform whose process list takes 7 ms of monotonic time, so that a pass has a measurable
// collection duration next to its pacing wait.
class SlowListingPlatform final : public ProcessPlatform {
 public:
  ScriptedPlatform inner;
  MonoTime monotonic_now() override { return inner.monotonic_now(); }
  int64_t wall_now_unix_ns() override { return inner.wall_now_unix_ns(); }
  void sleep_for(std::chrono::nanoseconds d) override { inner.sleep_for(d); }
  uint32_t processor_count() override { return inner.processor_count(); }
  bool list_processes(std::vector<ListedProcess>& out, const OpenedProcesses& opened) override {
    inner.advance(milliseconds(7));
    return inner.list_processes(out, opened);
  }
  std::unique_ptr<ProcessHandle> open_process(const ListedProcess& l) override {
    return inner.open_process(l);
  }
  std::optional<ProcessTimes> process_times(ProcessHandle& h) override {
    return inner.process_times(h);
  }
  std::optional<MachineTimes> machine_times() override { return inner.machine_times(); }
  std::optional<IoTotals> io_totals(ProcessHandle& h) override { return inner.io_totals(h); }
  std::optional<MemoryFigures> memory(ProcessHandle& h) override { return inner.memory(h); }
  CommandLineRead command_line(ProcessHandle& h) override { return inner.command_line(h); }
};

// Pacing: a pass sooner than 200 ms after the previous refresh sleeps for the rest, and the
// sleep is not part of the collection duration.
TEST(SamplerPacingTest, TwoPasses150MsApartSleep50MsOutsideTheDuration) {
  SlowListingPlatform platform;
  platform.inner.add(process_with_pid(1));
  SamplerState state(platform);

  const Snapshot first = sample(state, 1, {}, std::nullopt);
  EXPECT_TRUE(platform.inner.sleeps.empty());
  EXPECT_EQ(first.collectionDurationMicros, 7000u);
  ASSERT_TRUE(state.last_refresh.has_value());
  EXPECT_EQ(*state.last_refresh, platform.inner.monotonic);

  platform.inner.advance(milliseconds(150));
  const Snapshot second = sample(state, 1, {}, std::nullopt);
  EXPECT_EQ(platform.inner.sleeps, (std::vector<std::chrono::nanoseconds>{milliseconds(50)}));
  EXPECT_EQ(second.collectionDurationMicros, 7000u);
}

struct PacingCase {
  const char* what;
  bool configure_first;
  std::chrono::nanoseconds advance;  // after the first refresh
  std::vector<std::chrono::nanoseconds> sleeps;
};

// How long a pass waits after the previous refresh, whichever operation made it.
TEST(SamplerPacingTest, WaitsForTheRestOf200Ms) {
  using std::chrono::nanoseconds;
  const PacingCase cases[] = {
      {"right after a configuration refresh", true, nanoseconds(0), {milliseconds(200)}},
      {"150 ms after a configuration refresh", true, milliseconds(150), {milliseconds(50)}},
      {"1 ns short of 200 ms", true, milliseconds(200) - nanoseconds(1), {nanoseconds(1)}},
      {"exactly 200 ms: no wait", true, milliseconds(200), {}},
      {"more than 200 ms: no wait", true, milliseconds(5000), {}},
      {"after a pass, 10 ms later", false, milliseconds(10), {milliseconds(190)}},
      {"monotonic clock earlier than the last refresh counts as 0 elapsed",
       true,
       -milliseconds(500),
       {milliseconds(200)}},
  };
  for (const auto& c : cases) {
    ScriptedPlatform platform;
    platform.add(process_with_pid(1));
    SamplerState state(platform);
    if (c.configure_first) {
      refresh_for_configure(state);
      EXPECT_TRUE(platform.sleeps.empty()) << c.what << ": the configuration refresh never waits";
    } else {
      sample(state, 1, {}, std::nullopt);
    }
    platform.advance(c.advance);
    sample(state, 1, {}, std::nullopt);
    const std::vector<nanoseconds> expected_sleeps = c.sleeps;
    EXPECT_EQ(platform.sleeps, expected_sleeps) << c.what;
  }
}

// Unchanged texts are shared with the previous pass (and so with the history's copies); a
// changed text gets its own buffer; a pid that left is forgotten.
TEST_F(SamplerTest, SharesUnchangedTextsBetweenPasses) {
  add(1, 0, 10, "init", {"/sbin/init", "splash"});
  add(2, 1, 10, "shell", {"bash"});
  const Snapshot first = take(1);
  const Snapshot second = take(1);
  ASSERT_EQ(first.processes.size(), 2u);
  ASSERT_EQ(second.processes.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_TRUE(second.processes[i].name.shares_with(first.processes[i].name));
    EXPECT_TRUE(second.processes[i].command.shares_with(first.processes[i].command));
    EXPECT_TRUE(second.processes[i].status.shares_with(first.processes[i].status));
  }

  platform.process(2)->command_line = {true, {"bash", "-l"}};
  const Snapshot third = take(1);
  EXPECT_EQ(third.processes[1].command.view(), "bash -l");
  EXPECT_FALSE(third.processes[1].command.shares_with(second.processes[1].command));
  EXPECT_TRUE(third.processes[1].name.shares_with(second.processes[1].name));
  EXPECT_EQ(second.processes[1].command.view(), "bash");

  platform.remove(2);
  EXPECT_EQ(take(1).processes.size(), 1u);
  EXPECT_EQ(state.text_cache().size(), 1u);
}

}  // namespace
}  // namespace treemon
