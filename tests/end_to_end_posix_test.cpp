// The real binary over pipes, with real process trees.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "support/child_process.h"

namespace treemon {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test_support::ChildProcess;

constexpr auto LINE_WAIT = 5s;

std::string configure_line(int root_pid, uint64_t interval_ms, const std::string& externals = "") {
  std::string line = R"({"version":2,"type":"configure","rootPid":)" + std::to_string(root_pid) +
                     R"(,"sampleIntervalMs":)" + std::to_string(interval_ms);
  if (!externals.empty()) line += R"(,"externalProcesses":)" + externals;
  return line + "}\n";
}
std::string sample_now_line(const std::string& id) {
  return R"({"version":2,"type":"sampleNow","requestId":")" + id + "\"}\n";
}
std::string read_history_line(const std::string& id, uint64_t window) {
  return R"({"version":2,"type":"readHistory","requestId":")" + id + R"(","windowMs":)" +
         std::to_string(window) + "}\n";
}
std::string streaming_line(bool on) {
  return std::string(R"({"version":2,"type":"setStreaming","enabled":)") + (on ? "true" : "false") +
         "}\n";
}
std::string interval_line(uint64_t ms) {
  return R"({"version":2,"type":"setSampleInterval","sampleIntervalMs":)" + std::to_string(ms) +
         "}\n";
}
const std::string SHUTDOWN = "{\"version\":2,\"type\":\"shutdown\"}\n";

std::string error_line(const std::string& code, const std::string& message, bool recoverable) {
  json e = json::object();
  return R"({"version":2,"type":"error","code":")" + code + R"(","message":)" +
         json(message).dump() + R"(,"recoverable":)" + (recoverable ? "true" : "false") + "}";
}

class Monitor : public ::testing::Test {
 protected:
  void SetUp() override {
    monitor_ = std::make_unique<ChildProcess>(std::vector<std::string>{TREEMON_BINARY});
  }

  json next_event(std::chrono::milliseconds wait = LINE_WAIT) {
    auto line = monitor_->read_line(wait);
    if (!line) return json();
    return json::parse(*line);
  }

  void expect_hello() {
    auto line = monitor_->read_line(LINE_WAIT);
    ASSERT_TRUE(line);
    const std::string expected_prefix =
        R"({"version":2,"type":"hello","sidecarVersion":"0.1.0","sidecarPid":)" +
        std::to_string(monitor_->pid()) + R"(,"platform":"linux","arch":")";
    EXPECT_EQ(line->substr(0, expected_prefix.size()), expected_prefix);
    EXPECT_TRUE(line->ends_with(
        R"(","capabilities":{"cumulativeCpuTime":true,"currentCpuPercent":true,"residentMemory":true,"virtualMemory":true,"ioBytes":true,"processStartTime":true,"processTree":true}})"));
  }

  void expect_clean_exit() {
    monitor_->close_stdin();
    EXPECT_EQ(monitor_->read_rest(LINE_WAIT), "");
    EXPECT_EQ(monitor_->wait_exit(LINE_WAIT), 0);
  }

  // While streaming, a periodic sample may fall due between the test's last read and the end of
  // input; it must still come out whole before the monitor exits, and nothing else may.
  void expect_clean_exit_while_streaming() {
    monitor_->close_stdin();
    std::istringstream rest(monitor_->read_rest(LINE_WAIT));
    for (std::string line; std::getline(rest, line);) {
      const json event = json::parse(line, nullptr, false);
      ASSERT_FALSE(event.is_discarded()) << line;
      EXPECT_EQ(event["type"], "snapshot");
      EXPECT_FALSE(event.contains("requestId"));
    }
    EXPECT_EQ(monitor_->wait_exit(LINE_WAIT), 0);
  }

  std::unique_ptr<ChildProcess> monitor_;
};

TEST_F(Monitor, HelloFirstEvenWithCommandsWaiting) {
  ASSERT_TRUE(monitor_->write(sample_now_line("early") + SHUTDOWN));
  expect_hello();
  EXPECT_EQ(*monitor_->read_line(LINE_WAIT),
            error_line("not-configured", "configure must be sent before sampling", true));
  EXPECT_EQ(monitor_->wait_exit(LINE_WAIT), 0);
  EXPECT_EQ(monitor_->read_rest(1s), "");
}

