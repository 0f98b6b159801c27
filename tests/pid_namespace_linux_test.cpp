// The real binary inside a private pid namespace, where pids can be handed out on purpose: a
// root whose pid a newer process takes, a child placed at a chosen pid, and a monitor whose /proc
// is not its namespace's. Needs the right to make pid namespaces (root); skipped elsewhere.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sched.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/pid_namespace_linux.h"

namespace treemon {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test_support::ChildProcess;
using test_support::run_in_pid_namespace;
using test_support::set_last_pid;
using test_support::SKIPPED;

constexpr auto LINE_WAIT = 10s;
pid_t start_idle_process() {
  const pid_t pid = fork();
  if (pid == 0) {
    for (;;) ::pause();
  }
  return pid;
}

std::string sample_now_line(const std::string& id) {
  return R"({"version":2,"type":"sampleNow","requestId":")" + id + "\"}\n";
}

// An idle child at `pid`, placed there by clone3's set_tid as checkpoint/restore tools do: the
// kernel counts the fork, but the namespace's last pid stays where it was. -1 when refused.
pid_t start_idle_process_at(pid_t pid) {
  pid_t chosen[] = {pid};
  clone_args args{};
  args.exit_signal = SIGCHLD;
  args.set_tid = reinterpret_cast<uintptr_t>(chosen);
  args.set_tid_size = 1;
  const long child = ::syscall(SYS_clone3, &args, sizeof args);
  if (child == 0) {
    for (;;) ::pause();
  }
  return static_cast<pid_t>(child);
}

// The last pid handed out in the namespace of this process's /proc.
std::optional<pid_t> last_pid() {
  std::ifstream file("/proc/sys/kernel/ns_last_pid");
  pid_t pid = 0;
  if (!(file >> pid)) return std::nullopt;
  return pid;
}

bool has_row(const json& snapshot, pid_t pid, pid_t parent) {
  for (const json& row : snapshot["processes"]) {
    if (row["pid"] == pid) return row["ppid"] == parent;
  }
  return false;
}

// The root ends and the kernel gives its pid to a newer process, started a second later: the
// next snapshot has no rows, where it would otherwise show the newcomer as the root.
TEST(PidNamespace, RootPidTakenByANewerProcessIsNotTheRoot) {
  const std::string outcome = run_in_pid_namespace(true, [] {
    const pid_t root = start_idle_process();
    ChildProcess monitor({TREEMON_BINARY});
    if (!monitor.read_line(LINE_WAIT)) return std::string("no hello");
    monitor.write(R"({"version":2,"type":"configure","rootPid":)" + std::to_string(root) +
                  R"(,"sampleIntervalMs":0})"
                  "\n" +
                  sample_now_line("before"));
    const auto before = monitor.read_line(LINE_WAIT);
    ::kill(root, SIGKILL);
    ::waitpid(root, nullptr, 0);
    std::this_thread::sleep_for(1100ms);  // start times have whole seconds
    if (!set_last_pid(root - 1)) return SKIPPED + "cannot set ns_last_pid";
    const pid_t newcomer = start_idle_process();
    if (newcomer != root) return SKIPPED + "the pid went to another process";
    monitor.write(sample_now_line("after"));
    const auto after = monitor.read_line(LINE_WAIT);
    ::kill(newcomer, SIGKILL);
    return json{{"root", root}, {"before", before.value_or("")}, {"after", after.value_or("")}}
        .dump();
  });
  if (outcome.starts_with(SKIPPED)) GTEST_SKIP() << outcome;
  const json result = json::parse(outcome);
  const json before = json::parse(result["before"].get<std::string>());
  const json after = json::parse(result["after"].get<std::string>());
  ASSERT_EQ(before["processes"].size(), 1u) << before;
  EXPECT_EQ(before["processes"][0]["pid"], result["root"]);
  EXPECT_EQ(after["requestId"], "after");
  EXPECT_EQ(after["processes"], json::array()) << after;
}

// The root places a child far above the last pid while nothing else in the namespace forks:
// no probe can find it, yet it is a row within 30 s, by the periodic full listing.
constexpr pid_t PLACED = 4000;
constexpr auto SAMPLE_EVERY = 1s;
constexpr int SAMPLES = 35;

TEST(PidNamespace, ChildAtAChosenPidIsARowWithinThirtySeconds) {
  const std::string outcome = run_in_pid_namespace(true, [] {
    ChildProcess monitor({TREEMON_BINARY});
    if (!monitor.read_line(LINE_WAIT)) return std::string("no hello");
    monitor.write(R"({"version":2,"type":"configure","rootPid":)" + std::to_string(::getpid()) +
                  R"(,"sampleIntervalMs":0})"
                  "\n" +
                  sample_now_line("before"));
    if (!monitor.read_line(LINE_WAIT)) return std::string("no first snapshot");
    const std::optional<pid_t> last_before = last_pid();
    const pid_t placed = start_idle_process_at(PLACED);
    if (placed != PLACED) return SKIPPED + "clone3 cannot place a pid";
    const auto placed_at = std::chrono::steady_clock::now();
    json result{
        {"placed", placed}, {"seenAfterMs", -1}, {"lastPidMoved", last_pid() != last_before}};
    for (int sample = 0; sample < SAMPLES; ++sample) {
      std::this_thread::sleep_until(placed_at + (sample + 1) * SAMPLE_EVERY);
      monitor.write(sample_now_line("s" + std::to_string(sample)));
      const std::optional<std::string> line = monitor.read_line(LINE_WAIT);
      if (!line) return std::string("no snapshot");
      if (has_row(json::parse(*line), placed, ::getpid())) {
        result["seenAfterMs"] = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - placed_at)
                                    .count();
        break;
      }
    }
    ::kill(placed, SIGKILL);
    ::waitpid(placed, nullptr, 0);
    return result.dump();
  });
  if (outcome.starts_with(SKIPPED)) GTEST_SKIP() << outcome;
  const json result = json::parse(outcome);
  ASSERT_EQ(result["lastPidMoved"], false) << "the placement moved the last pid: nothing tested";
  const int64_t seen_after_ms = result["seenAfterMs"];
  EXPECT_GE(seen_after_ms, 0) << "never a row";
  EXPECT_LE(seen_after_ms, 31000);
  std::printf("the placed child was a row after %lld ms\n", static_cast<long long>(seen_after_ms));
}

