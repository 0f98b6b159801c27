// The tables every client of treemon-watch shares (tests/tools): where the command starts on the
// command line, the rates derived from consecutive snapshots, and the summary as recorded and
// as printed, with the number forms of its text.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "recorder/options.h"
#include "recorder/rates.h"
#include "recorder/record.h"
#include "recorder/summary.h"
#include "recorder/text.h"

namespace treemon::recorder {
namespace {

using nlohmann::json;

json read_table(const std::string& name) {
  std::ifstream file(std::string(TREEMON_SOURCE_DIR) + "/tests/tools/" + name);
  std::stringstream text;
  text << file.rdbuf();
  return json::parse(text.str());
}

// A process of the tables: the members it lacks are the tables' defaults, its command its name.
ProcessSample table_process(const json& row) {
  ProcessSample p;
  p.pid = row.at("pid");
  p.ppid = row.at("ppid");
  const std::string name = row.value("name", "p" + std::to_string(p.pid));
  p.name = name;
  p.command = row.value("command", name);
  p.status = row.value("status", std::string("Sleep"));
  p.startTimeMs = row.value("startTimeMs", 1000);
  p.runTimeMs = row.value("runTimeMs", 5000);
  p.cpuTimeMs = row.value("cpuTimeMs", 0);
  p.residentBytes = row.value("residentBytes", 1048576);
  p.ioReadBytes = row.value("ioReadBytes", 0);
  p.ioWriteBytes = row.value("ioWriteBytes", 0);
  return p;
}

Snapshot table_snapshot(const json& s, uint64_t sequence) {
  Snapshot snapshot;
  snapshot.sequence = s.value("sequence", sequence);
  snapshot.sampledAtUnixMs = s.at("sampledAtUnixMs");
  for (const json& row : s.at("processes")) snapshot.processes.push_back(table_process(row));
  return snapshot;
}

std::string key_text(const ProcessKey& key) {
  return std::to_string(key.pid) + "@" + std::to_string(key.start_time_ms);
}

json rates_json(const Rates& r) {
  return {{"cpuPercent", r.cpu_percent},
          {"readPerSecond", r.read_per_second},
          {"writePerSecond", r.write_per_second},
          {"readBytes", r.read_bytes},
          {"writeBytes", r.write_bytes}};
}

TEST(SharedTables, CommandLines) {
  for (const json& row : read_table("command_lines.json").at("commandLines")) {
    const std::vector<std::string> argv = row.at("argv");
    SCOPED_TRACE(row.dump());
    const ParsedArguments parsed = parse_arguments(argv);
    if (row.value("error", false)) {
      EXPECT_TRUE(std::holds_alternative<UsageError>(parsed));
      continue;
    }
    const auto* options = std::get_if<RecorderOptions>(&parsed);
    ASSERT_NE(options, nullptr);
    EXPECT_EQ(options->command, row.at("command").get<std::vector<std::string>>());
    EXPECT_EQ(options->pid,
              row.contains("pid") ? std::optional<uint32_t>(row.at("pid")) : std::nullopt);
    EXPECT_EQ(options->interval_ms, row.at("intervalMs").get<uint32_t>());
  }
}

TEST(SharedTables, Rates) {
  for (const json& c : read_table("rates.json").at("cases")) {
    SCOPED_TRACE(c.at("name").get<std::string>());
    RateTracker tracker(c.at("childrenFoldIntoParent"));
    ASSERT_EQ(c.at("snapshots").size(), c.at("expected").size());
    for (size_t i = 0; i < c.at("snapshots").size(); ++i) {
      const Snapshot snapshot = table_snapshot(c.at("snapshots")[i], i + 1);
      const RateMap rates = tracker.update(snapshot);
      EXPECT_EQ(rates.size(), snapshot.processes.size());
      json got;
      for (const auto& [key, r] : rates) got[key_text(key)] = rates_json(r);
      for (const auto& [key, expected] : c.at("expected")[i].items()) {
        ASSERT_TRUE(got.contains(key)) << "snapshot " << i + 1 << ", " << key;
        for (const auto& [member, value] : expected.items()) {
          EXPECT_DOUBLE_EQ(got[key][member].get<double>(), value.get<double>())
              << "snapshot " << i + 1 << ", " << key << "." << member;
        }
      }
    }
  }
}

TEST(SharedTables, Summaries) {
  for (const json& c : read_table("summaries.json").at("cases")) {
    SCOPED_TRACE(c.at("name").get<std::string>());
    SummaryRecorder recorder(c.at("command"), c.at("pid"), 0);
    RateTracker tracker(true);
    std::vector<ProcessSample> last;
    for (const json& s : c.at("snapshots")) {
      const Snapshot snapshot = table_snapshot(s, 0);
      const RateMap rates = tracker.update(snapshot);
      const TreeFigures tree = tree_figures(snapshot, rates);
      recorder.add(Sample{snapshot, rates, tree});
      last = snapshot.processes;
    }
    const json& e = c.at("ending");
    Ending ending;
    if (!e.at("exitStatus").is_null()) ending.exit_status = e.at("exitStatus");
    if (!e.at("signal").is_null()) ending.signal = e.at("signal");
    ending.wall_time_ms = e.at("wallTimeMs");
    ending.killed = e.at("killed");
    for (const uint32_t pid : e.at("leftRunning")) {
      const auto p =
          std::find_if(last.begin(), last.end(), [pid](auto& q) { return q.pid == pid; });
      ASSERT_NE(p, last.end());
      ending.left_running.push_back(
          {pid, std::string(p->name.view()), std::string(p->command.view())});
    }
    if (!e.at("kernel").is_null()) {
      const json& k = e.at("kernel");
      ending.kernel = KernelUsage{k.at("cpuTimeMs"), k.at("readBytes"), k.at("writtenBytes")};
    }
    const Summary summary = recorder.finish(ending);
    const std::string line = summary_line(summary);
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(json::parse(line), c.at("summary"));
    EXPECT_EQ(format_summary(summary), c.at("text").get<std::vector<std::string>>());
  }
}

TEST(SharedTables, NumberForms) {
  const json table = read_table("summaries.json");
  for (const json& row : table.at("decimals")) {
    EXPECT_EQ(fixed(row[0].get<double>(), row[1].get<int>()), row[2].get<std::string>()) << row;
  }
  for (const json& row : table.at("byteCounts")) {
    EXPECT_EQ(format_bytes(row[0].get<double>()), row[1].get<std::string>()) << row;
  }
}

}  // namespace
}  // namespace treemon::recorder