TEST_F(Monitor, ShutdownWithWrongVersionIsRejected) {
  expect_hello();
  monitor_->write("{\"version\":1,\"type\":\"shutdown\"}\n{\"version\":3,\"type\":\"shutdown\"}\n");
  EXPECT_EQ(*monitor_->read_line(LINE_WAIT),
            error_line("protocol-mismatch", "unsupported protocol version 1; expected 2", false));
  EXPECT_EQ(*monitor_->read_line(LINE_WAIT),
            error_line("protocol-mismatch", "unsupported protocol version 3; expected 2", false));
  monitor_->write(SHUTDOWN);
  EXPECT_EQ(monitor_->wait_exit(LINE_WAIT), 0);
  EXPECT_EQ(monitor_->read_rest(1s), "");
  EXPECT_EQ(monitor_->read_stderr(1s), "");
}

// Every command that needs a configuration, before one; setStreaming is accepted silently.
TEST_F(Monitor, NotConfiguredTexts) {
  expect_hello();
  monitor_->write(streaming_line(true) +
                  R"({"version":2,"type":"setExternalProcesses","processes":[]})"
                  "\n" +
                  interval_line(500) + sample_now_line("a") + read_history_line("b", 1000));
  const char* messages[] = {"configure must be sent before external processes",
                            "configure must be sent before changing the sample interval",
                            "configure must be sent before sampling",
                            "configure must be sent before reading history"};
  for (const char* message : messages) {
    EXPECT_EQ(*monitor_->read_line(LINE_WAIT), error_line("not-configured", message, true));
  }
  expect_clean_exit();
}

TEST_F(Monitor, InvalidCommandsAndLineEndings) {
  expect_hello();
  monitor_->write("\n   \t\n\xC2\xA0\xE3\x80\x80\n");  // blank and White_Space lines
  monitor_->write(R"({"type":"reboot","version":2})"
                  "\r\n");  // CRLF
  monitor_->write(R"({"type":"shutdown","version":2} x)"
                  "\n");
  monitor_->write(R"(  {"version":2})"
                  "\n");
  EXPECT_EQ(*monitor_->read_line(LINE_WAIT),
            error_line("invalid-command",
                       "invalid command: unknown variant `reboot`, expected one of `configure`, "
                       "`setExternalProcesses`, `setSampleInterval`, `setStreaming`, `sampleNow`, "
                       "`readHistory`, `shutdown` at line 1 column 16",
                       true));
  EXPECT_EQ(*monitor_->read_line(LINE_WAIT),
            error_line("invalid-command",
                       "invalid command: trailing characters at line 1 column 33", true));
  EXPECT_EQ(*monitor_->read_line(LINE_WAIT),
            error_line("invalid-command",
                       "invalid command: missing field `type` at line 1 column 15", true));
  // A last command without a line feed is still handled.
  monitor_->write(read_history_line("x", 5).substr(0, read_history_line("x", 5).size() - 1));
  monitor_->close_stdin();
  EXPECT_EQ(*monitor_->read_line(LINE_WAIT),
            error_line("not-configured", "configure must be sent before reading history", true));
  EXPECT_EQ(monitor_->wait_exit(LINE_WAIT), 0);
}

TEST_F(Monitor, InvalidUtf8EndsTheMonitorAfterOneError) {
  expect_hello();
  monitor_->write(std::string("{\"type\":\"sh\xFFutdown\"}\n") + sample_now_line("after"));
  EXPECT_EQ(*monitor_->read_line(LINE_WAIT),
            error_line("invalid-command",
                       "failed reading command stream: stream did not contain valid UTF-8", true));
  EXPECT_EQ(monitor_->wait_exit(LINE_WAIT), 0);
  EXPECT_EQ(monitor_->read_rest(1s), "");
}

// Commands queued before the end of input are all answered, in order, and then it exits.
TEST_F(Monitor, QueuedCommandsAnsweredBeforeExit) {
  std::string burst = configure_line(getpid(), 0);
  for (int i = 0; i < 100; ++i) burst += read_history_line("h" + std::to_string(i), 0);
  ASSERT_TRUE(monitor_->write(burst));
  monitor_->close_stdin();
  expect_hello();
  for (int i = 0; i < 100; ++i) {
    json chunk = next_event();
    ASSERT_EQ(chunk["type"], "historyChunk");
    EXPECT_EQ(chunk["requestId"], "h" + std::to_string(i));
    EXPECT_EQ(chunk["done"], true);
    EXPECT_EQ(chunk["snapshots"].size(), 0u);
  }
  EXPECT_EQ(monitor_->wait_exit(LINE_WAIT), 0);
  EXPECT_EQ(monitor_->read_rest(1s), "");
}

