// The chart: its ticks, one total band per panel under the top processes with gaps where a
// process is absent, the legends of namesakes and of groups, and a chart of nothing.
#include "recorder/chart.h"

#include <gtest/gtest.h>

#include <regex>

#include "support/snapshots.h"

namespace treemon::recorder {
namespace {

ProcessSample row(uint32_t pid, uint32_t ppid, std::string name, std::string command,
                  uint64_t cpu_ms, uint64_t read = 0) {
  ProcessSample p;
  p.pid = pid;
  p.ppid = ppid;
  p.startTimeMs = 1000;
  p.runTimeMs = 5000;
  p.name = std::move(name);
  p.command = std::move(command);
  p.status = "Sleep";
  p.cpuTimeMs = cpu_ms;
  p.residentBytes = 1048576;
  p.ioReadBytes = read;
  return p;
}

using test_support::snapshot;

std::string chart_of(const std::vector<Snapshot>& samples, bool group, size_t top,
                     std::string_view title) {
  ChartRecorder chart(ChartOptions{0, "the command started", group});
  RateTracker tracker(false);
  for (const Snapshot& s : samples) {
    const RateMap rates = tracker.update(s);
    const TreeFigures tree = tree_figures(s, rates);
    chart.add(Sample{s, rates, tree});
  }
  return chart.svg(title, top);
}

std::vector<std::string> matches(const std::string& text, const std::string& pattern) {
  std::vector<std::string> found;
  const std::regex re(pattern);
  for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
       ++it) {
    found.push_back((*it)[1].str());
  }
  return found;
}

TEST(Chart, Ticks) {
  // [largest value, ticks]
  const std::vector<std::pair<double, std::vector<double>>> cases = {
      {0, {0, 1}},
      {7, {0, 2, 4, 6, 8}},
      {100, {0, 20, 40, 60, 80, 100}},
      {101, {0, 50, 100, 150}},
      {0.3, {0, 0.1, 0.2, 0.3}}};
  for (const auto& [max, ticks] : cases) EXPECT_EQ(nice_ticks(max), ticks) << max;
}

TEST(Chart, TotalsUnderTheTopProcessesWithGaps) {
  const std::vector<Snapshot> samples = {
      snapshot(1, 2000, {row(1, 0, "p1", "p1", 0), row(2, 1, "busy", "busy", 0)}),
      snapshot(2, 3000, {row(1, 0, "p1", "p1", 0), row(2, 1, "busy", "busy", 1000)}),
      snapshot(3, 4000, {row(1, 0, "p1", "p1", 0)}),
      snapshot(4, 5000, {row(1, 0, "p1", "p1", 0), row(3, 1, "late<&>", "late", 0, 10000)}),
      snapshot(5, 6000, {}),
  };
  const std::string svg = chart_of(samples, false, 1, "watch \"x\"");
  // Each path: its color and its number of points. Time 2 s of 0..5 lies at x = 352.
  std::vector<std::string> paths;
  const std::regex path("<path d=\"M352\\.0,[^\"]*?\" fill=\"none\" stroke=\"(#[0-9a-f]+)\"");
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), path); it != std::sregex_iterator();
       ++it) {
    const std::string d = (*it)[0].str();
    paths.push_back((*it)[1].str() + " " + std::to_string(std::count(d.begin(), d.end(), 'L') + 1));
  }
  const std::string total(TOTAL_COLOR);
  EXPECT_EQ(paths,
            (std::vector<std::string>{total + " 4", std::string(PALETTE[0]) + " 2", total + " 4",
                                      std::string(PALETTE[1]) + " 4", total + " 4"}));
  EXPECT_EQ(matches(svg, "<circle [^>]*fill=\"(#[0-9a-f]+)\""),
            std::vector<std::string>{std::string(PALETTE[2])});
  for (const char* wanted :
       {">busy (2)<", ">late&lt;&amp;&gt; (3)<", "watch &quot;x&quot;", "Resident memory (MiB)",
        "I/O, read + written (KiB/s)", ">time since the command started (s)<"}) {
    EXPECT_NE(svg.find(wanted), std::string::npos) << wanted;
  }
}

TEST(Chart, LegendsTellNamesakesApartAndGroupsCountProcesses) {
  const auto compile = [](const std::string& file) {
    return "/usr/lib/gcc/x86_64-linux-gnu/12/cc1plus -quiet -I include src/" + file + " -o /tmp/" +
           file + ".s";
  };
  // In the last sample the second compiler is exiting: its arguments read as its bare name.
  std::vector<Snapshot> samples;
  for (uint64_t i = 1; i <= 2; ++i) {
    samples.push_back(
        snapshot(i, i * 1000,
                 {row(1, 0, "make", "make -j2", i * 10),
                  row(2, 1, "cc1plus", compile("gtest-all.cc"), i * 900),
                  row(3, 1, "cc1plus", i == 2 ? "cc1plus" : compile("gtest_main.cc"), i * 600)}));
  }
  const auto legends = [&](bool group) {
    const std::string svg = chart_of(samples, group, 3, "make");
    return matches(svg.substr(0, svg.find("Resident memory")),
                   "<text x=\"816\" y=\"[\\d.]+\">([^<]*)<");
  };
  EXPECT_EQ(legends(false),
            (std::vector<std::string>{"total of the tree", "cc1plus gtest-all.cc (2)",
                                      "cc1plus gtest_main.cc (3)", "make (1)"}));
  EXPECT_EQ(legends(true), (std::vector<std::string>{"total of the tree", "cc1plus, 2 processes",
                                                     "make, 1 process"}));
  EXPECT_EQ(distinctive_argument({1, "sh", "sh -c x"}, {{2, "sh", "sh -c x"}}), std::nullopt);
}

TEST(Chart, NoSamplesIsStillADrawing) {
  const std::string svg = chart_of({}, false, 5, "nothing");
  EXPECT_EQ(svg.rfind("<svg", 0), 0u);
  EXPECT_TRUE(svg.ends_with("</svg>\n"));
  EXPECT_EQ(svg.find("nan"), std::string::npos);
  EXPECT_EQ(svg.find("inf"), std::string::npos);
}

}  // namespace
}  // namespace treemon::recorder
