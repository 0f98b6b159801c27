#include "procinfo/linux/pid_probe_linux.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace treemon::linux_proc {
namespace {

// A child that stays until it is killed; reaped by the test or at the end of its scope.
class Sleeper {
 public:
  Sleeper() : pid_(::fork()) {
    if (pid_ == 0) {
      for (;;) ::pause();
    }
  }
  ~Sleeper() {
    if (!reaped_) reap();
  }
  uint32_t pid() const { return static_cast<uint32_t>(pid_); }
  void kill_only() { ::kill(pid_, SIGKILL); }
  void reap() {
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
  }

 private:
  pid_t pid_;
  bool reaped_ = false;
};

// A thread of this process whose id the test can name while it runs.
class Thread {
 public:
  Thread()
      : thread_([this] {
          tid_ = static_cast<uint32_t>(::gettid());
          while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }) {
    while (tid_ == 0) std::this_thread::yield();
  }
  ~Thread() {
    stop_ = true;
    thread_.join();
  }
  uint32_t tid() const { return tid_; }

 private:
  std::atomic<uint32_t> tid_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(PidProbeTest, AnswersForProcessesZombiesIncludedAndNeverForThreads) {
  Sleeper zombie, reaped;
  zombie.kill_only();
  // A killed child is a zombie until it is reaped: wait until it stopped running.
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(zombie.pid()), &info, WEXITED | WNOWAIT), 0);
  reaped.reap();
  Thread thread;
  EXPECT_EQ(probe_pid(static_cast<uint32_t>(::getpid())), PidProbe::Process);
  EXPECT_EQ(probe_pid(zombie.pid()), PidProbe::Process);
  EXPECT_EQ(probe_pid(thread.tid()), PidProbe::NoProcess);
  EXPECT_EQ(probe_pid(reaped.pid()), PidProbe::NoProcess);
}

// The known pids and the processes of the ranges, once each and in order; never a thread.
TEST(PidProbeTest, ListsTheKnownPidsAndTheProcessesOfTheRanges) {
  Sleeper known, unknown;
  Thread thread;
  const uint32_t pids[] = {known.pid(), unknown.pid(), thread.tid()};
  ListingPlan plan{ListingPlan::Kind::Probe,
                   ListReason::None,
                   {{*std::min_element(std::begin(pids), std::end(pids)),
                     *std::max_element(std::begin(pids), std::end(pids))}}};
  const uint32_t known_pids[] = {1, known.pid()};
  std::vector<uint32_t> found, listed;
  ASSERT_TRUE(pids_to_list(plan, known_pids, found, listed));
  EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end()));
  EXPECT_EQ(std::adjacent_find(listed.begin(), listed.end()), listed.end());
  for (uint32_t pid : {1u, known.pid(), unknown.pid()}) {
    EXPECT_NE(std::find(listed.begin(), listed.end(), pid), listed.end()) << pid;
  }
  EXPECT_EQ(std::find(listed.begin(), listed.end(), thread.tid()), listed.end());
}

// Without a descriptor to spare the kernel cannot answer: the caller must list instead.
TEST(PidProbeTest, NoDescriptorLeavesTheQuestionOpen) {
  const pid_t child = ::fork();
  if (child == 0) {
    const rlimit none{0, 0};
    ::setrlimit(RLIMIT_NOFILE, &none);
    std::vector<uint32_t> found, listed;
    const ListingPlan plan{ListingPlan::Kind::Probe, ListReason::None, {{1, 1}}};
    const bool answered = pids_to_list(plan, {}, found, listed);
    ::_exit(probe_pid(1) == PidProbe::Unknown && !answered ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace treemon::linux_proc
