// The real binary under faults a client or the system can cause: output closed mid-answer, a
// client that stops reading, input cut mid-line, a line of 100 MB, a burst of 10,000 commands,
// signals arriving while it reads and writes, and a standard stream closed from the start. In
// every case it must either carry on without losing anything or end the documented way (status 1
// and one "Error: " line on standard error).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"

namespace treemon {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test_support::ChildProcess;

constexpr auto LINE_WAIT = 10s;

// Sanitizer builds keep shadow memory and freed blocks on the side: memory bounds allow for it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif
#else
constexpr bool SANITIZED = false;
#endif

std::string configure_line(int root_pid, uint64_t interval_ms) {
  return R"({"version":2,"type":"configure","rootPid":)" + std::to_string(root_pid) +
         R"(,"sampleIntervalMs":)" + std::to_string(interval_ms) + "}\n";
}
std::string sample_now_line(const std::string& id) {
  return R"({"version":2,"type":"sampleNow","requestId":")" + id + "\"}\n";
}
std::string read_history_line(const std::string& id, uint64_t window) {
  return R"({"version":2,"type":"readHistory","requestId":")" + id + R"(","windowMs":)" +
         std::to_string(window) + "}\n";
}
const std::string STREAMING_ON = "{\"version\":2,\"type\":\"setStreaming\",\"enabled\":true}\n";
const std::string SHUTDOWN = "{\"version\":2,\"type\":\"shutdown\"}\n";
const std::string LINE_TOO_LONG =
    R"({"version":2,"type":"error","code":"invalid-command","message":"invalid command: line longer than 16777216 bytes","recoverable":true})";

// A field of /proc/PID/status in kB ("VmHWM", "VmRSS"), or 0.
uint64_t status_kib(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(field + ":")) return std::stoull(line.substr(field.size() + 1));
  }
  return 0;
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    monitor_ = std::make_unique<ChildProcess>(std::vector<std::string>{TREEMON_BINARY});
    auto hello = monitor_->read_line(LINE_WAIT);
    ASSERT_TRUE(hello);
    ASSERT_EQ(json::parse(*hello)["type"], "hello");
  }

  json next_event(std::chrono::milliseconds wait = LINE_WAIT) {
    auto line = monitor_->read_line(wait);
    if (!line) return json();
    return json::parse(*line);
  }

  // A helper tree of 1 + children * (1 + grandchildren) processes, to make snapshots large.
  std::unique_ptr<ChildProcess> start_tree(int children, int grandchildren) {
    auto tree = std::make_unique<ChildProcess>(
        std::vector<std::string>{TREEMON_TEST_HELPER, "tree", std::to_string(children),
                                 std::to_string(grandchildren), "60"});
    for (;;) {
      auto line = tree->read_line(LINE_WAIT);
      if (!line || *line == "ready") break;
    }
    return tree;
  }

  void expect_clean_exit() {
    monitor_->close_stdin();
    EXPECT_EQ(monitor_->read_rest(LINE_WAIT), "");
    EXPECT_EQ(monitor_->wait_exit(LINE_WAIT), 0);
  }

  // Exit status 1 with exactly one line on standard error, starting "Error: ".
  void expect_output_failure_exit() {
    EXPECT_EQ(monitor_->wait_exit(LINE_WAIT), 1);
    const std::string err = monitor_->read_stderr(1s);
    EXPECT_TRUE(err.starts_with("Error: ")) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_TRUE(err.ends_with("\n")) << err;
  }

  // Forty on-demand snapshots of a 61-row tree (about 25 KB of text each) in the history, so that
  // a history answer is far larger than a pipe holds.
  void store_large_snapshots(const ChildProcess& tree) {
    monitor_->write(configure_line(tree.pid(), 0));
    for (int i = 0; i < 40; ++i) {
      monitor_->write(sample_now_line("s" + std::to_string(i)));
      ASSERT_EQ(next_event()["requestId"], "s" + std::to_string(i));
    }
  }

  std::unique_ptr<ChildProcess> monitor_;
};

