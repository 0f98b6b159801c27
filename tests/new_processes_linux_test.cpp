// A monitor that skips the /proc listing when it can, over pipes, with processes and threads
// created between its samples. It runs as treemon_listing_check, which compares every refresh
// that did not list /proc with a full listing taken just before it and ends at a difference.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"

namespace treemon {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test_support::ChildProcess;

constexpr auto LINE_WAIT = 5s;

// A thread of this process that lives until the end of its scope.
class LiveThread {
 public:
  LiveThread()
      : thread_([this] {
          tid_ = static_cast<pid_t>(::gettid());
          while (!stop_) std::this_thread::sleep_for(1ms);
        }) {
    while (tid_ == 0) std::this_thread::yield();
  }
  ~LiveThread() {
    stop_ = true;
    thread_.join();
  }
  pid_t tid() const { return tid_; }

 private:
  std::atomic<pid_t> tid_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Sleeping children, ended and reaped on request or at the end of the scope.
class Sleepers {
 public:
  ~Sleepers() {
    while (!live_.empty()) end_oldest();
  }
  void start() {
    const pid_t pid = ::fork();
    if (pid == 0) {
      for (;;) ::pause();
    }
    live_.push_back(pid);
  }
  pid_t end_oldest() {
    const pid_t pid = live_.front();
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    live_.erase(live_.begin());
    return pid;
  }
  const std::vector<pid_t>& live() const { return live_; }

 private:
  std::vector<pid_t> live_;
};

std::set<pid_t> row_pids(const json& snapshot) {
  std::set<pid_t> pids;
  for (const json& row : snapshot["processes"]) pids.insert(row["pid"].get<pid_t>());
  return pids;
}

// Children forked between samples are rows of the next one, ended children are not, and a thread
// never is, though its id lies among the new pids; every refresh agrees with a full listing.
TEST(NewProcessesEndToEnd, ForkedChildrenAreRowsAndThreadsNever) {
  if (std::string(TREEMON_LISTING_CHECK).empty()) GTEST_SKIP() << "no checking monitor here";
  ChildProcess monitor({TREEMON_LISTING_CHECK});
  ASSERT_TRUE(monitor.read_line(LINE_WAIT));
  monitor.write(R"({"version":2,"type":"configure","rootPid":)" + std::to_string(::getpid()) +
                R"(,"sampleIntervalMs":0})"
                "\n");
  Sleepers children;
  std::vector<pid_t> ended;
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    children.start();
    if (round % 3 == 2) ended.push_back(children.end_oldest());
    LiveThread thread;
    monitor.write(R"({"version":2,"type":"sampleNow","requestId":"s)" + std::to_string(round) +
                  "\"}\n");
    const std::optional<std::string> line = monitor.read_line(LINE_WAIT);
    ASSERT_TRUE(line) << monitor.read_stderr(1s);
    const std::set<pid_t> rows = row_pids(json::parse(*line));
    for (pid_t child : children.live()) EXPECT_TRUE(rows.contains(child)) << child;
    for (pid_t gone : ended) EXPECT_FALSE(rows.contains(gone)) << gone;
    EXPECT_FALSE(rows.contains(thread.tid())) << thread.tid();
  }
  monitor.write(R"({"version":2,"type":"shutdown"})"
                "\n");
  EXPECT_EQ(monitor.wait_exit(LINE_WAIT), 0);
  const std::string summary = monitor.read_stderr(1s);
  EXPECT_NE(summary.find("nothing missed, nothing stale"), std::string::npos) << summary;
}

}  // namespace
}  // namespace treemon