TEST_F(Monitor, EmptyHistoryAnswerIsOneLine) {
  expect_hello();
  monitor_->write(configure_line(getpid(), 0) + read_history_line("r2", 3600000));
  EXPECT_EQ(*monitor_->read_line(LINE_WAIT),
            R"({"version":2,"type":"historyChunk","requestId":"r2","done":true,"snapshots":[]})");
  expect_clean_exit();
}

// A tree of real processes: the snapshot has one row per process, sorted by pid.
TEST_F(Monitor, SampleNowReportsARealTree) {
  ChildProcess tree({TREEMON_TEST_HELPER, "tree", "2", "2", "30"});
  std::set<int> expected{tree.pid()};
  // The grandchildren's lines may come after "ready" on a slow machine: wait for all seven.
  bool ready = false;
  while (!ready || expected.size() < 7u) {
    auto line = tree.read_line(LINE_WAIT);
    ASSERT_TRUE(line) << expected.size() << " of 7 processes reported";
    if (*line == "ready") {
      ready = true;
    } else {
      expected.insert(std::stoi(*line));
    }
  }
  ASSERT_EQ(expected.size(), 7u);
  expect_hello();
  monitor_->write(configure_line(tree.pid(), 0) + sample_now_line("r1"));
  json snapshot = next_event();
  ASSERT_EQ(snapshot["type"], "snapshot");
  EXPECT_EQ(snapshot["requestId"], "r1");
  EXPECT_EQ(snapshot["sequence"], 1);
  std::vector<int> pids;
  for (const auto& row : snapshot["processes"]) {
    pids.push_back(row["pid"].get<int>());
    EXPECT_EQ(row["ioSemantics"], "all-io");
    EXPECT_EQ(row["startTimeMs"].get<uint64_t>() % 1000, 0u);
  }
  EXPECT_TRUE(std::is_sorted(pids.begin(), pids.end()));
  EXPECT_EQ(std::set<int>(pids.begin(), pids.end()), expected);
  EXPECT_EQ(snapshot["retainedProcessCount"], 7);
  EXPECT_EQ(snapshot["inaccessibleProcessCount"], 0);
  EXPECT_GT(snapshot["scannedProcessCount"].get<int>(), 7);
  const json& root = snapshot["processes"][0];
  EXPECT_EQ(root["pid"], tree.pid());
  EXPECT_EQ(root["ppid"], getpid());
  EXPECT_EQ(root["name"], "treemon_test_helper");
  EXPECT_EQ(root["command"], std::string(TREEMON_TEST_HELPER) + " tree 2 2 30");
  EXPECT_EQ(root["status"], "Sleep");
  expect_clean_exit();
}

// Configure with an interval and streaming off: samples are stored, not written; readHistory
// returns them; streaming on shows the periodic ones, without requestId, numbered after them.
TEST_F(Monitor, PeriodicSamplesAreStoredAndStreamed) {
  expect_hello();
  monitor_->write(configure_line(getpid(), 250));
  EXPECT_FALSE(monitor_->read_line(2000ms));
  monitor_->write(read_history_line("h", 3600000));
  json chunk = next_event();
  ASSERT_EQ(chunk["type"], "historyChunk");
  const size_t stored = chunk["snapshots"].size();
  EXPECT_GE(stored, 2u);
  EXPECT_LE(stored, 9u);
  for (const auto& s : chunk["snapshots"]) EXPECT_FALSE(s.contains("requestId"));
  monitor_->write(streaming_line(true));
  json periodic = next_event(2s);
  ASSERT_EQ(periodic["type"], "snapshot");
  EXPECT_FALSE(periodic.contains("requestId"));
  // A periodic sample may fall due between the history answer and setStreaming: it is stored,
  // not written, so the first written one continues the numbering after one or two more.
  const size_t sequence = periodic["sequence"].get<size_t>();
  EXPECT_GT(sequence, stored);
  EXPECT_LE(sequence, stored + 3);
  expect_clean_exit_while_streaming();
}

