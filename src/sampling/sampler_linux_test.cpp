// The sampler on the real process table: a process tree forked by the test.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "procinfo/platform.h"
#include "sampling/sampler.h"
#include "support/sample_once.h"

namespace treemon {
namespace {

std::string read_cmdline(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The one-letter state in /proc/PID/stat, after the parenthesised name.
char read_state(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  const std::string stat(std::istreambuf_iterator<char>(in), {});
  const size_t name_end = stat.rfind(')');
  return name_end != std::string::npos && name_end + 2 < stat.size() ? stat[name_end + 2] : '?';
}

// Waits (up to 10 s) until the process has become sleep and is asleep in it: from then on its
// command line is sleep's and its state stays "S".
bool wait_for_exec(pid_t pid) {
  for (int i = 0; i < 1000; ++i) {
    if (read_cmdline(pid).rfind("sleep", 0) == 0 && read_state(pid) == 'S') return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

[[noreturn]] void exec_sleep(const char* seconds) {
  execl("/bin/sleep", "sleep", seconds, static_cast<char*>(nullptr));
  _exit(127);
}

// A process the test forked; killed and reaped when it goes out of scope.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { end(); }

  pid_t pid() const { return pid_; }
  void end() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_;
};

// test -> middle ("sleep 3602") -> two leaves ("sleep 3600", "sleep 3601"). The middle process
// sends its children's pids through a pipe before it becomes sleep; when the test kills it, the
// leaves are reparented and killed by pid.
struct ForkedTree {
  std::unique_ptr<Child> middle;
  std::vector<pid_t> leaves;

  ~ForkedTree() {
    for (pid_t leaf : leaves) kill(leaf, SIGKILL);
  }
};

bool fork_tree(ForkedTree& tree) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  const pid_t middle = fork();
  if (middle == 0) {
    close(fds[0]);
    pid_t leaves[2];
    leaves[0] = fork();
    if (leaves[0] == 0) exec_sleep("3600");
    leaves[1] = fork();
    if (leaves[1] == 0) exec_sleep("3601");
    if (write(fds[1], leaves, sizeof leaves) != static_cast<ssize_t>(sizeof leaves)) _exit(126);
    close(fds[1]);
    exec_sleep("3602");
  }
  close(fds[1]);
  if (middle < 0) return false;
  tree.middle = std::make_unique<Child>(middle);
  pid_t leaves[2];
  const bool got = read(fds[0], leaves, sizeof leaves) == static_cast<ssize_t>(sizeof leaves);
  close(fds[0]);
  if (!got) return false;
  tree.leaves = {leaves[0], leaves[1]};
  return wait_for_exec(middle) && wait_for_exec(leaves[0]) && wait_for_exec(leaves[1]);
}

std::unique_ptr<Child> fork_sleeper(const char* seconds) {
  const pid_t pid = fork();
  if (pid == 0) exec_sleep(seconds);
  auto child = std::make_unique<Child>(pid);
  return wait_for_exec(pid) ? std::move(child) : nullptr;
}

const ProcessSample* row_of(const Snapshot& snapshot, pid_t pid) {
  for (const auto& row : snapshot.processes) {
    if (row.pid == static_cast<uint32_t>(pid)) return &row;
  }
  return nullptr;
}

uint64_t wall_ms_now() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

class SamplerLinuxTest : public ::testing::Test {
 protected:
  std::unique_ptr<ProcessPlatform> platform = make_system_platform();
  SamplerState state{*platform};
};

// The rows of a forked tree: exactly its three processes, with their links, texts and figures.
TEST_F(SamplerLinuxTest, SamplesAForkedTree) {
  ForkedTree tree;
  ASSERT_TRUE(fork_tree(tree));
  const pid_t middle = tree.middle->pid();
  const uint64_t before_ms = wall_ms_now();

  const Snapshot snapshot = sample(state, static_cast<uint32_t>(middle), {}, "real");

  std::vector<uint32_t> expected = {static_cast<uint32_t>(middle),
                                    static_cast<uint32_t>(tree.leaves[0]),
                                    static_cast<uint32_t>(tree.leaves[1])};
  std::sort(expected.begin(), expected.end());
  std::vector<uint32_t> pids;
  for (const auto& row : snapshot.processes) pids.push_back(row.pid);
  EXPECT_EQ(pids, expected);
  EXPECT_EQ(snapshot.retainedProcessCount, 3u);
  EXPECT_EQ(snapshot.inaccessibleProcessCount, 0u);
  EXPECT_GT(snapshot.scannedProcessCount, 3u);
  EXPECT_EQ(snapshot.requestId, std::optional<std::string>("real"));
  EXPECT_EQ(snapshot.sequence, 1u);
  EXPECT_GE(snapshot.sampledAtUnixMs, before_ms);
  EXPECT_LE(snapshot.sampledAtUnixMs, wall_ms_now());

  const struct {
    pid_t pid;
    pid_t ppid;
    const char* command;
  } expected_rows[] = {
      {middle, getpid(), "sleep 3602"},
      {tree.leaves[0], middle, "sleep 3600"},
      {tree.leaves[1], middle, "sleep 3601"},
  };
  for (const auto& e : expected_rows) {
    const ProcessSample* row = row_of(snapshot, e.pid);
    ASSERT_NE(row, nullptr) << e.command;
    EXPECT_EQ(row->ppid, static_cast<uint32_t>(e.ppid)) << e.command;
    EXPECT_EQ(row->name.view(), "sleep") << e.command;
    EXPECT_EQ(row->command.view(), e.command) << e.command;
    EXPECT_EQ(row->status.view(), "Sleep") << e.command;
    EXPECT_EQ(row->startTimeMs % 1000, 0u) << e.command;
    EXPECT_LE(row->startTimeMs, snapshot.sampledAtUnixMs) << e.command;
    EXPECT_GE(row->startTimeMs + 60000, before_ms) << e.command;
    EXPECT_GT(row->residentBytes, 0u) << e.command;
    EXPECT_GT(row->virtualBytes, 0u) << e.command;
    EXPECT_EQ(row->ioSemantics, IoSemantics::AllIo) << e.command;
  }
}

// The test's own process as the root: it is a row like any other, with its forked tree below.
TEST_F(SamplerLinuxTest, OwnProcessAsRootIsARow) {
  ForkedTree tree;
  ASSERT_TRUE(fork_tree(tree));
  const Snapshot snapshot = sample(state, static_cast<uint32_t>(getpid()), {}, std::nullopt);
  EXPECT_NE(row_of(snapshot, getpid()), nullptr);
  EXPECT_NE(row_of(snapshot, tree.middle->pid()), nullptr);
  EXPECT_NE(row_of(snapshot, tree.leaves[0]), nullptr);
  EXPECT_NE(row_of(snapshot, tree.leaves[1]), nullptr);
  EXPECT_TRUE(std::is_sorted(snapshot.processes.begin(), snapshot.processes.end(),
                             [](const auto& a, const auto& b) { return a.pid < b.pid; }));
}

// An external process outside the tree, matched by pid alone, then by its real start time with
// 999 ms added, and not matched 1 ms before its whole second.
TEST_F(SamplerLinuxTest, MatchesARealExternalProcessByStartTime) {
  ForkedTree tree;
  ASSERT_TRUE(fork_tree(tree));
  const auto outsider = fork_sleeper("3603");
  ASSERT_NE(outsider, nullptr);
  const auto root = static_cast<uint32_t>(tree.middle->pid());
  const auto external = static_cast<uint32_t>(outsider->pid());

  const Snapshot by_pid = sample(state, root, {{external, std::nullopt}}, std::nullopt);
  ASSERT_EQ(by_pid.externalProcesses.size(), 1u);
  ASSERT_TRUE(by_pid.externalProcesses[0].startTimeMs.has_value());
  const uint64_t start_ms = *by_pid.externalProcesses[0].startTimeMs;
  EXPECT_EQ(start_ms % 1000, 0u);
  ASSERT_NE(row_of(by_pid, outsider->pid()), nullptr);
  EXPECT_EQ(row_of(by_pid, outsider->pid())->startTimeMs, start_ms);
  EXPECT_EQ(by_pid.processes.size(), 4u);

  const Snapshot late = sample(state, root, {{external, start_ms + 999}}, std::nullopt);
  ASSERT_EQ(late.externalProcesses.size(), 1u);
  EXPECT_EQ(late.externalProcesses[0].startTimeMs, std::optional<uint64_t>(start_ms));
  EXPECT_NE(row_of(late, outsider->pid()), nullptr);

  const Snapshot early = sample(state, root, {{external, start_ms - 1}}, std::nullopt);
  EXPECT_TRUE(early.externalProcesses.empty());
  EXPECT_EQ(row_of(early, outsider->pid()), nullptr);
  EXPECT_EQ(early.processes.size(), 3u);
}

// A root that has ended and been reaped gives an empty snapshot; passes on the real clock are
// paced at least 200 ms apart.
TEST_F(SamplerLinuxTest, EndedRootAndRealPacing) {
  auto sleeper = fork_sleeper("3604");
  ASSERT_NE(sleeper, nullptr);
  const auto pid = static_cast<uint32_t>(sleeper->pid());
  const Snapshot alive = sample(state, pid, {}, std::nullopt);
  EXPECT_EQ(alive.processes.size(), 1u);
  const MonoTime first_refresh = *state.last_refresh;

  sleeper->end();
  const Snapshot ended = sample(state, pid, {}, std::nullopt);
  EXPECT_TRUE(ended.processes.empty());
  EXPECT_EQ(ended.retainedProcessCount, 0u);
  EXPECT_EQ(ended.inaccessibleProcessCount, 0u);
  EXPECT_GT(ended.scannedProcessCount, 0u);
  EXPECT_EQ(ended.sequence, 2u);
  EXPECT_GE(*state.last_refresh - first_refresh, MIN_REFRESH_INTERVAL);
}

}  // namespace
}  // namespace treemon