// Standard output closed after the first of several large history chunks: the next write fails,
// the monitor gives up the rest of the answer and exits with status 1.
TEST_F(Faults, OutputClosedInTheMiddleOfAHistoryAnswer) {
  auto tree = start_tree(20, 2);
  ASSERT_NO_FATAL_FAILURE(store_large_snapshots(*tree));
  monitor_->write(read_history_line("h", 3600000));
  const json first = next_event();
  ASSERT_EQ(first["type"], "historyChunk");
  ASSERT_EQ(first["done"], false);
  ASSERT_EQ(first["snapshots"].size(), 32u);
  // The second chunk holds 8 snapshots, more than the pipe takes, so its write must fail.
  monitor_->close_stdout();
  expect_output_failure_exit();
}

// A client that stops reading stalls the monitor; once it reads again, every periodic snapshot
// and every answer arrives, in order, with no sequence number missing.
TEST_F(Faults, ClientThatStopsReadingLosesNothing) {
  auto tree = start_tree(20, 2);
  monitor_->write(STREAMING_ON + configure_line(tree->pid(), 250));
  const json first = next_event();
  ASSERT_EQ(first["type"], "snapshot");
  uint64_t expected_sequence = first["sequence"].get<uint64_t>() + 1;

  std::this_thread::sleep_for(4s);  // about 16 snapshots of 25 KB: far more than the pipe holds
  for (int i = 0; i < 5; ++i) monitor_->write(sample_now_line("late" + std::to_string(i)));
  ASSERT_FALSE(monitor_->wait_exit(0ms)) << "the monitor ended while its output was full";

  size_t bytes = 0;
  int answered = 0;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (answered < 5 && std::chrono::steady_clock::now() < deadline) {
    auto line = monitor_->read_line(LINE_WAIT);
    ASSERT_TRUE(line);
    bytes += line->size() + 1;
    const json event = json::parse(*line);
    ASSERT_EQ(event["type"], "snapshot");
    EXPECT_EQ(event["sequence"], expected_sequence++);
    if (event.contains("requestId")) {
      EXPECT_EQ(event["requestId"], "late" + std::to_string(answered));
      ++answered;
    }
  }
  EXPECT_EQ(answered, 5);
  EXPECT_GT(bytes, 65536u) << "the pipe never filled, so the monitor was never blocked";
  monitor_->write(SHUTDOWN);
  EXPECT_EQ(monitor_->wait_exit(LINE_WAIT), 0);
}

// Input that ends in the middle of a line: the partial line is still the last line.
TEST_F(Faults, InputClosedInTheMiddleOfALine) {
  struct Case {
    std::string last_bytes;
    std::string expected_type;
    std::string expected_text;  // requestId of a snapshot, or the start of an error message
  };
  // What the unterminated last line gives: a command, or the parser's rejection of it.
  const std::vector<Case> cases = {
      {R"({"version":2,"type":"sampleNow","requestId":"last"})", "snapshot", "last"},
      {R"(  {"version":2,"type":"sampleNow","requestId":"spaced"}  )", "snapshot", "spaced"},
      {R"({"version":2,"type":"sampl)", "error", "invalid command: "},
      // The carriage return stays, and counts as whitespace after the value.
      {"{\"version\":2,\"type\":\"sampleNow\",\"requestId\":\"cr\"}\r", "snapshot", "cr"},
      {"{\"version\":2,\"type\":\"sampleNow\",\"requestId\":\"cr\"}\r\r", "snapshot", "cr"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.last_bytes);
    monitor_ = std::make_unique<ChildProcess>(std::vector<std::string>{TREEMON_BINARY});
    ASSERT_TRUE(monitor_->read_line(LINE_WAIT));
    monitor_->write(configure_line(getpid(), 0) + c.last_bytes);
    monitor_->close_stdin();
    const json event = next_event();
    ASSERT_EQ(event["type"], c.expected_type);
    if (c.expected_type == "snapshot") {
      EXPECT_EQ(event["requestId"], c.expected_text);
    } else {
      EXPECT_EQ(event["code"], "invalid-command");
      EXPECT_TRUE(event["message"].get<std::string>().starts_with(c.expected_text));
    }
    EXPECT_EQ(monitor_->read_rest(LINE_WAIT), "");
    EXPECT_EQ(monitor_->wait_exit(LINE_WAIT), 0);
  }
}

