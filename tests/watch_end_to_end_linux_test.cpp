// treemon-watch as a person runs it: the real binary with real process trees, started from a
// clean state (default SIGPIPE, no blocked signals) in a folder of its own, its standard output
// and error read back from files, and the files it wrote.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

namespace treemon {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
namespace fs = std::filesystem;

// Bounds each run; a run ends as soon as the tool does.
constexpr auto RUN_LIMIT = 60s;

std::string read_file(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

bool alive(pid_t pid) {
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

struct Outcome {
  int status = -1;  // the exit status, or 128 + N after signal N
  std::string out;
  std::string err;
};

class Watch : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/treemon-watch-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (const pid_t pid : left_) {
      if (pid > 0) ::kill(pid, SIGKILL);
    }
    fs::remove_all(dir_);
  }

  // Starts the tool in dir_ with the state a shell would give it: SIGPIPE default, no signal
  // blocked, and `in_child` for anything more.
  pid_t start(const std::vector<std::string>& args, const std::function<void()>& in_child = {},
              int terminal = -1) {
    std::vector<std::string> argv = {TREEMON_WATCH_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string out = (dir_ / "stdout").string();
    const std::string err = (dir_ / "stderr").string();
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::signal(SIGPIPE, SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      if (::chdir(dir_.c_str()) != 0) ::_exit(126);
      const int o =
          terminal >= 0 ? terminal : ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(o, 1);
      ::dup2(e, 2);
      if (in_child) in_child();
      std::vector<char*> raw;
      for (const std::string& a : argv) raw.push_back(const_cast<char*>(a.c_str()));
      raw.push_back(nullptr);
      ::execv(raw[0], raw.data());
      ::_exit(126);
    }
    return pid;
  }

  Outcome finish(pid_t pid) {
    Outcome run;
    const auto deadline = std::chrono::steady_clock::now() + RUN_LIMIT;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        ADD_FAILURE() << "treemon-watch did not end in time";
      }
      std::this_thread::sleep_for(20ms);
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = read_file(dir_ / "stdout");
    run.err = read_file(dir_ / "stderr");
    return run;
  }

  Outcome watch(const std::vector<std::string>& args, const std::function<void()>& in_child = {}) {
    return finish(start(args, in_child));
  }

  // The pid the command wrote to bg.pid, to be killed at the end if still there.
  pid_t background() {
    const pid_t pid = static_cast<pid_t>(std::atoi(read_file(dir_ / "bg.pid").c_str()));
    left_.push_back(pid);
    return pid;
  }

  json record_summary() {
    std::istringstream lines(read_file(dir_ / "run.jsonl"));
    std::string line;
    std::string last;
    while (std::getline(lines, line)) last = line;
    return json::parse(last);
  }

  fs::path dir_;
  std::vector<pid_t> left_;
};

bool has_line(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST_F(Watch, TheCommandGetsTheCallersStateAndFolder) {
  const Outcome run =
      watch({"--", "sh", "-c", "grep -E '^Sig(Blk|Ign)' /proc/self/status; ulimit -Sn; pwd"}, [] {
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = 200;
        ::setrlimit(RLIMIT_NOFILE, &limit);
      });
  EXPECT_EQ(run.status, 0) << run.err;
  // SIGPIPE is signal 13: bit 12 of the ignored set. The tool itself ignores it, blocks its stop
  // signals and raises its own limit.
  std::smatch ignored;
  ASSERT_TRUE(std::regex_search(run.out, ignored, std::regex("SigIgn:\\s*([0-9a-f]+)"))) << run.out;
  EXPECT_EQ(std::stoull(ignored[1], nullptr, 16) & (1u << 12), 0u) << run.out;
  EXPECT_TRUE(std::regex_search(run.out, std::regex("SigBlk:\\s*0+\n"))) << run.out;
  EXPECT_TRUE(has_line(run.out, "200")) << run.out;
  EXPECT_TRUE(has_line(run.out, fs::canonical(dir_).string())) << run.out;
}

TEST_F(Watch, ExitStatuses) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string in_stderr;
  };
  const std::vector<Case> cases = {
      {{"--", "sh", "-c", "exit 3"}, 3, "  exit status     3\n"},
      {{"--", "sh", "-c", "kill -TERM $$"}, 143, "  exit status     143 (killed by SIGTERM)\n"},
      {{"--", "no-such-command-for-treemon"},
       127,
       "treemon-watch: cannot start no-such-command-for-treemon: no such file or directory\n"},
      {{"--csv", "/nonexistent/x.csv", "--", "sh", "-c", "echo ran > marker"},
       2,
       "treemon-watch: cannot write /nonexistent/x.csv: no such file or directory\n"},
      {{"--frobnicate", "sh"}, 2, "treemon-watch: unknown option --frobnicate\n"},
      {{"--pid", "4194305"}, 1, "treemon-watch: no process with pid 4194305\n"},
  };
  for (const Case& c : cases) {
    const Outcome run = watch(c.args);
    EXPECT_EQ(run.status, c.status) << c.in_stderr << run.err;
    EXPECT_NE(run.err.find(c.in_stderr), std::string::npos) << run.err;
  }
  EXPECT_FALSE(fs::exists(dir_ / "marker")) << "nothing started after an unwritable output";
}

