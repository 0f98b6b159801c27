// The main loop's schedule and dispatch against a scripted platform and a scripted intake, so
// that every time is exact and nothing sleeps.
#include "control/monitor.h"

#include <gtest/gtest.h>

#include <deque>
#include <nlohmann/json.hpp>

#include "support/scripted_platform.h"

namespace treemon {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// Milliseconds since the scripted monotonic clock's zero.
int64_t ms_of(MonoTime t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

// Every event written, with the monotonic time at which it was written.
class TimedStream final : public OutputStream {
 public:
  explicit TimedStream(ScriptedPlatform& platform) : platform_(platform) {}
  struct Line {
    int64_t at_ms;
    json event;
  };
  std::vector<Line> lines;
  bool fail = false;

  Status write_all(std::string_view bytes) override {
    if (fail) return Status::error("Broken pipe");
    pending_.append(bytes);
    for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
      lines.push_back({ms_of(platform_.monotonic_now()), json::parse(pending_.substr(0, end))});
      pending_.erase(0, end + 1);
    }
    return Status();
  }

  std::vector<int64_t> times_of(const std::string& type) const {
    std::vector<int64_t> times;
    for (const auto& line : lines) {
      if (line.event["type"] == type) times.push_back(line.at_ms);
    }
    return times;
  }

 private:
  ScriptedPlatform& platform_;
  std::string pending_;
};

// Commands arriving at given monotonic times; the clock jumps to each deadline or arrival.
class ScriptedIntake final : public IntakeSource {
 public:
  ScriptedIntake(ScriptedPlatform& platform, int64_t close_at_ms)
      : platform_(platform), close_at_ms_(close_at_ms) {}

  void at(int64_t ms, Command command) {
    script_.push_back({ms, IntakeMessage(std::move(command))});
  }
  void at(int64_t ms, std::string error) { script_.push_back({ms, IntakeError{std::move(error)}}); }

  std::vector<int64_t> deadlines_ms;

  Received receive_until(MonoTime deadline) override {
    deadlines_ms.push_back(ms_of(deadline));
    const int64_t now = ms_of(platform_.monotonic_now());
    const int64_t next = script_.empty() ? close_at_ms_ : script_.front().first;
    if (next > ms_of(deadline)) {
      set_time(std::max(now, ms_of(deadline)));
      return {Received::Kind::TimedOut, std::nullopt};
    }
    set_time(std::max(now, next));
    if (script_.empty()) return {Received::Kind::Closed, std::nullopt};
    Received received{Received::Kind::Message, std::move(script_.front().second)};
    script_.pop_front();
    return received;
  }

 private:
  void set_time(int64_t ms) { platform_.monotonic = MonoTime(std::chrono::milliseconds(ms)); }

  ScriptedPlatform& platform_;
  int64_t close_at_ms_;
  std::deque<std::pair<int64_t, IntakeMessage>> script_;
};

Configure configure(uint64_t interval_ms) { return Configure{2, 1, interval_ms, {}}; }

ScriptedProcess init_process() {
  ScriptedProcess init;
  init.pid = 1;
  init.name = "init";
  return init;
}

class MonitorLoop : public ::testing::Test {
 protected:
  MonitorLoop() : stream_(platform_), writer_(stream_) { platform_.add(init_process()); }

  Status run(ScriptedIntake& intake) {
    Monitor monitor(platform_, writer_);
    return monitor.run_loop(intake);
  }