// Lines of 100 MB: a line longer than 16 MiB is never held, whatever it holds. Garbage and a
// command padded to 100 MB each give one error, and the monitor carries on with the next line.
TEST_F(Faults, LineOf100MegabytesIsSkipped) {
  constexpr size_t SIZE = 100u << 20;
  monitor_->write(configure_line(getpid(), 0));
  for (const std::string& line :
       {std::string(SIZE, 'x') + "\n", std::string(SIZE, ' ') + sample_now_line("padded")}) {
    monitor_->write(line);
    EXPECT_EQ(monitor_->read_line(30s), LINE_TOO_LONG);
  }

  const uint64_t peak_kib = status_kib(monitor_->pid(), "VmHWM");
  const uint64_t resident_kib = status_kib(monitor_->pid(), "VmRSS");
  std::printf("[ figures  ] 100 MB lines: peak resident %llu KiB, resident after %llu KiB\n",
              static_cast<unsigned long long>(peak_kib),
              static_cast<unsigned long long>(resident_kib));
  // At most the 16 MiB of a line being held, as its buffer grew.
  const uint64_t bound_kib = (SANITIZED ? 512u : 96u) * 1024u;
  EXPECT_LT(peak_kib, bound_kib) << "too much resident memory for a 100 MB line";

  monitor_->write(sample_now_line("after"));
  EXPECT_EQ(next_event()["requestId"], "after");
  expect_clean_exit();
}

// 10,000 commands written at once, every tenth one invalid: 10,000 answers in order.
TEST_F(Faults, BurstOf10000Commands) {
  constexpr int COUNT = 10000;
  monitor_->write(configure_line(getpid(), 0));
  std::string burst;
  for (int i = 0; i < COUNT; ++i) {
    burst += i % 10 == 9 ? "{\"version\":2,\"type\":\"nope" + std::to_string(i) + "\"}\n"
                         : read_history_line("h" + std::to_string(i), 1000);
  }
  std::thread writer([&] { monitor_->write(burst); });
  int in_order = 0;
  for (int i = 0; i < COUNT; ++i) {
    const json event = next_event();
    if (i % 10 == 9) {
      in_order +=
          event["type"] == "error" && event["code"] == "invalid-command" &&
          event["message"].get<std::string>().find("nope" + std::to_string(i)) != std::string::npos;
    } else {
      in_order += event["type"] == "historyChunk" &&
                  event["requestId"] == "h" + std::to_string(i) && event["done"] == true;
    }
    if (event.is_null()) break;
  }
  writer.join();
  EXPECT_EQ(in_order, COUNT);
  expect_clean_exit();
}

// Signals without handlers that do not end a process (window changes, child state changes,
// urgent data, stop and continue) delivered while the monitor reads commands and writes
// snapshots: nothing is lost and the conversation goes on.
TEST_F(Faults, SignalsWhileReadingAndWriting) {
  auto tree = start_tree(5, 2);
  monitor_->write(STREAMING_ON + configure_line(tree->pid(), 250));
  std::atomic<bool> stop{false};
  std::thread signaller([&] {
    const int signals[] = {SIGWINCH, SIGCHLD, SIGURG, SIGCONT};
    for (int i = 0; !stop; ++i) {
      ::kill(monitor_->pid(), signals[i % 4]);
      if (i % 50 == 49) {
        ::kill(monitor_->pid(), SIGSTOP);
        std::this_thread::sleep_for(5ms);
        ::kill(monitor_->pid(), SIGCONT);
      }
      std::this_thread::sleep_for(200us);
    }
  });
  std::optional<uint64_t> last_sequence;
  int answers = 0;
  bool gap = false;
  for (int i = 0; i < 20; ++i) {
    monitor_->write(sample_now_line("n" + std::to_string(i)) + "\n  \n" +
                    read_history_line("h" + std::to_string(i), 600000));
    for (int seen_history = 0; seen_history == 0;) {
      const json event = next_event();
      ASSERT_FALSE(event.is_null()) << "no event while signals were arriving";
      if (event["type"] == "snapshot") {
        const uint64_t sequence = event["sequence"];
        if (last_sequence && sequence != *last_sequence + 1) gap = true;
        last_sequence = sequence;
        if (event.contains("requestId")) answers += event["requestId"] == "n" + std::to_string(i);
      } else {
        ASSERT_EQ(event["type"], "historyChunk");
        if (event["done"] == true) seen_history = 1;
      }
    }
  }
  stop = true;
  signaller.join();
  EXPECT_EQ(answers, 20);
  EXPECT_FALSE(gap) << "a snapshot sequence number was skipped";
  monitor_->write(SHUTDOWN);
  EXPECT_EQ(monitor_->wait_exit(LINE_WAIT), 0);
}