// Streaming switched on before configure is remembered; the first periodic sample comes at once.
TEST_F(Monitor, StreamingRememberedAndFirstSampleAtOnce) {
  expect_hello();
  monitor_->write(streaming_line(true));
  const auto start = std::chrono::steady_clock::now();
  monitor_->write(configure_line(getpid(), 60000));
  json first = next_event();
  ASSERT_EQ(first["type"], "snapshot");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  // An interval of 60000 ms: nothing more for a good while.
  EXPECT_FALSE(monitor_->read_line(1500ms));
  expect_clean_exit();
}

// Interval 1 is raised to 250 ms: about four samples a second, not a thousand.
TEST_F(Monitor, SmallIntervalIsRaisedTo250) {
  expect_hello();
  monitor_->write(streaming_line(true) + configure_line(getpid(), 1));
  auto lines = monitor_->read_lines_for(2000ms);
  EXPECT_GE(lines.size(), 3u);  // a loaded machine may slow the samples down, never speed them up
  EXPECT_LE(lines.size(), 9u);
  expect_clean_exit_while_streaming();
}

TEST_F(Monitor, IntervalZeroThen500) {
  expect_hello();
  monitor_->write(streaming_line(true) + configure_line(getpid(), 250));
  ASSERT_EQ(next_event()["type"], "snapshot");
  monitor_->write(interval_line(0));
  monitor_->read_lines_for(400ms);  // at most one sample in flight before the change
  EXPECT_FALSE(monitor_->read_line(1000ms));
  const auto resumed = std::chrono::steady_clock::now();
  monitor_->write(interval_line(500));
  json next = next_event(3s);
  ASSERT_EQ(next["type"], "snapshot");
  EXPECT_GE(std::chrono::steady_clock::now() - resumed, 450ms);
  expect_clean_exit_while_streaming();
}

// sampleNow with streaming on carries its requestId; a second configure keeps the sequence.
TEST_F(Monitor, SampleNowAndSecondConfigure) {
  expect_hello();
  monitor_->write(configure_line(getpid(), 0) + sample_now_line("one"));
  json first = next_event();
  EXPECT_EQ(first["requestId"], "one");
  EXPECT_EQ(first["sequence"], 1);
  monitor_->write(streaming_line(true) + configure_line(getppid(), 60000));
  json periodic = next_event();
  EXPECT_FALSE(periodic.contains("requestId"));
  EXPECT_EQ(periodic["sequence"], 2);
  monitor_->write(sample_now_line("two"));
  json second = next_event();
  EXPECT_EQ(second["requestId"], "two");
  EXPECT_EQ(second["sequence"], 3);
  monitor_->write(read_history_line("all", 3600000));
  json chunk = next_event();
  ASSERT_EQ(chunk["snapshots"].size(), 3u);
  EXPECT_EQ(chunk["requestId"], "all");
  expect_clean_exit();
}

// More than 64 commands while the loop is busy: none lost, order kept.
TEST_F(Monitor, BurstWhileBusyKeepsEverything) {
  expect_hello();
  std::string burst = configure_line(getpid(), 0);
  for (int i = 0; i < 10; ++i) burst += sample_now_line("s" + std::to_string(i));  // 200 ms each
  for (int i = 0; i < 150; ++i) burst += read_history_line("h" + std::to_string(i), 0);
  std::thread writer([&] { monitor_->write(burst); });
  for (int i = 0; i < 10; ++i) EXPECT_EQ(next_event()["requestId"], "s" + std::to_string(i));
  for (int i = 0; i < 150; ++i) EXPECT_EQ(next_event()["requestId"], "h" + std::to_string(i));
  writer.join();
  expect_clean_exit();
}

TEST_F(Monitor, ClosedOutputGivesStatusOne) {
  expect_hello();
  monitor_->close_stdout();
  monitor_->write(configure_line(getpid(), 0) + sample_now_line("lost"));
  EXPECT_EQ(monitor_->wait_exit(LINE_WAIT), 1);
  const std::string err = monitor_->read_stderr(1s);
  EXPECT_TRUE(err.starts_with("Error: ")) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
  EXPECT_TRUE(err.ends_with("\n"));
}

// The reader thread is never joined: shutdown ends the process while stdin is still open.
TEST_F(Monitor, ExitsPromptlyWhileInputStaysOpen) {
  expect_hello();
  monitor_->write(SHUTDOWN);
  EXPECT_EQ(monitor_->wait_exit(2s), 0);
}

}  // namespace
}  // namespace treemon