// A monitor in a pid namespace that has no /proc of its own reads the host's: it says so in one
// line on standard error at start, and carries on.
TEST(PidNamespace, ProcOfAnotherNamespaceIsReportedAtStart) {
  const std::string outcome = run_in_pid_namespace(false, [] {
    // The leak checker of a sanitizer build stops the monitor's threads through the same /proc,
    // which names other processes here; it would fail the exit, not the monitor.
    ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    ChildProcess monitor({TREEMON_BINARY});
    const auto hello = monitor.read_line(LINE_WAIT);
    monitor.write(R"({"version":2,"type":"shutdown"})"
                  "\n");
    const auto status = monitor.wait_exit(LINE_WAIT);
    return json{{"hello", hello.value_or("")},
                {"status", status.value_or(-1000)},
                {"stderr", monitor.read_stderr(1s)}}
        .dump();
  });
  if (outcome.starts_with(SKIPPED)) GTEST_SKIP() << outcome;
  const json result = json::parse(outcome);
  EXPECT_EQ(json::parse(result["hello"].get<std::string>())["type"], "hello");
  EXPECT_EQ(result["status"], 0);
  const std::string err = result["stderr"];
  EXPECT_TRUE(err.starts_with("Warning: /proc/self names process ")) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_TRUE(err.ends_with("\n")) << err;
}

// The pid of the calling process as /proc counts it: in a namespace without a /proc of its own,
// the host's pid.
std::string proc_self() {
  char target[32] = {};
  const ssize_t length = ::readlink("/proc/self", target, sizeof target - 1);
  return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
}

// User plus system time from a process's stat, in milliseconds.
uint64_t stat_cpu_ms(const std::string& pid) {
  std::ifstream file("/proc/" + pid + "/stat");
  const std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::istringstream fields(stat.substr(std::min(stat.rfind(')') + 2, stat.size())));
  std::string field;
  uint64_t ticks = 0;
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index >= 14) ticks += std::stoull(field);
  }
  return ticks * 1000 / static_cast<uint64_t>(::sysconf(_SC_CLK_TCK));
}

// With the /proc of another namespace, the monitor's pids are that /proc's: a busy child of the
// root shows the CPU time its stat gives and a start time, and is not cut from the tree.
TEST(PidNamespace, ProcOfAnotherNamespaceReadsCpuTimeFromStat) {
  const std::string outcome = run_in_pid_namespace(false, [] {
    ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    int told[2];
    if (::pipe(told) != 0) return SKIPPED + "no pipe";
    if (::fork() == 0) {
      const std::string self = proc_self();
      static_cast<void>(::write(told[1], self.data(), self.size()));
      volatile uint64_t spin = 0;
      for (;;) spin = spin + 1;
    }
    char busy_text[32] = {};
    if (::read(told[0], busy_text, sizeof busy_text - 1) <= 0) return std::string("no busy pid");
    const std::string busy = busy_text;
    ChildProcess monitor({TREEMON_BINARY});
    if (!monitor.read_line(LINE_WAIT)) return std::string("no hello");
    monitor.write(R"({"version":2,"type":"configure","rootPid":)" + proc_self() +
                  R"(,"sampleIntervalMs":0})"
                  "\n");
    for (int i = 0; i < 1000 && stat_cpu_ms(busy) < 100; ++i) std::this_thread::sleep_for(10ms);
    const uint64_t before = stat_cpu_ms(busy);
    monitor.write(sample_now_line("busy"));
    const auto snapshot = monitor.read_line(LINE_WAIT);
    return json{{"busy", std::stoul(busy)},
                {"before", before},
                {"after", stat_cpu_ms(busy)},
                {"snapshot", snapshot.value_or("")}}
        .dump();
  });
  if (outcome.starts_with(SKIPPED)) GTEST_SKIP() << outcome;
  const json result = json::parse(outcome);
  const json snapshot = json::parse(result["snapshot"].get<std::string>());
  const json* busy = nullptr;
  for (const json& row : snapshot["processes"]) {
    if (row["pid"] == result["busy"]) busy = &row;
  }
  ASSERT_NE(busy, nullptr) << snapshot;
  ASSERT_GE(result["before"].get<uint64_t>(), 100u) << "the busy child did not run";
  EXPECT_GE((*busy)["cpuTimeMs"], result["before"]) << *busy;
  EXPECT_LE((*busy)["cpuTimeMs"], result["after"]) << *busy;
  EXPECT_GT((*busy)["startTimeMs"].get<uint64_t>(), 0u) << *busy;
}

}  // namespace
}  // namespace treemon
