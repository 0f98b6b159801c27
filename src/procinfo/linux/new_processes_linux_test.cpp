#include "procinfo/linux/new_processes_linux.h"

#include <gtest/gtest.h>

#include <string>

namespace treemon::linux_proc {
namespace {

using Kind = ListingPlan::Kind;

struct Step {
  int at_ms;
  std::optional<ForkReading> reading;  // empty: a file could not be read
  Kind kind;
  ListReason reason = ListReason::None;
  std::vector<PidRange> ranges = {};
  PlanContext context = {true, true, 1000};
  bool list_lost = false;  // the refresh could not take its list
};

// 200 tasks on the machine.
ForkReading reading(uint64_t forks, uint32_t last_pid, uint32_t pid_max = 32768) {
  return ForkReading{forks, last_pid, 200, pid_max};
}

struct Scenario {
  const char* what;
  std::vector<Step> steps;
  ForkReading remembered = reading(100, 5000);  // at start-up, 0 ms
};

constexpr PlanContext NOT_OWN{false, true, 1000};
constexpr PlanContext UNWATCHED{true, false, 1000};
constexpr PlanContext SMALL{true, true, 10};
constexpr PlanContext LARGE{true, true, 10000};

// One scenario per rule: the plan of every refresh in turn.
TEST(NewProcessesTest, PlansEachRefresh) {
  const Kind SKIP = Kind::Skip, PROBE = Kind::Probe, LIST = Kind::ListAll;
  const Scenario scenarios[] = {
      {"only the first refresh must list; then the counter decides",
       {{1, reading(100, 5000), LIST, ListReason::FirstListing},
        {300, reading(100, 5007), SKIP},  // the cursor moved, nothing was counted
        {600, reading(103, 5010), PROBE, {}, {{5001, 5010}}}}},
      {"a range begins at the newest reading 200 ms before the previous one",
       {{1, reading(100, 5000), LIST, ListReason::FirstListing},
        {250, reading(102, 5002), PROBE, {}, {{5001, 5002}}},
        {500, reading(104, 5004), PROBE, {}, {{5001, 5004}}},
        {750, reading(106, 5006), PROBE, {}, {{5003, 5006}}},
        {800, reading(107, 5007), PROBE, {}, {{5005, 5007}}}}},
      {"a wrap resumes at 300",
       {{1, reading(100, 32700), LIST, ListReason::FirstListing},
        {300, reading(200, 310), PROBE, {}, {{300, 310}, {32701, 32767}}},
        {600, reading(201, 311), PROBE, {}, {{300, 311}, {32701, 32767}}}},
       reading(100, 32700)},
      {"a lost list is taken again in full",
       {{1, reading(100, 5000), LIST, ListReason::FirstListing},
        {300, reading(100, 5000), SKIP, {}, {}, {true, true, 1000}, true},
        {600, reading(100, 5000), LIST, ListReason::FirstListing}}},
      {"a failed reading lists, and so does the next refresh",
       {{1, reading(100, 5000), LIST, ListReason::FirstListing},
        {300, std::nullopt, LIST, ListReason::NoReading},
        {600, reading(100, 5000), LIST, ListReason::NoReading},
        {900, reading(100, 5000), SKIP}}},
      {"/proc of another pid namespace always lists",
       {{1, reading(100, 5000), LIST, ListReason::OtherNamespace, {}, NOT_OWN},
        {300, reading(100, 5000), LIST, ListReason::OtherNamespace, {}, NOT_OWN}}},
      {"an unwatched process lists as before, even when nothing was created",
       {{1, reading(100, 5000), LIST, ListReason::FirstListing},
        {300, reading(100, 5000), LIST, ListReason::Unwatched, {}, UNWATCHED}}},
      {"forks enough for a whole cycle (32468 pids, 200 of them tasks') may hide a wrap",
       {{1, reading(100, 5000), LIST, ListReason::FirstListing},
        {300, reading(100 + 32468 - 200 - 256, 5001), LIST, ListReason::WholeCycle}}},
      {"one fork fewer cannot, when the range holds the forks",
       {{1, reading(100, 5000), LIST, ListReason::FirstListing},
        {300,
         reading(100 + 32468 - 200 - 256 - 1, 4500),
         PROBE,
         {},
         {{300, 4500}, {5001, 32767}},
         LARGE}}},
      {"a last pid that moved back without a wrap's forks: every probe lists from then on",
       {{1, reading(100, 5000), LIST, ListReason::FirstListing},
        {300, reading(105, 4000), LIST, ListReason::LastPidMovedBack},
        {600, reading(106, 4001), LIST, ListReason::LastPidWritten},
        {900, reading(106, 4001), SKIP}}},
      {"a wrap never lands below the reserved pids",
       {{1, reading(100, 32700), LIST, ListReason::FirstListing},
        {300, reading(200, 299), LIST, ListReason::LastPidMovedBack}},
       reading(100, 32700)},
      {"a range wider than four probes per listed process lists",
       {{1, reading(100, 5000), LIST, ListReason::FirstListing},
        {300, reading(101, 5040), PROBE, {}, {{5001, 5040}}, SMALL},
        {600, reading(102, 5041), LIST, ListReason::TooWide, {}, SMALL}}},
      {"a changed pid_max lists",
       {{1, reading(100, 5000), LIST, ListReason::FirstListing},
        {300, reading(101, 5001, 4194304), LIST, ListReason::PidMaxChanged},
        {600, reading(102, 5002, 4194304), LIST, ListReason::PidMaxChanged},
        {900, reading(103, 5003, 4194304), PROBE, {}, {{5002, 5003}}}}},
      {"refreshes that probed list in full every 30 s",
       {{1, reading(100, 5000), LIST, ListReason::FirstListing},
        {29000, reading(100, 5000), SKIP},
        {31000, reading(100, 5000), SKIP},  // nothing probed: nothing can have been missed
        {32000, reading(101, 5001), PROBE, {}, {{5001, 5001}}},
        {61000, reading(102, 5002), LIST, ListReason::Periodic},
        {62000, reading(103, 5003), PROBE, {}, {{5002, 5003}}}}},
      {"a few forks of other namespaces only: no pid of this one to probe",
       {{1, reading(100, 5000), LIST, ListReason::FirstListing}, {300, reading(356, 5000), SKIP}}},
      {"a fork whose pid the last pid does not show (set_tid) is listed within 30 s",
       {{1, reading(100, 5000), LIST, ListReason::FirstListing},
        {300, reading(101, 5000), SKIP},
        {29000, reading(101, 5000), SKIP},
        {30001, reading(101, 5000), LIST, ListReason::Periodic},
        {31000, reading(101, 5000), SKIP}}},
      {"more forks than the range can hold (256 forks of slack)",
       {{1, reading(100, 5000), LIST, ListReason::FirstListing},
        {300, reading(100 + 10 + 256, 5010), PROBE, {}, {{5001, 5010}}},
        {600, reading(100 + 11 + 257, 5011), LIST, ListReason::ForksOutsideRange}}},
      {"a counter that went back lists",
       {{1, reading(100, 5000), LIST, ListReason::FirstListing},
        {300, reading(99, 5000), LIST, ListReason::CounterWentBack}}},
  };
  for (const Scenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.what);
    NewProcessPlanner planner;
    const MonoTime origin{};
    planner.remember(origin, scenario.remembered);
    for (const Step& step : scenario.steps) {
      SCOPED_TRACE("at " + std::to_string(step.at_ms) + " ms");
      const ListingPlan plan =
          planner.plan(origin + std::chrono::milliseconds(step.at_ms), step.reading, step.context);
      if (step.list_lost) planner.list_lost();
      EXPECT_EQ(plan.kind, step.kind);
      EXPECT_EQ(plan.reason, step.reason);
      ASSERT_EQ(plan.ranges.size(), step.ranges.size());
      for (size_t i = 0; i < plan.ranges.size(); ++i) {
        EXPECT_EQ(plan.ranges[i].first, step.ranges[i].first);
        EXPECT_EQ(plan.ranges[i].last, step.ranges[i].last);
      }
    }
  }
}

}  // namespace
}  // namespace treemon::linux_proc
