#include "recorder/job_tally.h"

#include <gtest/gtest.h>

#include <vector>

namespace treemon::recorder {
namespace {

constexpr uint64_t MS = 10000;  // 100-ns units in a millisecond

TreeMember process(uint32_t pid, uint64_t started, uint64_t cpu_ms, uint64_t read = 0) {
  return {{pid, 1}, started, {cpu_ms * MS, read, 0}};
}

// A run's readings, one step per row: what the job's query gave, the members inside and outside
// the job, and the count (or none) with the reason the job stopped serving.
TEST(JobTallyTest, Readings) {
  struct Step {
    const char* what;
    std::optional<JobCounts> counts;
    std::vector<TreeMember> inside, outside;
    std::optional<KernelReading> expected;
    std::optional<JobFallback> fallback;
  };
  struct Run {
    bool in_job;
    std::vector<Step> steps;
  };
  const JobCounts counted{{900 * MS, 5000, 700}, 40};
  const std::vector<Run> runs = {
      {true,
       {{"the job's own count",
         counted,
         {process(10, 1, 100)},
         {},
         KernelReading{{900 * MS, 5000, 700}, 0, 40},
         std::nullopt},
        {"a process that broke away adds what the samples saw of it",
         counted,
         {process(10, 1, 100)},
         {process(20, 2, 300, 64)},
         KernelReading{{1200 * MS, 5064, 700}, 0, 41},
         std::nullopt},
        {"and stays added, at its last figures, after it ended",
         counted,
         {process(10, 1, 100)},
         {},
         KernelReading{{1200 * MS, 5064, 700}, 0, 41},
         std::nullopt},
        {"a new process under a reused pid is another process",
         counted,
         {process(10, 1, 100)},
         {process(20, 3, 50)},
         KernelReading{{1250 * MS, 5064, 700}, 0, 42},
         std::nullopt}}},
      {true,
       {{"zero CPU time while nothing inside used any: still the job's",
         JobCounts{{0, 0, 0}, 1},
         {process(10, 1, 0)},
         {},
         KernelReading{{0, 0, 0}, 0, 1},
         std::nullopt},
        {"zero CPU time while the samples see some: zeroed answers",
         JobCounts{{0, 0, 0}, 1},
         {process(10, 1, 15)},
         {},
         std::nullopt,
         JobFallback::ZeroFigures},
        {"never trusted again in the run",
         counted,
         {process(10, 1, 15)},
         {},
         std::nullopt,
         JobFallback::ZeroFigures}}},
      {true,
       {{"a query that fails",
         std::nullopt,
         {process(10, 1, 0)},
         {},
         std::nullopt,
         JobFallback::QueryFailed},
        {"no count after it",
         counted,
         {process(10, 1, 0)},
         {},
         std::nullopt,
         JobFallback::QueryFailed}}},
      {false,
       {{"a command that could not be put in the job",
         counted,
         {process(10, 1, 0)},
         {},
         std::nullopt,
         JobFallback::NotInJob}}},
  };
  for (const Run& run : runs) {
    JobTally tally(run.in_job);
    for (const Step& step : run.steps) {
      const std::optional<KernelReading> reading =
          tally.read(step.counts, step.inside, step.outside);
      ASSERT_EQ(reading.has_value(), step.expected.has_value()) << step.what;
      if (reading) {
        EXPECT_EQ(reading->usage, step.expected->usage) << step.what;
        EXPECT_EQ(reading->cpu_truncation_100ns, 0u) << step.what;
        EXPECT_EQ(reading->total_processes, step.expected->total_processes) << step.what;
      }
      EXPECT_EQ(tally.fallback(), step.fallback) << step.what;
    }
  }
}

TEST(JobTallyTest, FallbackTexts) {
  EXPECT_EQ(job_fallback_text(JobFallback::NotInJob),
            "the command could not be put in a job of its own");
  EXPECT_EQ(job_fallback_text(JobFallback::QueryFailed), "the job's accounting could not be read");
  EXPECT_EQ(job_fallback_text(JobFallback::ZeroFigures),
            "the job's accounting answered zero while the tree used CPU time");
}

}  // namespace
}  // namespace treemon::recorder
