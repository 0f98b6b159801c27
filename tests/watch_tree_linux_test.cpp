// The tree's figures of treemon-watch against what the kernel counted: the real binary with short
// processes that no sample may see, orphans that come back to the tool, and a member whose
// children are reaped by no one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace treemon {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string quoted(const std::string& word) { return "'" + word + "'"; }

class WatchTree : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/treemon-watch-tree-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs the tool in dir_ with its CSV and record there; its exit status.
  int watch(const std::vector<std::string>& args) {
    std::string line = "cd " + quoted(dir_.string()) + " && timeout 120 " +
                       quoted(TREEMON_WATCH_BINARY) + " --csv run.csv --record run.jsonl";
    for (const std::string& arg : args) line += " " + quoted(arg);
    line += " >stdout 2>stderr";
    const int status = std::system(line.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  json summary() {
    std::istringstream lines(read_file(dir_ / "run.jsonl"));
    std::string line, last;
    while (std::getline(lines, line)) last = line;
    return json::parse(last);
  }

  // The tree's rate at each time of the CSV, in order.
  std::map<double, double> tree_rates() {
    std::istringstream lines(read_file(dir_ / "run.csv"));
    std::string line;
    std::getline(lines, line);
    std::map<double, double> rates;
    while (std::getline(lines, line)) {
      // The tree's four columns end the row; a command's text never holds a comma here.
      std::vector<std::string> fields;
      std::stringstream row(line);
      for (std::string field; std::getline(row, field, ',');) fields.push_back(field);
      EXPECT_GE(fields.size(), 13u) << line;
      if (fields.size() < 13) continue;
      rates[std::stod(fields[0])] = std::stod(fields[fields.size() - 4]);
    }
    return rates;
  }

  fs::path dir_;
};

// Short processes one after another, each gone within the interval: the CSV's tree rates, summed
// over their intervals, give the CPU time the kernel counted, which the summary reports exactly;
// no interval is negative or beyond what the processors can give; the peak is not below the
// average.
TEST_F(WatchTree, ShortProcessesCountedAsTheKernelCounts) {
  ASSERT_EQ(watch({"--interval", "250", "--", TREEMON_TEST_HELPER, "burn-sequence", "12", "0.1"}),
            0)
      << read_file(dir_ / "stderr");
  std::smatch used;
  const std::string out = read_file(dir_ / "stdout");
  ASSERT_TRUE(std::regex_search(out, used, std::regex("used (\\d+)"))) << out;
  const double kernel_ms = std::stod(used[1]) / 1000;
  EXPECT_GE(kernel_ms, 1200);

  const json s = summary();
  EXPECT_EQ(s["totalsFrom"], "kernel") << s;
  const double reported_ms = s["cpuTimeMs"];
  // The helper reports what it used before it prints; its exit (an instrumented build checks
  // for leaks there) adds a little that the kernel counts too, never less.
  EXPECT_GE(reported_ms, kernel_ms - 1) << s;
  EXPECT_LE(reported_ms, kernel_ms * 1.01 + 20) << s;

  const double most = 100.0 * static_cast<double>(::sysconf(_SC_NPROCESSORS_ONLN));
  double previous = 0;
  double summed_ms = 0;
  for (const auto& [time, percent] : tree_rates()) {
    EXPECT_GE(percent, 0) << time;
    EXPECT_LE(percent, most + 0.05) << time;
    summed_ms += percent / 100 * (time - previous) * 1000;
    previous = time;
  }
  EXPECT_NEAR(summed_ms, reported_ms, reported_ms * 0.01);
  EXPECT_GE(s["cpuPeakPercent"].get<double>(), 0.9 * s["cpuAveragePercent"].get<double>()) << s;
}

// An orphan of the command's tree comes back to the tool, which reaps it: its CPU time counts
// although no sample saw it (one sample at the start, one at the end).
TEST_F(WatchTree, OrphansReapedByTheToolAreCounted) {
  const std::string orphan = std::string("(") + TREEMON_TEST_HELPER + " spin 0.3 &); sleep 1.5";
  ASSERT_EQ(watch({"--interval", "60000", "--", "sh", "-c", orphan}), 0)
      << read_file(dir_ / "stderr");
  const json s = summary();
  EXPECT_EQ(s["totalsFrom"], "kernel") << s;
  EXPECT_GE(s["cpuTimeMs"].get<double>(), 300) << s;
  EXPECT_EQ(s["leftRunning"], json::array()) << s;
}

// A member that ignores SIGCHLD: its child, seen by the samples, is reaped by no one, and the
// kernel's count falls below what the samples saw; the totals say they are a lower bound.
TEST_F(WatchTree, AMemberThatIgnoresSigchldGivesALowerBound) {
  ASSERT_EQ(watch({"--interval", "250", "--", TREEMON_TEST_HELPER, "ignore-sigchld", "0.8"}), 0)
      << read_file(dir_ / "stderr");
  const json s = summary();
  EXPECT_EQ(s["totalsFrom"], "lowerBound") << s;
  EXPECT_GE(s["cpuTimeMs"].get<double>(), 250) << s;
  EXPECT_NE(read_file(dir_ / "stderr").find("(at least, from samples: the kernel counted less)"),
            std::string::npos);
}

}  // namespace
}  // namespace treemon