// The monitor under a limit of its address space (about 80 MiB of which it takes at start, most
// of it reserved for the reader thread's memory), for the faults that are about memory.
// Sanitizers reserve far more address space than that, so their builds skip these.
class FaultsUnderMemoryLimit : public ::testing::Test {
 protected:
  void SetUp() override {
    if (SANITIZED) GTEST_SKIP() << "sanitizers need more address space";
    if (::access("/usr/bin/prlimit", X_OK) != 0) GTEST_SKIP() << "no prlimit";
  }

  void start(uint64_t limit_mib) {
    monitor_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        "/usr/bin/prlimit", "--as=" + std::to_string(limit_mib << 20), TREEMON_BINARY});
    ASSERT_TRUE(monitor_->read_line(LINE_WAIT));
    monitor_->write(configure_line(getpid(), 0));
  }

  std::unique_ptr<ChildProcess> monitor_;
};

// A line of 256 MB is skipped without being held: one error, then the next command is answered.
TEST_F(FaultsUnderMemoryLimit, LineLargerThanTheMemoryIsSkipped) {
  start(256);
  monitor_->write(R"({"version":2,"type":"sampleNow","requestId":")" +
                  std::string(256u << 20, 'x') + "\"}\n" + sample_now_line("after"));
  EXPECT_EQ(monitor_->read_line(60s), LINE_TOO_LONG);
  const auto answer = monitor_->read_line(LINE_WAIT);
  ASSERT_TRUE(answer);
  EXPECT_EQ(json::parse(*answer)["requestId"], "after");
  monitor_->close_stdin();
  EXPECT_EQ(monitor_->wait_exit(LINE_WAIT), 0);
  EXPECT_EQ(monitor_->read_stderr(1s), "");
}

// 40 commands of 8 MiB while the client does not read: the queue holds at most 64 MiB of them
// and the reader waits, where holding them all would pass the limit. Every one is answered.
TEST_F(FaultsUnderMemoryLimit, BurstOfLargeCommandsWaitsForRoomInTheQueue) {
  start(256);
  constexpr int COUNT = 40;
  const std::string id(8u << 20, 'q');
  std::atomic<int> written{0};
  std::thread writer([&] {
    for (int i = 0; i < COUNT; ++i) {
      monitor_->write(read_history_line(id + std::to_string(i), 0));
      ++written;
    }
    monitor_->close_stdin();
  });
  // Not reading until the reader has taken all it will: until the writer is done or has stalled
  // for a while, or the monitor has ended.
  auto last_progress = std::chrono::steady_clock::now();
  for (int seen = 0; written < COUNT && !monitor_->wait_exit(0ms);) {
    if (written != seen) {
      seen = written;
      last_progress = std::chrono::steady_clock::now();
    } else if (std::chrono::steady_clock::now() - last_progress > 1500ms) {
      break;
    }
    std::this_thread::sleep_for(50ms);
  }
  const std::string out = monitor_->read_rest(60s);
  writer.join();
  EXPECT_EQ(monitor_->wait_exit(LINE_WAIT), 0);
  EXPECT_EQ(monitor_->read_stderr(1s), "");
  size_t start = 0;
  int answered = 0;
  for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string expected = R"({"version":2,"type":"historyChunk","requestId":")" + id +
                                 std::to_string(answered) + R"(","done":true,"snapshots":[]})";
    answered += out.compare(start, end - start, expected) == 0;
  }
  EXPECT_EQ(answered, COUNT);
  EXPECT_EQ(start, out.size()) << "the output ends inside a line";
}

