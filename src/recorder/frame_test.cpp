// The live table as text: the tree order, a whole frame, its cut to the terminal, and the escape
// of whatever a process put in its name or command.
#include "recorder/frame.h"

#include <gtest/gtest.h>

#include "recorder/text.h"
#include "support/snapshots.h"

namespace treemon::recorder {
namespace {

ProcessSample row(uint32_t pid, uint32_t ppid, uint64_t cpu_ms = 0, uint64_t resident = 1048576) {
  ProcessSample p;
  p.pid = pid;
  p.ppid = ppid;
  p.startTimeMs = 1000;
  p.runTimeMs = 5000;
  p.name = "p" + std::to_string(pid);
  p.command = "cmd" + std::to_string(pid);
  p.status = "Sleep";
  p.cpuTimeMs = cpu_ms;
  p.residentBytes = resident;
  return p;
}

using test_support::snapshot;

std::vector<std::string> frame(const Snapshot& s, const RateMap& rates, std::string title,
                               size_t width, size_t height, const std::deque<std::string>& tail,
                               std::optional<std::string> ending = std::nullopt) {
  const TreeFigures tree = tree_figures(s, rates);
  const Sample sample{s, rates, tree};
  FrameInput input{std::move(title), 65000, &sample,          SortKey::Cpu, width,
                   height,           &tail, std::move(ending)};
  return render_frame(input);
}

const Snapshot TREE = snapshot(
    1, 10000,
    {row(10, 1, 100), row(11, 10, 4000, 5 << 20), row(12, 10, 500), row(13, 11), row(20, 20)});

TEST(Frame, ChildrenUnderParentsInEachOrder) {
  RateTracker tracker(false);
  const RateMap rates = tracker.update(TREE);
  const auto order = [&](SortKey sort) {
    std::string text;
    for (const TableRow& r : tree_rows(TREE, rates, sort)) {
      text += std::string(r.depth, '.') + std::to_string(r.process->pid) + " ";
    }
    return text;
  };
  EXPECT_EQ(order(SortKey::Cpu), "10 .11 ..13 .12 20 ");
  EXPECT_EQ(order(SortKey::Pid), "10 .11 ..13 .12 20 ");
  EXPECT_EQ(order(SortKey::Memory), "10 .11 ..13 .12 20 ");
  EXPECT_EQ(order(SortKey::Io), "10 .11 ..13 .12 20 ");
}

TEST(Frame, HeaderIndentedRowsTotalsAndTheCutToTheTerminal) {
  RateTracker tracker(false);
  tracker.update(TREE);
  Snapshot later = TREE;
  later.sequence = 2;
  later.sampledAtUnixMs = 11000;
  later.processes[1].cpuTimeMs += 900;
  const RateMap rates = tracker.update(later);
  const auto lines = frame(later, rates, "make", 200, 40, {"built x"}, "exited with status 2");
  EXPECT_EQ(lines[0], "treemon-watch  make  elapsed 01:05  sample #2");
  EXPECT_EQ(lines[1], "    PID   CPU%   RESIDENT     READ/s    WRITE/s  COMMAND");
  EXPECT_EQ(lines[2], "     10    0.0    1.0 MiB        0 B        0 B  cmd10");
  EXPECT_EQ(lines[3], "     11   90.0    5.0 MiB        0 B        0 B    cmd11");
  EXPECT_EQ(lines[4], "     13    0.0    1.0 MiB        0 B        0 B      cmd13");
  EXPECT_EQ(lines[7], "          90.0    9.0 MiB        0 B        0 B  TOTAL of 5 processes");
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 8, lines.end()),
            (std::vector<std::string>{"exited with status 2", "", "output:", "  built x"}));
  const auto small = frame(later, rates, "make", 30, 6, {});
  ASSERT_EQ(small.size(), 6u);
  for (const std::string& line : small) EXPECT_LE(text_width(line), 30u);
  EXPECT_EQ(small[4], "  ... 3 more");
}

TEST(Frame, EightyColumnsCutTheMiddleAndTheProgramsFolder) {
  Snapshot now = snapshot(3, 11000, {row(10, 1), row(11, 10)});
  now.processes[0].command = "make -j2";
  now.processes[1].command =
      "/usr/lib/gcc/x86_64-linux-gnu/12/cc1plus -quiet -I googletest/include -D_GNU_SOURCE "
      "googletest/src/gtest-all.cc";
  const auto lines =
      frame(now, {}, "make -j2 CXXFLAGS=-O2 all-of-the-targets-that-googletest-has-and-then-some",
            80, 24, {});
  EXPECT_EQ(lines[0],
            "treemon-watch  make -j2 CXXFLAGS=...-has-and-then-some  elapsed 01:05  sample #3");
  EXPECT_EQ(lines[3].substr(49), "  cc1plus -quie.../gtest-all.cc");
  for (const std::string& line : lines) EXPECT_LE(text_width(line), 80u);
}

TEST(Frame, ControlCharactersReachTheFrameAsEscapes) {
  Snapshot now = snapshot(1, 11000, {row(10, 1)});
  now.processes[0].command = "sh \x1b[31mRED\x1b[0m \x1b]0;TITLE\x07 a\nb\xc2\x9b\x7f";
  const auto lines = frame(now, {}, "t\x1b[2J", 200, 10, {});
  EXPECT_EQ(lines[0], "treemon-watch  t\\x1b[2J  elapsed 01:05  sample #1");
  EXPECT_EQ(lines[2].substr(49), "sh \\x1b[31mRED\\x1b[0m \\x1b]0;TITLE\\x07 a\\nb\\x9b\\x7f");
}

TEST(Text, Shortening) {
  // [text, width, shortened]
  const std::vector<std::tuple<std::string, size_t, std::string>> cases = {
      {"abcdefghij", 10, "abcdefghij"},
      {"abcdefghijk", 10, "abcd...ijk"},
      {"abcdefghij", 5, "abcd~"},
      {"ééééééééééé", 10, "éééé...ééé"},
  };
  for (const auto& [text, width, expected] : cases)
    EXPECT_EQ(shorten_middle(text, width), expected);
  EXPECT_EQ(format_duration(3 * 3600000 + 5 * 60000 + 7000), "3:05:07");
}

}  // namespace
}  // namespace treemon::recorder
