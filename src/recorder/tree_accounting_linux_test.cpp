#include "recorder/tree_accounting_linux.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <type_traits>

#include "procinfo/process_table.h"

namespace treemon::recorder {
namespace {

using std::chrono::milliseconds;
constexpr uint64_t MS = 10000;  // 100-ns units in a millisecond

uint64_t own_cpu_ns() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

// Spins until this process has used `amount` more CPU time by its own CPU clock.
void burn_cpu(milliseconds amount) {
  const uint64_t until = own_cpu_ns() + static_cast<uint64_t>(amount.count()) * 1000000u;
  while (own_cpu_ns() < until) {
  }
}

int open_null() { return ::open("/dev/null", O_WRONLY | O_CLOEXEC); }

// One-way messages between the processes of a test, a number at a time.
class Channel {
 public:
  Channel() { EXPECT_EQ(::pipe(fds_), 0); }
  ~Channel() {
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  void send(int value = 0) const {
    EXPECT_EQ(::write(fds_[1], &value, sizeof value), static_cast<ssize_t>(sizeof value));
  }
  // Nothing when no message came within ten seconds.
  std::optional<int> receive() const {
    pollfd ready{fds_[0], POLLIN, 0};
    int value = 0;
    if (::poll(&ready, 1, 10000) != 1 || ::read(fds_[0], &value, sizeof value) != sizeof value) {
      return std::nullopt;
    }
    return value;
  }

 private:
  int fds_[2] = {-1, -1};
};

// Runs `body` in a process of its own, which becomes the subreaper and so never makes the test
// runner one; its plain result comes back through a pipe.
template <typename Result>
std::optional<Result> in_recorder_process(const std::function<Result()>& body) {
  static_assert(std::is_trivially_copyable_v<Result>);
  int fds[2];
  if (::pipe(fds) != 0) return std::nullopt;
  const pid_t recorder = ::fork();
  if (recorder == 0) {
    ::close(fds[0]);
    const Result result = body();
    const bool sent = ::write(fds[1], &result, sizeof result) == sizeof result;
    ::_exit(sent ? 0 : 1);
  }
  ::close(fds[1]);
  Result result;
  const bool received = ::read(fds[0], &result, sizeof result) == sizeof result;
  ::close(fds[0]);
  int status = 0;
  ::waitpid(recorder, &status, 0);
  if (!received || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return result;
}

// Starts `body` in a child that exits with what it returns.
pid_t start_child(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  return pid;
}

// Reaps until `count` children have ended, or ten seconds have passed.
std::vector<ReapedChild> reap(ChildReaper& reaper, size_t count) {
  std::vector<ReapedChild> reaped;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (reaped.size() < count && std::chrono::steady_clock::now() < deadline) {
    for (const ReapedChild& child : reaper.reap_ended()) reaped.push_back(child);
    ::usleep(2000);
  }
  return reaped;
}

TreeMember member(pid_t pid) { return {{static_cast<uint32_t>(pid), 0}, 0, {}}; }

// An orphan of the command's tree comes back to the recorder, which reaps it and counts its CPU
// time and I/O; its parent, reaped first, is counted too and exits with its own status.
TEST(TreeAccountingLinuxTest, OrphanReapedBySubreaperIsCounted) {
  struct Outcome {
    uint64_t cpu_100ns, written_bytes;
    int children, first_status, second_status;
    bool reparented;
  };
  const std::optional<Outcome> outcome = in_recorder_process<Outcome>([] {
    Outcome out{};
    if (!ChildReaper::become_subreaper().ok()) return out;
    ChildReaper reaper;
    const pid_t recorder = ::getpid();
    Channel orphaned;
    start_child([&] {
      start_child([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (::getppid() != recorder && std::chrono::steady_clock::now() < deadline) {
          ::usleep(1000);
        }
        orphaned.send();
        burn_cpu(milliseconds(300));
        static const char block[65536] = {};
        return ::write(open_null(), block, sizeof block) == sizeof block ? 7 : 1;
      });
      return 3;
    });
    out.reparented = orphaned.receive().has_value();
    const std::vector<ReapedChild> reaped = reap(reaper, 2);
    out.children = static_cast<int>(reaped.size());
    if (reaped.size() == 2) {
      out.first_status = reaped[0].wait_status;
      out.second_status = reaped[1].wait_status;
    }
    out.cpu_100ns = reaper.reaped().cpu_100ns;
    out.written_bytes = reaper.reaped().written_bytes;
    return out;
  });
  ASSERT_TRUE(outcome);
  EXPECT_TRUE(outcome->reparented);
  ASSERT_EQ(outcome->children, 2);
  EXPECT_TRUE(WIFEXITED(outcome->first_status) && WEXITSTATUS(outcome->first_status) == 3);
  EXPECT_TRUE(WIFEXITED(outcome->second_status) && WEXITSTATUS(outcome->second_status) == 7);
  EXPECT_GE(outcome->cpu_100ns, 300 * MS);
  EXPECT_LT(outcome->cpu_100ns, 450 * MS);
  EXPECT_GE(outcome->written_bytes, 65536u);
  EXPECT_LT(outcome->written_bytes, 65536u + 4096u);
}

// What the table's rows (the samples) show of the given processes, in 100-ns units.
uint64_t sampled_cpu_100ns(std::initializer_list<pid_t> pids) {
  const std::unique_ptr<ProcessPlatform> platform = make_system_platform();
  ProcessTable table(*platform);
  table.refresh(RefreshOptions::everything(), true);
  uint64_t sum = 0;
  for (pid_t pid : pids) {
    if (const ProcessInfo* row = table.find(static_cast<uint32_t>(pid))) {
      sum += row->cpu_time_ms * MS;
    }
  }
  return sum;
}

// A member's child burns CPU time that the samples see, then ends. A member that waits for it
// holds that time in its children times, and the kernel's count stays whole; one that ignores
// SIGCHLD has it reaped by no one, the kernel's count falls below what the samples saw, and the
// tree's figure is the samples', labelled a lower bound.
TEST(TreeAccountingLinuxTest, MemberThatIgnoresSigchldGivesALowerBound) {
  struct Outcome {
    bool ran;
    uint64_t sampled, while_running, after;
    TreeTotals totals;
  };
  for (const bool ignores : {false, true}) {
    const std::optional<Outcome> outcome = in_recorder_process<Outcome>([ignores] {
      Outcome out{};
      if (!ChildReaper::become_subreaper().ok()) return out;
      ChildReaper reaper;
      LinuxTreeAccounting accounting(&reaper);
      Channel burned, end_child, child_gone, end_member;
      const pid_t member_pid = start_child([&] {
        if (ignores) ::signal(SIGCHLD, SIG_IGN);
        start_child([&] {
          burn_cpu(milliseconds(300));
          burned.send(::getpid());
          return end_child.receive() ? 0 : 1;
        });
        while (::wait(nullptr) > 0 || errno == EINTR) {
        }
        child_gone.send();
        return end_member.receive() ? 0 : 1;
      });
      const std::optional<int> child_pid = burned.receive();
      if (!child_pid) return out;
      out.sampled = sampled_cpu_100ns({member_pid, *child_pid});
      const TreeMember running[] = {member(member_pid), member(*child_pid)};
      const std::optional<KernelReading> first = accounting.read(running);
      end_child.send();
      if (!first || !child_gone.receive()) return out;
      const TreeMember remaining[] = {member(member_pid)};
      const std::optional<KernelReading> second = accounting.read(remaining);
      if (!second) return out;
      const TreeUsage samples{out.sampled, 0, 0};
      out.while_running = first->usage.cpu_100ns;
      out.after = second->usage.cpu_100ns;
      out.totals = combine_totals(combine_totals(std::nullopt, first, samples), second, samples);
      end_member.send();
      out.ran = reap(reaper, 1).size() == 1;
      return out;
    });
    ASSERT_TRUE(outcome && outcome->ran) << ignores;
    EXPECT_GE(outcome->sampled, 290 * MS) << ignores;
    EXPECT_GE(outcome->while_running, 300 * MS) << ignores;
    if (ignores) {
      EXPECT_LT(outcome->after, 100 * MS);
      EXPECT_EQ(outcome->totals.source, TotalsSource::LowerBound);
    } else {
      EXPECT_GE(outcome->after, 290 * MS);
      EXPECT_EQ(outcome->totals.source, TotalsSource::Kernel);
    }
    EXPECT_GE(outcome->totals.usage.cpu_100ns, outcome->while_running) << ignores;
  }
}

}  // namespace
}  // namespace treemon::recorder
