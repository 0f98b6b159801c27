// treemon-watch's trace, summary JSON, --memory pss and several --pid, end to end: the real tool
// over real process trees (a make -j2 build, a tree sharing a buffer, a pid handed out twice in a
// private pid namespace). Structure and sums are checked, never byte-exact dumps.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/pid_namespace_linux.h"

namespace treemon {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test_support::ChildProcess;
namespace fs = std::filesystem;

constexpr auto RUN_WAIT = 300s;
constexpr uint32_t TREE_TRACK = 1u << 31;

class Folder {
 public:
  Folder() {
    path_ = fs::temp_directory_path() /
            ("treemon-watch-outputs-" + std::to_string(::getpid()) + "-" + std::to_string(next_++));
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~Folder() { fs::remove_all(path_); }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  static inline int next_ = 0;
  fs::path path_;
};

std::string read_file(const std::string& path) {
  std::ifstream file(path);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

std::vector<std::string> watch_command(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), TREEMON_WATCH_BINARY);
  return arguments;
}

struct Ran {
  int status = -1000;
  std::string err;
};

Ran run_watch(const std::vector<std::string>& arguments) {
  ChildProcess watch(watch_command(arguments));
  Ran ran;
  ran.status = watch.wait_exit(RUN_WAIT).value_or(-1000);
  ran.err = watch.read_stderr(1s);
  return ran;
}

std::vector<json> events(const json& trace, const std::string& phase) {
  std::vector<json> found;
  for (const json& event : trace.at("traceEvents")) {
    if (event.at("ph") == phase) found.push_back(event);
  }
  return found;
}

// The integral of a counter track over time, in value × seconds: each value holds until the
// track's next event.
double integral(const json& trace, uint32_t track, const std::string& name,
                const std::string& key) {
  std::vector<std::pair<double, double>> points;
  for (const json& event : events(trace, "C")) {
    if (event.at("pid") == track && event.at("name") == name) {
      points.emplace_back(event.at("ts").get<double>(), event.at("args").at(key).get<double>());
    }
  }
  // Events of one time keep their file order: the later one is the value from then on.
  std::stable_sort(points.begin(), points.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  double sum = 0;
  for (size_t i = 0; i + 1 < points.size(); ++i) {
    sum += points[i].second * (points[i + 1].first - points[i].first) / 1e6;
  }
  return sum;
}

// A C project of `files` sources that each take the compiler a moment.
void write_project(const Folder& folder, int files) {
  std::ofstream makefile(folder / "Makefile");
  makefile << "OBJS =";
  for (int i = 0; i < files; ++i) makefile << " f" << i << ".o";
  makefile << "\nall: $(OBJS)\n\tcc -o prog $(OBJS)\n%.o: %.c\n\tcc -O2 -c $< -o $@\n";
  for (int i = 0; i < files; ++i) {
    std::ofstream source(folder / ("f" + std::to_string(i) + ".c"));
    if (i == 0) source << "int main(void) { return 0; }\n";
    for (int j = 0; j < 30; ++j) {
      source << "int f" << i << "_" << j << "(int x) { int s = 0; for (int k = 0; k < x; ++k) "
             << "{ s += k * " << j << " ^ (s >> 3); if (s % 7 == " << j % 7
             << ") s -= x; } return s; }\n";
    }
  }
}

// A make -j2 build: the trace parses, every process the CSV saw has a track with its lifetime
// and counters, and the tree's CPU counter integrates to the summary's CPU time.
TEST(WatchOutputs, MakeBuildTraceHasEveryProcessAndTheTreesCpu) {
  Folder folder;
  write_project(folder, 8);
  const Ran ran = run_watch({"--interval", "250", "--trace", folder / "trace.json", "--csv",
                             folder / "run.csv", "--summary-json", folder / "summary.json", "make",
                             "-s", "-j2", "-C", folder / ""});
  ASSERT_EQ(ran.status, 0) << ran.err;
  const json trace = json::parse(read_file(folder / "trace.json"));
  const json summary = json::parse(read_file(folder / "summary.json"));
  EXPECT_EQ(trace.at("displayTimeUnit"), "ms");
  EXPECT_EQ(summary.at("type"), "summary");

  std::map<uint32_t, std::set<uint32_t>> tracks_of_pid;  // OS pid -> trace pids with a lifetime
  for (const json& lifetime : events(trace, "X")) {
    tracks_of_pid[lifetime.at("args").at("pid")].insert(lifetime.at("pid").get<uint32_t>());
  }
  std::map<uint32_t, int> counters;  // trace pid -> 1 for a CPU counter, | 2 for memory
  for (const json& counter : events(trace, "C")) {
    if (counter.at("name") == "CPU" || counter.at("name") == "Memory") {
      counters[counter.at("pid")] |= counter.at("name") == "CPU" ? 1 : 2;
    }
  }
  std::istringstream csv(read_file(folder / "run.csv"));
  std::string line;
  std::getline(csv, line);
  std::set<uint32_t> csv_pids;
  while (std::getline(csv, line)) {
    const size_t first = line.find(',');
    if (line[first + 1] == ',') continue;  // a row of the tree's figures alone
    csv_pids.insert(static_cast<uint32_t>(std::stoul(line.substr(first + 1))));
  }
  EXPECT_GE(csv_pids.size(), 3u);
  for (uint32_t pid : csv_pids) {
    ASSERT_TRUE(tracks_of_pid.contains(pid)) << "no lifetime for pid " << pid;
    for (uint32_t track : tracks_of_pid[pid]) EXPECT_EQ(counters[track], 3) << pid;
  }
  EXPECT_EQ(counters[TREE_TRACK], 3);

  const double cpu_seconds = integral(trace, TREE_TRACK, "CPU", "%") / 100;
  const double total_seconds = summary.at("cpuTimeMs").get<double>() / 1000;
  EXPECT_GT(total_seconds, 0.5);
  EXPECT_NEAR(cpu_seconds, total_seconds, total_seconds * 0.01) << ran.err;
}

struct Ending {
  const char* what;
  std::vector<std::string> options;
  std::vector<std::string> command;
  bool interrupt;
  int status;
};

// Every way a run ends leaves a trace that parses, with each lifetime ended and the command's
// end marked.
TEST(WatchOutputs, TraceIsClosedOnEveryEnding) {
  const Ending endings[] = {
      {"Ctrl-C", {}, {"sleep", "30"}, true, 130},
      {"--duration", {"--duration", "1"}, {"sleep", "30"}, false, 143},
      {"a crash of the command", {}, {"sh", "-c", "sleep 0.6; kill -SEGV $$"}, false, 139},
  };
  for (const Ending& ending : endings) {
    Folder folder;
    std::vector<std::string> arguments = {"--interval", "250", "--trace", folder / "trace.json"};
    arguments.insert(arguments.end(), ending.options.begin(), ending.options.end());
    arguments.insert(arguments.end(), ending.command.begin(), ending.command.end());
    ChildProcess watch(watch_command(arguments));
    if (ending.interrupt) {
      for (int i = 0;
           i < 200 && read_file(folder / "trace.json").find("\"C\"") == std::string::npos; ++i) {
        std::this_thread::sleep_for(20ms);
      }
      ::kill(watch.pid(), SIGINT);
    }
    EXPECT_EQ(watch.wait_exit(RUN_WAIT), ending.status) << ending.what;
    const std::string text = read_file(folder / "trace.json");
    ASSERT_TRUE(json::accept(text)) << ending.what << "\n" << text;
    const json trace = json::parse(text);
    EXPECT_FALSE(events(trace, "X").empty()) << ending.what;
    const std::vector<json> marks = events(trace, "i");
    ASSERT_EQ(marks.size(), 2u) << ending.what;
    EXPECT_EQ(marks[1].at("args").at("exit status"), ending.status) << ending.what;
  }
}

// An orphan of the command ends in the trace when the tool, its subreaper, reaps it, a second
// before the command ends, not at the first sample without it.
TEST(WatchOutputs, OrphanEndsWhenTheToolReapsIt) {
  Folder folder;
  const Ran ran = run_watch({"--interval", "1000", "--trace", folder / "trace.json", "sh", "-c",
                             "sh -c 'sleep 1.5 &'; sleep 2.5"});
  ASSERT_EQ(ran.status, 0) << ran.err;
  const json trace = json::parse(read_file(folder / "trace.json"));
  const std::vector<json> marks = events(trace, "i");
  ASSERT_EQ(marks.size(), 2u);
  int orphans = 0;
  for (const json& lifetime : events(trace, "X")) {
    if (lifetime.at("args").at("command") != "sleep 1.5") continue;
    ++orphans;
    EXPECT_EQ(lifetime.at("args").at("end"), "exit collected by the tool");
    const double ended_us = lifetime.at("ts").get<double>() + lifetime.at("dur").get<double>();
    EXPECT_GT(ended_us - marks[0].at("ts").get<double>(), 1.4e6);
    EXPECT_GT(marks[1].at("ts").get<double>() - ended_us, 0.6e6);
  }
  EXPECT_EQ(orphans, 1) << trace;
}

// Twenty children share a buffer of 100 MiB written before they were forked: their PSS adds up
// to about the buffer, where their resident sizes add up to twenty-one buffers.
TEST(WatchOutputs, MemoryPssCountsAForkSharedBufferOnce) {
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
  GTEST_SKIP() << "the thread sanitizer's runtime writes a shadow of the buffer, shared as well";
#endif
#endif
  constexpr double MIB = 1 << 20;
  std::map<std::string, double> peaks;
  for (const std::string memory : {"rss", "pss"}) {
    Folder folder;
    // A sample reads shares within half its interval: at 2 s, all 21 fit even on a loaded
    // machine, so that no sample mixes readings from before and after the forks.
    const Ran ran = run_watch({"--interval", "2000", "--memory", memory, "--summary-json",
                               folder / "summary.json", TREEMON_TEST_HELPER, "shared-memory", "20",
                               "100", "5"});
    ASSERT_EQ(ran.status, 0) << ran.err;
    const json summary = json::parse(read_file(folder / "summary.json"));
    peaks[memory] = summary.at("peakResidentBytes").get<double>() / MIB;
    EXPECT_EQ(summary.contains("memoryMeasure"), memory == "pss") << summary;
  }
  EXPECT_GE(peaks["pss"], 100);
  EXPECT_LE(peaks["pss"], 125);
  EXPECT_GE(peaks["rss"], 2000);
}

// Two running processes watched as one tree: the summary names both, in text and in JSON.
TEST(WatchOutputs, SeveralPidsAreOneTreeAndTheSummaryNamesThem) {
  ChildProcess first({TREEMON_TEST_HELPER, "sleep", "30"});
  ChildProcess second({TREEMON_TEST_HELPER, "sleep", "30"});
  Folder folder;
  const std::string a = std::to_string(first.pid());
  const std::string b = std::to_string(second.pid());
  const Ran ran =
      run_watch({"--interval", "250", "--duration", "1", "--pid", a, "--pid", b, "--csv",
                 folder / "run.csv", "--summary-json", folder / "summary.json"});
  EXPECT_EQ(ran.status, 0) << ran.err;
  EXPECT_NE(ran.err.find("summary: pids " + a + ", " + b + "\n"), std::string::npos) << ran.err;
  const json summary = json::parse(read_file(folder / "summary.json"));
  EXPECT_EQ(summary.at("pid"), first.pid());
  EXPECT_EQ(summary.at("pids"), json::array({first.pid(), second.pid()}));
  const std::string csv = read_file(folder / "run.csv");
  EXPECT_NE(csv.find("," + a + ","), std::string::npos);
  EXPECT_NE(csv.find("," + b + ","), std::string::npos);
}

// In a private pid namespace, a process ends and the next one is given its pid: the trace shows
// two tracks for the one pid, each with its own lifetime.
TEST(WatchOutputs, ReusedPidGivesTwoTracks) {
  const std::string outcome = test_support::run_in_pid_namespace(true, [] {
    ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    const std::string trace_path = "/tmp/treemon-watch-reuse-" + std::to_string(::getpid());
    const std::string script =
        "sleep 0.8 & p=$!; wait $p; echo $((p - 1)) > /proc/sys/kernel/ns_last_pid; "
        "sleep 0.8 & q=$!; wait $q; echo $p $q";
    ChildProcess watch(
        watch_command({"--interval", "250", "--trace", trace_path, "sh", "-c", script}));
    const std::optional<std::string> pids = watch.read_line(RUN_WAIT);
    const std::optional<int> status = watch.wait_exit(RUN_WAIT);
    const std::string trace = read_file(trace_path);
    ::unlink(trace_path.c_str());
    return json{{"pids", pids.value_or("")}, {"status", status.value_or(-1000)}, {"trace", trace}}
        .dump();
  });
  if (outcome.starts_with(test_support::SKIPPED)) GTEST_SKIP() << outcome;
  const json result = json::parse(outcome);
  ASSERT_EQ(result.at("status"), 0) << result;
  std::istringstream pids(result.at("pids").get<std::string>());
  uint32_t first = 0;
  uint32_t second = 1;
  pids >> first >> second;
  if (first != second) GTEST_SKIP() << "the pid went to another process";
  const json trace = json::parse(result.at("trace").get<std::string>());
  std::set<uint32_t> tracks;
  for (const json& lifetime : events(trace, "X")) {
    if (lifetime.at("args").at("pid") == first && lifetime.at("name") == "sleep") {
      tracks.insert(lifetime.at("pid").get<uint32_t>());
    }
  }
  EXPECT_EQ(tracks.size(), 2u) << result.at("trace");
}

}  // namespace
}  // namespace treemon