// A command within the line limit whose list of 4 million entries needs some 150 MB as it grows:
// the monitor ends with status 1 and one line on standard error, never with an abort.
TEST_F(FaultsUnderMemoryLimit, RunningOutOfMemoryEndsWithOneErrorLine) {
  start(192);
  std::string processes;
  for (int i = 0; i < 4'000'000; ++i) processes += "[1],";
  monitor_->write(R"({"version":2,"type":"setExternalProcesses","processes":[)" + processes +
                  "[1]]}\n");
  EXPECT_EQ(monitor_->wait_exit(30s), 1);
  EXPECT_EQ(monitor_->read_stderr(1s), "Error: out of memory\n");
  EXPECT_EQ(monitor_->read_rest(1s), "");
}

// SIGTERM, SIGINT and SIGHUP end the monitor as shutdown does: status 0, nothing more written,
// nothing on standard error.
TEST(FaultsStopSignals, TerminationSignalsEndTheMonitorAsShutdownDoes) {
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    ChildProcess monitor({TREEMON_BINARY});
    ASSERT_TRUE(monitor.read_line(LINE_WAIT));
    monitor.write(configure_line(getpid(), 0) + sample_now_line("s"));
    ASSERT_TRUE(monitor.read_line(LINE_WAIT));
    ::kill(monitor.pid(), signal);
    EXPECT_EQ(monitor.wait_exit(LINE_WAIT), 0);
    EXPECT_EQ(monitor.read_rest(1s), "");
    EXPECT_EQ(monitor.read_stderr(1s), "");
  }
}

// SIGTERM while the first chunk of a large history answer waits for the client to read: that
// chunk is finished, the rest of the answer is not written, and the status is 0.
TEST_F(Faults, TerminationSignalInTheMiddleOfAHistoryAnswer) {
  auto tree = start_tree(20, 2);
  ASSERT_NO_FATAL_FAILURE(store_large_snapshots(*tree));
  monitor_->write(read_history_line("h", 3600000));
  std::this_thread::sleep_for(300ms);  // the first chunk, 800 KB, fills the pipe
  ::kill(monitor_->pid(), SIGTERM);
  std::this_thread::sleep_for(300ms);
  const std::string rest = monitor_->read_rest(LINE_WAIT);
  EXPECT_EQ(monitor_->wait_exit(LINE_WAIT), 0);
  EXPECT_EQ(monitor_->read_stderr(1s), "");
  ASSERT_TRUE(rest.ends_with("\n")) << "the output ends inside a line";
  ASSERT_EQ(std::count(rest.begin(), rest.end(), '\n'), 1) << "more than the chunk being written";
  const json chunk = json::parse(rest);
  EXPECT_EQ(chunk["type"], "historyChunk");
  EXPECT_EQ(chunk["done"], false);
}

