#include "recorder/tree_totals.h"

#include <gtest/gtest.h>

#include <vector>

namespace treemon::recorder {
namespace {

using std::chrono::milliseconds;
constexpr uint64_t MS = 10000;  // 100-ns units in a millisecond

// Which count each figure comes from, sample by sample: the series of a run, one step per row.
TEST(TreeTotalsTest, SourcesAndLevels) {
  struct Step {
    const char* what;
    std::optional<KernelReading> kernel;
    TreeUsage samples;
    TreeTotals expected;
  };
  const KernelReading exact{{900 * MS, 5000, 700}, 0, std::nullopt};
  const std::vector<std::vector<Step>> runs = {
      {{"no kernel count: the samples'",
        std::nullopt,
        {10 * MS, 1, 2},
        {{10 * MS, 1, 2}, TotalsSource::Samples}},
       {"the samples' never go down",
        std::nullopt,
        {5 * MS, 0, 9},
        {{10 * MS, 1, 9}, TotalsSource::Samples}}},
      {{"the kernel's, above the samples'",
        exact,
        {300 * MS, 100, 100},
        {{900 * MS, 5000, 700}, TotalsSource::Kernel}},
       {"a member missed for one reading: held, still the kernel's",
        KernelReading{{850 * MS, 5000, 700}, 0, std::nullopt},
        {400 * MS, 100, 100},
        {{900 * MS, 5000, 700}, TotalsSource::Kernel}},
       {"back in its parent's count: not counted twice",
        KernelReading{{950 * MS, 5100, 700}, 0, std::nullopt},
        {400 * MS, 100, 100},
        {{950 * MS, 5100, 700}, TotalsSource::Kernel}}},
      {{"CPU below the samples' within the ticks' truncation: the kernel's",
        KernelReading{{95 * MS, 0, 0}, 10 * MS, std::nullopt},
        {105 * MS, 0, 0},
        {{105 * MS, 0, 0}, TotalsSource::Kernel}},
       {"CPU below the samples' beyond it: a lower bound",
        KernelReading{{95 * MS, 0, 0}, 10 * MS, std::nullopt},
        {106 * MS, 0, 0},
        {{106 * MS, 0, 0}, TotalsSource::LowerBound}},
       {"bytes below the samples' by one: a lower bound, each figure the larger",
        KernelReading{{300 * MS, 99, 50}, 0, std::nullopt},
        {200 * MS, 100, 10},
        {{300 * MS, 100, 50}, TotalsSource::LowerBound}},
       {"the kernel's again once it counts more",
        KernelReading{{400 * MS, 200, 60}, 0, std::nullopt},
        {200 * MS, 100, 10},
        {{400 * MS, 200, 60}, TotalsSource::Kernel}}},
      {{"a saturated truncation does not wrap",
        KernelReading{{UINT64_MAX, 0, 0}, UINT64_MAX, std::nullopt},
        {UINT64_MAX, 0, 0},
        {{UINT64_MAX, 0, 0}, TotalsSource::Kernel}}},
  };
  for (const std::vector<Step>& run : runs) {
    std::optional<TreeTotals> previous;
    for (const Step& step : run) {
      const TreeTotals totals = combine_totals(previous, step.kernel, step.samples);
      EXPECT_EQ(totals, step.expected) << step.what;
      previous = totals;
    }
  }
}

TEST(TreeTotalsTest, RatesOverTheWallTimeBetweenReadings) {
  struct Case {
    const char* what;
    TreeUsage earlier, later;
    std::chrono::nanoseconds elapsed;
    std::optional<TreeRates> expected;
  } const cases[] = {
      {"two processors for half a second",
       {1000 * MS, 0, 0},
       {2000 * MS, 4096, 1000},
       milliseconds(500),
       TreeRates{200.0, 8192.0, 2000.0, {1000 * MS, 4096, 1000}}},
      {"nothing used", {5 * MS, 7, 7}, {5 * MS, 7, 7}, milliseconds(1000), TreeRates{}},
      {"a later figure below the earlier gives nothing, never a wrap",
       {5 * MS, 7, 7},
       {4 * MS, 6, 6},
       milliseconds(1000),
       TreeRates{}},
      {"no time passed", {0, 0, 0}, {MS, 1, 1}, milliseconds(0), std::nullopt},
      {"time went backwards", {0, 0, 0}, {MS, 1, 1}, milliseconds(-5), std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(rates_between(c.earlier, c.later, c.elapsed), c.expected) << c.what;
  }
}

TEST(TreeTotalsTest, SourceNames) {
  EXPECT_EQ(totals_source_name(TotalsSource::Kernel), "kernel");
  EXPECT_EQ(totals_source_name(TotalsSource::Samples), "samples");
  EXPECT_EQ(totals_source_name(TotalsSource::LowerBound), "lowerBound");
}

}  // namespace
}  // namespace treemon::recorder
