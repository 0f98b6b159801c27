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

std::string rows_of(const Snapshot& s) {
  RateTracker tracker(false);
  const RateMap rates = tracker.update(s);
  const TreeFigures tree = tree_figures(s, rates);
  return csv_rows(Sample{s, rates, tree}, 10000);
}

TEST(Csv, TimeFromTheStartRatesAndQuotedText) {
  EXPECT_EQ(rows_of(one_process("a,b", "say \"hi\"")),
            "2.500,7,1,\"a,b\",50.0,1048576,0,1501,\"say \"\"hi\"\"\"\n");
}

TEST(Csv, ControlBytesOfANameAreEscaped) {
  const std::string rows = rows_of(one_process("\x1b[31mevil\r", "x\ny\xc2\x9b"));
  EXPECT_EQ(rows.find('\x1b'), std::string::npos);
  EXPECT_EQ(rows, "2.500,7,1,\\x1b[31mevil\\r,50.0,1048576,0,1501,x\\ny\\x9b\n");
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

}  // namespace
}  // namespace treemon::recorder
