// The exit watch against real children: an exit is told once, a removed watch never.
#include "procinfo/linux/exit_watch_linux.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

namespace treemon::linux_proc {
namespace {

using namespace std::chrono_literals;

// A forked child that sleeps until killed, and its pidfd; reaped when the test ends.
struct SleepingChild {
  SleepingChild() : pid(::fork()) {
    if (pid == 0) {
      for (;;) ::pause();
    }
    pidfd = open_pidfd(static_cast<uint32_t>(pid));
  }
  ~SleepingChild() {
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  uint32_t id() const { return static_cast<uint32_t>(pid); }

  pid_t pid;
  UniqueFd pidfd;
};

// Counts the exits it is told of, and stops watching at the first, as a handle does.
class CountingProcess final : public WatchedProcess {
 public:
  CountingProcess(ExitWatch& watch, const SleepingChild& child) : watch_(watch), child_(child) {}
  void exit_seen() override {
    ++exits;
    watch_.remove(child_.id(), child_.pidfd.get(), this);
  }
  int exits = 0;

 private:
  ExitWatch& watch_;
  const SleepingChild& child_;
};

// Collects until `process` has been told of its exit, or a second has passed.
void collect_until_told(ExitWatch& watch, const CountingProcess& process) {
  for (int tries = 0; tries < 100 && process.exits == 0; ++tries) {
    ASSERT_TRUE(watch.collect_exits());
    if (process.exits == 0) std::this_thread::sleep_for(10ms);
  }
}

// A sleeping child, watched.
class ExitWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(child.pidfd) << "no pidfd here";
    ASSERT_TRUE(watch.add(child.id(), child.pidfd.get(), &process));
  }

  ExitWatch watch;
  SleepingChild child;
  CountingProcess process{watch, child};
};

TEST_F(ExitWatchTest, AnExitIsToldOnceAndEndsTheWatchOnce) {
  ASSERT_TRUE(watch.watches(child.id()));
  std::vector<uint32_t> ended;
  EXPECT_TRUE(watch.collect_exits());
  EXPECT_EQ(process.exits, 0);
  EXPECT_FALSE(watch.take_ended(ended));

  ::kill(child.pid, SIGKILL);  // a zombie: the pidfd is readable before the reap
  collect_until_told(watch, process);
  EXPECT_EQ(process.exits, 1);
  EXPECT_FALSE(watch.watches(child.id()));
  ASSERT_TRUE(watch.take_ended(ended));
  EXPECT_EQ(ended, std::vector<uint32_t>{child.id()});
  EXPECT_TRUE(watch.collect_exits());
  EXPECT_EQ(process.exits, 1);
  EXPECT_FALSE(watch.take_ended(ended));
}

// A watch removed while its process lives is told as ended all the same, and its exit, once the
// pidfd is closed, is never reported: a forked copy of the pidfd would otherwise keep it in the
// set and have the watch report a freed process.
TEST_F(ExitWatchTest, ARemovedWatchIsEndedButItsExitNeverTold) {
  const int copy = ::dup(child.pidfd.get());
  ASSERT_GE(copy, 0);
  watch.remove(child.id(), child.pidfd.get(), &process);
  child.pidfd.reset();
  std::vector<uint32_t> ended;
  ASSERT_TRUE(watch.take_ended(ended));
  EXPECT_EQ(ended, std::vector<uint32_t>{child.id()});

  ::kill(child.pid, SIGKILL);
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(watch.collect_exits());
  EXPECT_EQ(process.exits, 0);
  EXPECT_FALSE(watch.take_ended(ended));
  ::close(copy);
}

}  // namespace
}  // namespace treemon::linux_proc