TEST_F(Watch, StopSignalsEndTheCommandAndPrintTheSummary) {
  for (const auto& [signal_number, status] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
    const pid_t tool =
        start({"--interval", "250", "--", "sh", "-c", "echo $$ > bg.pid; exec sleep 60"});
    while (read_file(dir_ / "bg.pid").empty()) std::this_thread::sleep_for(20ms);
    const pid_t command = background();
    ::kill(tool, signal_number);
    const Outcome run = finish(tool);
    EXPECT_EQ(run.status, status) << run.err;
    EXPECT_NE(run.err.find("summary: sh -c"), std::string::npos) << run.err;
    EXPECT_FALSE(alive(command));
    fs::remove(dir_ / "bg.pid");
  }
}

TEST_F(Watch, DurationEndsTheTreeThenKillsWhatIgnoresTerm) {
  const Outcome run = watch({"--duration", "1", "--record", "run.jsonl", "--", "sh", "-c",
                             "sleep 60 & echo $! > bg.pid; trap '' TERM; sleep 60"});
  EXPECT_EQ(run.status, 137) << run.err;
  EXPECT_FALSE(alive(background()));
  const json summary = record_summary();
  EXPECT_EQ(summary["signal"], "SIGKILL");
  EXPECT_EQ(summary["leftRunning"], json::array());
  EXPECT_LT(summary["wallTimeMs"].get<double>(), 30000);
}

TEST_F(Watch, DurationWithPidStopsWatchingAndLeavesTheProcess) {
  const pid_t sleeper = ::fork();
  if (sleeper == 0) {
    ::execlp("sleep", "sleep", "60", nullptr);
    ::_exit(126);
  }
  left_.push_back(sleeper);
  const Outcome run = watch({"--duration", "0.5", "--pid", std::to_string(sleeper)});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("  exit status     unknown (watched by pid)\n"), std::string::npos);
  EXPECT_TRUE(alive(sleeper));
}

TEST_F(Watch, AnEscapeInAProcessNameNeverReachesTheFilesRaw) {
  const std::string name = "\x1b[31mevil";
  fs::create_symlink("/bin/sleep", dir_ / name);
  const Outcome run = watch(
      {"--interval", "250", "--csv", "run.csv", "--record", "run.jsonl", "--", "./" + name, "1"});
  EXPECT_EQ(run.status, 0) << run.err;
  const std::string csv = read_file(dir_ / "run.csv");
  EXPECT_EQ(csv.find('\x1b'), std::string::npos);
  EXPECT_NE(csv.find(",\\x1b[31mevil,"), std::string::npos) << csv;
  EXPECT_EQ(read_file(dir_ / "run.jsonl").find('\x1b'), std::string::npos);
  EXPECT_EQ(run.err.find('\x1b'), std::string::npos);
}

TEST_F(Watch, KernelTotalsCountWhatNoSampleSaw) {
  const Outcome run = watch({"--interval", "60000", "--record", "run.jsonl", "--", "sh", "-c",
                             "sleep 0.5; head -c 20000000 /dev/zero > /dev/null"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(read_file(dir_ / "run.jsonl").find("\"name\":\"head\""), std::string::npos);
  const json summary = record_summary();
  EXPECT_EQ(summary["totalsFrom"], "kernel");
  for (const char* member : {"readBytes", "writtenBytes"}) {
    EXPECT_GE(summary[member].get<double>(), 20000000) << summary;
    EXPECT_LT(summary[member].get<double>(), 20500000) << summary;
  }
}

TEST_F(Watch, RecordModePutsTheCsvOnStandardOutputAndTheCommandsOnError) {
  const Outcome run =
      watch({"--record-mode", "--interval", "250", "--", "sh", "-c", "echo out; sleep 0.6"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind("time_s,pid,ppid,name,cpu_percent,", 0), 0u) << run.out;
  EXPECT_NE(run.out.find(",sh,"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("out\n"), std::string::npos);
  EXPECT_TRUE(has_line(run.err, "out")) << run.err;
  EXPECT_NE(run.err.find("summary: sh -c echo out; sleep 0.6\n"), std::string::npos);
}

TEST_F(Watch, LeftRunningIsListedAndWithKillTreeEnded) {
  for (const bool kill : {false, true}) {
    std::vector<std::string> args = {"--interval", "250", "--",
                                     "sh",         "-c",  "sleep 60 & echo $! > bg.pid; sleep 0.5"};
    if (kill) args.insert(args.begin(), "--kill-tree");
    const Outcome run = watch(args);
    const pid_t left = background();
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string listed = "  left running    1" + std::string(kill ? ", killed" : "") +
                               ": sleep (pid " + std::to_string(left) + ")\n";
    EXPECT_NE(run.err.find(listed), std::string::npos) << run.err;
    EXPECT_EQ(alive(left), !kill);
  }
}

TEST_F(Watch, TheViewShowsOnlyOnATerminal) {
  const std::vector<std::string> args = {"--interval", "250", "--",
                                         "sh",         "-c",  "echo hello; sleep 0.6"};
  const Outcome quiet = watch(args);
  EXPECT_EQ(quiet.out, "hello\n");
  int master = -1;
  int terminal = -1;
  winsize size{30, 100, 0, 0};
  ASSERT_EQ(::openpty(&master, &terminal, nullptr, nullptr, &size), 0);
  const pid_t tool = start(args, {}, terminal);
  ::close(terminal);
  std::string screen;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = ::read(master, buffer, sizeof buffer)) > 0)
    screen.append(buffer, static_cast<size_t>(n));
  ::close(master);
  EXPECT_EQ(finish(tool).status, 0);
  for (const char* wanted : {"treemon-watch  sh -c echo hello; sleep 0.6  elapsed 00:0",
                             "TOTAL of ", "exited with status 0", "output:", "  hello"}) {
    EXPECT_NE(screen.find(wanted), std::string::npos) << wanted << "\n" << screen;
  }
}

}  // namespace
}  // namespace treemon