  ScriptedPlatform platform_;
  TimedStream stream_;
  EventWriter writer_;
};

// Clamping as seen in the schedule: the first periodic sample waits only for the 200 ms since
// the configuration's refresh, and the next ones follow one normalised interval apart.
TEST_F(MonitorLoop, IntervalsAreNormalised) {
  const struct {
    uint64_t requested;
    int64_t interval;
  } cases[] = {{1, 250},       {250, 250},     {1000, 1000},
               {60000, 60000}, {60001, 60000}, {UINT64_MAX, 60000}};
  for (const auto& c : cases) {
    ScriptedPlatform platform;
    platform.add(init_process());
    TimedStream stream(platform);
    EventWriter writer(stream);
    ScriptedIntake intake(platform, 1300 + 3 * c.interval);
    intake.at(0, SetStreaming{2, true});
    intake.at(1000, configure(c.requested));
    Monitor monitor(platform, writer);
    ASSERT_TRUE(monitor.run_loop(intake).ok());
    const std::vector<int64_t> expected = {1200, 1200 + c.interval, 1200 + 2 * c.interval,
                                           1200 + 3 * c.interval};
    auto times = stream.times_of("snapshot");
    times.resize(std::min(times.size(), expected.size()));
    EXPECT_EQ(times, expected) << c.requested;
  }
}

TEST_F(MonitorLoop, StreamingOffStoresButDoesNotWrite) {
  ScriptedIntake intake(platform_, 2000);
  intake.at(0, configure(500));
  intake.at(1900, ReadHistory{2, "h", 3600000});
  ASSERT_TRUE(run(intake).ok());
  ASSERT_EQ(stream_.lines.size(), 1u);
  EXPECT_EQ(stream_.lines[0].event["type"], "historyChunk");
  EXPECT_EQ(stream_.lines[0].event["snapshots"].size(), 4u);  // at 200, 700, 1200, 1700
}

// sampleNow is always written, carries its id, and leaves the pending periodic sample in place.
TEST_F(MonitorLoop, SampleNowKeepsThePendingSample) {
  ScriptedIntake intake(platform_, 2500);
  intake.at(0, SetStreaming{2, true});
  intake.at(0, configure(1000));
  intake.at(700, SampleNow{2, "now"});
  ASSERT_TRUE(run(intake).ok());
  ASSERT_GE(stream_.lines.size(), 3u);
  EXPECT_EQ(stream_.lines[0].at_ms, 200);
  EXPECT_FALSE(stream_.lines[0].event.contains("requestId"));
  EXPECT_EQ(stream_.lines[1].at_ms, 700);
  EXPECT_EQ(stream_.lines[1].event["requestId"], "now");
  EXPECT_EQ(stream_.lines[2].at_ms, 1200);
  EXPECT_EQ(stream_.lines[2].event["sequence"], 3);
}

// Interval 0 stops periodic sampling; 500 resumes it one interval later, not at once.
TEST_F(MonitorLoop, SetSampleIntervalStopsAndResumes) {
  ScriptedIntake intake(platform_, 3100);
  intake.at(0, SetStreaming{2, true});
  intake.at(0, configure(250));
  intake.at(300, SetSampleInterval{2, 0});
  intake.at(2000, SetSampleInterval{2, 500});
  ASSERT_TRUE(run(intake).ok());
  EXPECT_EQ(stream_.times_of("snapshot"), (std::vector<int64_t>{200, 2500, 3000}));
}

// A second configure restarts the schedule at once and keeps history and sequence.
TEST_F(MonitorLoop, SecondConfigure) {
  ScriptedIntake intake(platform_, 5000);
  intake.at(0, SetStreaming{2, true});
  intake.at(0, configure(1000));
  intake.at(1500, Configure{2, 1, 4000, {}});
  intake.at(3000, ReadHistory{2, "h", 3600000});
  ASSERT_TRUE(run(intake).ok());
  EXPECT_EQ(stream_.times_of("snapshot"), (std::vector<int64_t>{200, 1200, 1700}));
  const auto& last = stream_.lines.back().event;
  EXPECT_EQ(last["snapshots"].size(), 3u);
  EXPECT_EQ(last["snapshots"][2]["sequence"], 3);
}

// Without an interval the loop waits the idle minute; with one, exactly until the sample is due.
TEST_F(MonitorLoop, WaitsWithoutPolling) {
  ScriptedIntake intake(platform_, 150000);
  intake.at(0, configure(0));
  intake.at(130000, configure(30000));
  ASSERT_TRUE(run(intake).ok());
  EXPECT_EQ(intake.deadlines_ms, (std::vector<int64_t>{60000, 60000, 120000, 180000, 160200}));
}

TEST_F(MonitorLoop, ErrorsAndVersionCheck) {
  ScriptedIntake intake(platform_, 100);
  intake.at(0, Shutdown{3});
  intake.at(0, std::string("invalid command: x"));
  intake.at(0, SampleNow{2, "a"});
  intake.at(0, Shutdown{2});
  intake.at(0, SampleNow{2, "never"});
  ASSERT_TRUE(run(intake).ok());
  ASSERT_EQ(stream_.lines.size(), 3u);
  EXPECT_EQ(
      stream_.lines[0].event.dump(),
      R"({"code":"protocol-mismatch","message":"unsupported protocol version 3; expected 2","recoverable":false,"type":"error","version":2})");
  EXPECT_EQ(stream_.lines[1].event["message"], "invalid command: x");
  EXPECT_EQ(stream_.lines[1].event["code"], "invalid-command");
  EXPECT_EQ(stream_.lines[2].event["message"], "configure must be sent before sampling");
}

// The first output failure ends the loop: no further chunk of a history answer is attempted.
TEST_F(MonitorLoop, OutputFailureEndsTheLoop) {
  ScriptedIntake intake(platform_, 100);
  intake.at(0, configure(0));
  intake.at(0, SampleNow{2, "a"});
  intake.at(0, ReadHistory{2, "h", 1000});
  stream_.fail = true;
  Status failure = run(intake);
  ASSERT_FALSE(failure.ok());
  EXPECT_EQ(failure.message(), "Broken pipe");
}

TEST(IntervalNormalisation, Table) {
  EXPECT_EQ(normalise_interval(0), std::nullopt);
  EXPECT_EQ(normalise_interval(1), 250ms);
  EXPECT_EQ(normalise_interval(249), 250ms);
  EXPECT_EQ(normalise_interval(251), 251ms);
  EXPECT_EQ(normalise_interval(60000), 60000ms);
  EXPECT_EQ(normalise_interval(60001), 60000ms);
}

TEST(ExternalProcessMap, LaterEntryReplacesEarlier) {
  const auto map = external_process_map({{10, 5}, {11, std::nullopt}, {10, std::nullopt}});
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(map.at(10), std::nullopt);
  EXPECT_EQ(map.count(11), 1u);
}

}  // namespace
}  // namespace treemon