// The monitor started with non-blocking standard streams, as a client's event loop may hand
// them over: an empty input or a full output is a wait, not a failure.
class NonBlockingMonitor {
 public:
  NonBlockingMonitor() {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
      fcntl(1, F_SETFL, fcntl(1, F_GETFL) | O_NONBLOCK);
      execl(TREEMON_BINARY, TREEMON_BINARY, static_cast<char*>(nullptr));
      _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    output_ = out[0];
  }
  ~NonBlockingMonitor() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(input_);
    ::close(output_);
  }

  bool write(const std::string& bytes) {
    return ::write(input_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  std::optional<std::string> read_line(int timeout_ms) {
    for (;;) {
      if (const size_t end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      pollfd p{output_, POLLIN, 0};
      if (::poll(&p, 1, timeout_ms) <= 0) return std::nullopt;
      char chunk[65536];
      const ssize_t n = ::read(output_, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }
  // The exit status once it has ended, or nothing while it runs.
  std::optional<int> exited() {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return std::nullopt;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string buffer_;
};

TEST(FaultsNonBlocking, EmptyInputAndFullOutputAreWaitsNotFailures) {
  ChildProcess tree({TREEMON_TEST_HELPER, "tree", "20", "2", "60"});
  for (auto line = tree.read_line(LINE_WAIT); line && *line != "ready";
       line = tree.read_line(LINE_WAIT)) {
  }
  NonBlockingMonitor monitor;
  ASSERT_TRUE(monitor.read_line(10000));  // hello
  std::this_thread::sleep_for(500ms);     // nothing to read: the reader must wait, not fail
  ASSERT_TRUE(monitor.write(STREAMING_ON + configure_line(tree.pid(), 250)));
  const auto first = monitor.read_line(10000);
  ASSERT_TRUE(first);
  const json first_event = json::parse(*first);
  ASSERT_EQ(first_event["type"], "snapshot") << *first;
  uint64_t expected = first_event["sequence"].get<uint64_t>() + 1;

  std::this_thread::sleep_for(3s);  // the output pipe fills
  EXPECT_FALSE(monitor.exited()) << "the monitor ended while its output was full";
  ASSERT_TRUE(monitor.write(sample_now_line("after")));
  bool answered = false;
  while (!answered) {
    const auto line = monitor.read_line(10000);
    ASSERT_TRUE(line) << "no more events";
    const json event = json::parse(*line);
    ASSERT_EQ(event["type"], "snapshot") << *line;
    EXPECT_EQ(event["sequence"], expected++);
    answered = event.value("requestId", "") == "after";
  }
  ASSERT_TRUE(monitor.write(SHUTDOWN));
  std::optional<int> status;
  for (int i = 0; i < 500 && !status; ++i) {
    std::this_thread::sleep_for(10ms);
    status = monitor.exited();
  }
  EXPECT_EQ(status, 0);
}

// A monitor started with one of its standard streams closed: files it opens later must not take
// the stream's place. Each case runs several times because what would land there depends on
// which thread opens a file first.
TEST(FaultsClosedStream, ClosedStandardStreamStaysClosed) {
  const std::string hello_prefix = R"({"version":2,"type":"hello",)";
  const std::string read_failure =
      R"({"version":2,"type":"error","code":"invalid-command","message":"failed reading command stream: Bad file descriptor","recoverable":true})";
  struct Case {
    const char* redirection;  // applied by a shell that then runs the monitor
    std::string input;        // written to the monitor's input, when it has one
    bool hello_expected;
    std::string after_hello;  // the rest of standard output
    int status;
    std::string standard_error;
  } cases[] = {
      {"<&-", "", true, read_failure + "\n", 0, ""},
      {">&-", SHUTDOWN, false, "", 1, "Error: Bad file descriptor\n"},
      {"2>&-", sample_now_line("s") + SHUTDOWN, true,
       R"({"version":2,"type":"error","code":"not-configured","message":"configure must be sent before sampling","recoverable":true})"
       "\n",
       0, ""},
  };
  for (const Case& c : cases) {
    for (int run = 0; run < 5; ++run) {
      SCOPED_TRACE(std::string(c.redirection) + " run " + std::to_string(run));
      ChildProcess monitor(
          {"/bin/sh", "-c", std::string("exec \"$0\" ") + c.redirection, TREEMON_BINARY});
      if (!c.input.empty()) monitor.write(c.input);
      monitor.close_stdin();
      std::string out = monitor.read_rest(LINE_WAIT);
      if (c.hello_expected) {
        ASSERT_TRUE(out.starts_with(hello_prefix)) << out;
        out.erase(0, out.find('\n') + 1);
      }
      EXPECT_EQ(out, c.after_hello);
      EXPECT_EQ(monitor.wait_exit(LINE_WAIT), c.status);
      EXPECT_EQ(monitor.read_stderr(1s), c.standard_error);
    }
  }
}

}  // namespace
}  // namespace treemon
