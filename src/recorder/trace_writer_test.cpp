#include "recorder/trace_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/string_output.h"

namespace treemon::recorder {
namespace {

using nlohmann::json;

constexpr int64_t ORIGIN = 1'000'000'000;  // the run's start on the caller's clock, in µs

TraceRun run() { return TraceRun{ORIGIN, {{"tool", "test"}}, "resident"}; }

TracedProcess process(uint64_t identity, uint32_t pid, std::optional<uint64_t> parent,
                      int64_t start_us) {
  return TracedProcess{identity, parent,  pid, 1, "proc" + std::to_string(identity),
                       "cmd",    start_us};
}

std::vector<json> events_where(const json& trace, const std::string& name, const std::string& ph) {
  std::vector<json> found;
  for (const json& event : trace.at("traceEvents")) {
    if (event.at("ph") == ph && (name.empty() || event.at("name") == name)) found.push_back(event);
  }
  return found;
}

std::vector<json> on_track(const std::vector<json>& events, uint32_t trace_pid) {
  std::vector<json> found;
  for (const json& event : events) {
    if (event.at("pid") == trace_pid) found.push_back(event);
  }
  return found;
}

uint32_t trace_pid_named(const json& trace, const std::string& name) {
  for (const json& event : events_where(trace, "process_name", "M")) {
    if (event.at("args").at("name") == name) return event.at("pid");
  }
  ADD_FAILURE() << "no track named " << name;
  return 0;
}

TEST(TraceWriter, OpensWithTheKeysViewersReadFirstAndClosesAsOneObject) {
  StringOutput output;
  TraceWriter writer(output, run());
  EXPECT_TRUE(output.text().empty()) << "nothing is handed over before the first flush";
  ASSERT_TRUE(writer.close(ORIGIN + 5).ok());
  EXPECT_TRUE(output.text().starts_with(
      R"({"displayTimeUnit":"ms","otherData":{"tool":"test","memory":"resident"},"traceEvents":[)"));
  const json trace = json::parse(output.text());
  EXPECT_EQ(trace.at("displayTimeUnit"), "ms");
  EXPECT_EQ(trace_pid_named(trace, "process tree"), 1u << 31);
}

// A process's lifetime, its names and its counters, the rate at the start of its interval and
// every value ended at its end.
TEST(TraceWriter, ProcessHasNamesLifetimeAndCountersEndingAtItsEnd) {
  StringOutput output;
  TraceWriter writer(output, run());
  writer.process_started(TracedProcess{7, std::nullopt, 4321, 1, "make", "make -j2", ORIGIN + 100});
  writer.process_rates(7, ORIGIN + 1000, TraceRates{50.0f, 2048.0f, 4096.0f});
  writer.process_memory(7, ORIGIN + 2000, 123456);
  writer.process_ended(7, ORIGIN + 2500, ProcessEnd::Reaped);
  ASSERT_TRUE(writer.close(ORIGIN + 3000).ok());
  const json trace = json::parse(output.text());

  EXPECT_EQ(trace_pid_named(trace, "make"), 4321u);
  const std::vector<json> labels = on_track(events_where(trace, "process_labels", "M"), 4321);
  ASSERT_EQ(labels.size(), 1u);
  EXPECT_EQ(labels[0].at("args").at("labels"), "make -j2");

  const std::vector<json> lifetimes = on_track(events_where(trace, "", "X"), 4321);
  ASSERT_EQ(lifetimes.size(), 1u);
  EXPECT_EQ(lifetimes[0].at("name"), "make");
  EXPECT_EQ(lifetimes[0].at("ts"), 100);
  EXPECT_EQ(lifetimes[0].at("dur"), 2400);
  EXPECT_EQ(lifetimes[0].at("args").at("pid"), 4321);
  EXPECT_EQ(lifetimes[0].at("args").at("command"), "make -j2");
  EXPECT_EQ(lifetimes[0].at("args").at("end"), "exit collected by the tool");

  const std::vector<json> cpu = on_track(events_where(trace, "CPU", "C"), 4321);
  ASSERT_EQ(cpu.size(), 2u);
  EXPECT_EQ(cpu[0].at("ts"), 1000);
  EXPECT_EQ(cpu[0].at("args").at("%"), 50.0);
  EXPECT_EQ(cpu[1].at("ts"), 2500);
  EXPECT_EQ(cpu[1].at("args").at("%"), 0.0);
  const std::vector<json> io = on_track(events_where(trace, "I/O", "C"), 4321);
  ASSERT_EQ(io.size(), 2u);
  EXPECT_EQ(io[0].at("args").at("write B/s"), 4096.0);
  const std::vector<json> memory = on_track(events_where(trace, "Memory", "C"), 4321);
  ASSERT_EQ(memory.size(), 2u);
  EXPECT_EQ(memory[0].at("ts"), 2000);
  EXPECT_EQ(memory[0].at("args").at("resident bytes"), 123456);
  EXPECT_EQ(memory[1].at("args").at("resident bytes"), 0);
}

TEST(TraceWriter, ReusedPidGetsATrackOfItsOwn) {
  StringOutput output;
  TraceWriter writer(output, run());
  writer.process_started(process(1, 500, std::nullopt, ORIGIN));
  writer.process_ended(1, ORIGIN + 10, ProcessEnd::FoundGone);
  writer.process_started(process(2, 500, std::nullopt, ORIGIN + 20));
  writer.process_rates(2, ORIGIN + 30, TraceRates{10.0f, 0, 0});
  ASSERT_TRUE(writer.close(ORIGIN + 40).ok());
  const json trace = json::parse(output.text());

  const std::vector<json> lifetimes = events_where(trace, "", "X");
  ASSERT_EQ(lifetimes.size(), 2u);
  EXPECT_NE(lifetimes[0].at("pid"), lifetimes[1].at("pid"));
  EXPECT_EQ(lifetimes[0].at("args").at("pid"), 500);
  EXPECT_EQ(lifetimes[1].at("args").at("pid"), 500);
  EXPECT_EQ(lifetimes[1].at("args").at("end"), "still running when the trace ended");
  const uint32_t second = trace_pid_named(trace, "proc2 (pid 500)");
  EXPECT_NE(second, 500u);
  EXPECT_NE(second, 1u << 31) << "the tree's track";
  EXPECT_EQ(on_track(events_where(trace, "CPU", "C"), second).size(), 1u);
  EXPECT_EQ(on_track(events_where(trace, "CPU", "C"), 500).size(), 1u) << "only its end";
}

TEST(TraceWriter, SortIndexPutsChildrenUnderTheirParent) {
  StringOutput output;
  TraceWriter writer(output, run());
  writer.process_started(process(10, 100, std::nullopt, ORIGIN));
  writer.process_started(process(11, 101, 10, ORIGIN));
  writer.process_started(process(12, 102, 10, ORIGIN));
  writer.process_started(process(13, 103, 11, ORIGIN));
  writer.process_started(process(14, 104, 99, ORIGIN));  // its parent was never seen
  ASSERT_TRUE(writer.close(ORIGIN + 1).ok());
  const json trace = json::parse(output.text());

  std::vector<std::pair<uint32_t, uint32_t>> order;  // sort index, trace pid
  for (const json& event : events_where(trace, "process_sort_index", "M")) {
    order.emplace_back(event.at("args").at("sort_index"), event.at("pid"));
  }
  std::sort(order.begin(), order.end());
  std::vector<uint32_t> pids;
  for (const auto& [index, pid] : order) pids.push_back(pid);
  EXPECT_EQ(pids, (std::vector<uint32_t>{1u << 31, 100, 101, 103, 102, 104}));
}

TEST(TraceWriter, TreeCountersInstantsAndTheFinalZero) {
  StringOutput output;
  TraceWriter writer(output, run());
  writer.command_started(ORIGIN, "make -j2");
  writer.tree_rates(ORIGIN, TraceRates{150.0f, 1.0f, 2.0f});
  writer.tree_memory(ORIGIN + 1'000'000, 1 << 20, 3);
  writer.command_ended(ORIGIN + 1'500'000, 2, "exited with status 2");
  ASSERT_TRUE(writer.close(ORIGIN + 1'500'000).ok());
  const json trace = json::parse(output.text());
  const uint32_t tree = 1u << 31;

  const std::vector<json> cpu = on_track(events_where(trace, "CPU", "C"), tree);
  ASSERT_EQ(cpu.size(), 2u);
  EXPECT_EQ(cpu[0].at("ts"), 0);
  EXPECT_EQ(cpu[0].at("args").at("%"), 150.0);
  EXPECT_EQ(cpu[1].at("ts"), 1'500'000) << "the last interval ends at close";
  EXPECT_EQ(cpu[1].at("args").at("%"), 0.0);
  const std::vector<json> count = on_track(events_where(trace, "Processes", "C"), tree);
  ASSERT_EQ(count.size(), 1u);
  EXPECT_EQ(count[0].at("args").at("count"), 3);

  const std::vector<json> instants = events_where(trace, "", "i");
  ASSERT_EQ(instants.size(), 2u);
  EXPECT_EQ(instants[0].at("name"), "command started");
  EXPECT_EQ(instants[0].at("s"), "g");
  EXPECT_EQ(instants[1].at("name"), "command ended");
  EXPECT_EQ(instants[1].at("args").at("exit status"), 2);
  EXPECT_EQ(instants[1].at("args").at("how"), "exited with status 2");
}

// Records the writer must not act on: unknown identities, a process after its end, a second
// start, anything after close; and a start before the trace, which begins with it.
TEST(TraceWriter, IgnoresWhatItCannotPlaceAndClampsEarlyStarts) {
  StringOutput output;
  TraceWriter writer(output, run());
  writer.process_rates(99, ORIGIN, TraceRates{1, 1, 1});
  writer.process_memory(99, ORIGIN, 1);
  writer.process_ended(99, ORIGIN, ProcessEnd::Reaped);
  writer.process_started(process(1, 10, std::nullopt, ORIGIN - 5'000'000));
  writer.process_started(process(1, 11, std::nullopt, ORIGIN));
  writer.process_ended(1, ORIGIN + 5, ProcessEnd::FoundGone);
  writer.process_ended(1, ORIGIN + 9, ProcessEnd::FoundGone);
  writer.process_memory(1, ORIGIN + 9, 5);
  ASSERT_TRUE(writer.close(ORIGIN + 10).ok());
  const size_t closed_size = output.text().size();
  writer.process_started(process(2, 12, std::nullopt, ORIGIN));
  writer.tree_memory(ORIGIN, 1, 1);
  EXPECT_TRUE(writer.close(ORIGIN + 20).ok());
  EXPECT_EQ(output.text().size(), closed_size);

  const json trace = json::parse(output.text());
  EXPECT_EQ(writer.tracks(), 1u);
  const std::vector<json> lifetimes = events_where(trace, "", "X");
  ASSERT_EQ(lifetimes.size(), 1u);
  EXPECT_EQ(lifetimes[0].at("ts"), 0);
  EXPECT_EQ(lifetimes[0].at("dur"), 5);
  EXPECT_EQ(lifetimes[0].at("args").at("start"), "before the trace");
  EXPECT_EQ(events_where(trace, "Memory", "C").size(), 1u) << "only the zero at its end";
}

// Names and command lines hold whatever bytes a process has; the file stays valid JSON.
TEST(TraceWriter, ControlAndInvalidBytesKeepTheFileValid) {
  StringOutput output;
  TraceWriter writer(output, run());
  writer.process_started(
      TracedProcess{1, std::nullopt, 10, 0, "a\x1b[31m\"b\\", "x\xff\xfe\ny", ORIGIN});
  ASSERT_TRUE(writer.close(ORIGIN + 1).ok());
  const json trace = json::parse(output.text());
  EXPECT_EQ(events_where(trace, "", "X").at(0).at("name"), "a\x1b[31m\"b\\");
  EXPECT_EQ(events_where(trace, "", "X").at(0).at("args").at("command"),
            "x\xef\xbf\xbd\xef\xbf\xbd\ny");
}

// A long run hands whole lines over as it goes; what was handed over at any moment is the trace
// so far less only its closing line.
TEST(TraceWriter, HandsOverWholeEventsAsItGoes) {
  StringOutput output;
  TraceWriter writer(output, run());
  constexpr uint64_t PROCESSES = 2000;
  for (uint64_t i = 1; i <= PROCESSES; ++i) {
    writer.process_started(process(i, static_cast<uint32_t>(i), std::nullopt, ORIGIN));
    writer.process_rates(i, ORIGIN + 1, TraceRates{1, 2, 3});
    writer.process_ended(i, ORIGIN + 2, ProcessEnd::FoundGone);
  }
  ASSERT_FALSE(output.text().empty());
  const size_t handed_over = output.text().size();
  EXPECT_GT(output.append_calls(), 10u);
  const json partial = json::parse(output.text() + "\n]}");
  EXPECT_GE(partial.at("traceEvents").size(), 1000u);

  ASSERT_TRUE(writer.flush().ok());
  EXPECT_GT(output.text().size(), handed_over);
  const json flushed = json::parse(output.text() + "\n]}");
  EXPECT_EQ(events_where(flushed, "", "X").size(), PROCESSES);
  ASSERT_TRUE(writer.close(ORIGIN + 3).ok());
  EXPECT_EQ(events_where(json::parse(output.text()), "", "X").size(), PROCESSES);
}

TEST(TraceWriter, KeepsTheOutputsFirstFailure) {
  StringOutput output = StringOutput::failing_after(100);
  TraceWriter writer(output, run());
  writer.process_started(process(1, 10, std::nullopt, ORIGIN));
  EXPECT_FALSE(writer.flush().ok());
  writer.process_started(process(2, 11, std::nullopt, ORIGIN));
  const Status closed = writer.close(ORIGIN + 1);
  EXPECT_EQ(closed.message(), StringOutput::FAILURE_DESCRIPTION);
  EXPECT_EQ(output.appends_after_failure(), 0u);
}

}  // namespace
}  // namespace treemon::recorder
