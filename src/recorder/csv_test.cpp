// The rows of the CSV and the lines of the record: quoting, rates, and no control byte raw.
#include "recorder/csv.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "recorder/record.h"

namespace treemon::recorder {
namespace {

Snapshot one_process(std::string name, std::string command) {
  Snapshot s;
  s.sequence = 1;
  s.sampledAtUnixMs = 12500;
  ProcessSample p;
  p.pid = 7;
  p.ppid = 1;
  p.startTimeMs = 1000;
  p.runTimeMs = 2000;
  p.name = std::move(name);
  p.command = std::move(command);
  p.cpuTimeMs = 1000;
  p.residentBytes = 1048576;
  p.ioWriteBytes = 3001;
  s.processes.push_back(p);
  return s;
}

// The rows of a run that started at 10 000 ms, its first sample `s`, with the OS's count of the
// tree at that sample.
std::string rows_of(const Snapshot& s, const std::optional<KernelReading>& kernel = {}) {
  RateTracker tracker(false);
  TreeSeries series(10000);
  const RateMap rates = tracker.update(s);
  const TreeFigures tree = series.next(s, rates, kernel);
  return csv_rows(Sample{s, rates, tree}, 10000);
}

TEST(Csv, TimeFromTheStartRatesAndQuotedText) {
  EXPECT_EQ(rows_of(one_process("a,b", "say \"hi\"")),
            "2.500,7,1,\"a,b\",50.0,1048576,0,1501,\"say \"\"hi\"\"\",40.0,0,1200,samples\n");
}

// The tree's columns carry the rates of the OS's count over the interval that ends at time_s;
// a sample without processes still has its row of them.
TEST(Csv, TreeColumnsFromTheCumulativeFigures) {
  const KernelReading counted{{40000000, 5000, 9000}, 0, std::nullopt};
  EXPECT_EQ(rows_of(one_process("cc1", "cc1 -O2"), counted),
            "2.500,7,1,cc1,50.0,1048576,0,1501,cc1 -O2,160.0,2000,3600,kernel\n");
  Snapshot empty = one_process("x", "x");
  empty.processes.clear();
  EXPECT_EQ(rows_of(empty, counted), "2.500,,,,,,,,,160.0,2000,3600,kernel\n");
  EXPECT_EQ(CSV_HEADER,
            "time_s,pid,ppid,name,cpu_percent,resident_bytes,read_bytes_per_s,write_bytes_per_s,"
            "command,tree_cpu_percent,tree_read_bytes_per_s,tree_write_bytes_per_s,"
            "tree_figures_from\n");
}

TEST(Csv, ControlBytesOfANameAreEscaped) {
  const std::string rows = rows_of(one_process("\x1b[31mevil\r", "x\ny\xc2\x9b"));
  EXPECT_EQ(rows.find('\x1b'), std::string::npos);
  EXPECT_EQ(rows,
            "2.500,7,1,\\x1b[31mevil\\r,50.0,1048576,0,1501,x\\ny\\x9b,40.0,0,1200,samples\n");
}

TEST(Record, ControlCharactersAreEscapedAndReadBack) {
  const std::string name = "\x1b[2J\x7f\xc2\x9b\xc3\xa9";
  const std::string line = snapshot_line(one_process(name, "c"));
  for (const std::string raw : {"\x1b", "\x7f", "\xc2\x9b"}) {
    EXPECT_EQ(line.find(raw), std::string::npos);
  }
  EXPECT_NE(line.find("\xc3\xa9"), std::string::npos) << "other characters stay as they are";
  EXPECT_EQ(nlohmann::json::parse(line)["processes"][0]["name"], name);
}

// Each sample's tree line: the rates over the interval that ends at sampledAtUnixMs, and the
// cumulative figures they come from.
TEST(Record, TreeLine) {
  const Snapshot s = one_process("cc1", "cc1");
  RateTracker tracker(false);
  TreeSeries series(10000);
  const RateMap rates = tracker.update(s);
  const TreeFigures tree =
      series.next(s, rates, KernelReading{{40000000, 5000, 9000}, 0, uint64_t{12}});
  EXPECT_EQ(
      tree_line(Sample{s, rates, tree}),
      "{\"type\":\"tree\",\"sequence\":1,\"sampledAtUnixMs\":12500,\"cpuPercent\":160.0,"
      "\"readBytesPerSecond\":2000.0,\"writeBytesPerSecond\":3600.0,\"cpuTimeMs\":4000.0,"
      "\"readBytes\":5000,\"writtenBytes\":9000,\"totalsFrom\":\"kernel\",\"processesTotal\":12}"
      "\n");
}

}  // namespace
}  // namespace treemon::recorder
