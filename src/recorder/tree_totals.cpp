#include "recorder/tree_totals.h"

#include <algorithm>

#include "base/saturating.h"

namespace treemon::recorder {
namespace {

TreeUsage larger_of_each(const TreeUsage& a, const TreeUsage& b) {
  return {std::max(a.cpu_100ns, b.cpu_100ns), std::max(a.read_bytes, b.read_bytes),
          std::max(a.written_bytes, b.written_bytes)};
}

bool falls_short(const KernelReading& kernel, const TreeUsage& samples) {
  return saturating_add(kernel.usage.cpu_100ns, kernel.cpu_truncation_100ns) < samples.cpu_100ns ||
         kernel.usage.read_bytes < samples.read_bytes ||
         kernel.usage.written_bytes < samples.written_bytes;
}

uint64_t difference(uint64_t earlier, uint64_t later) {
  return later > earlier ? later - earlier : 0;
}

}  // namespace

TreeUsage operator+(const TreeUsage& a, const TreeUsage& b) {
  return {saturating_add(a.cpu_100ns, b.cpu_100ns), saturating_add(a.read_bytes, b.read_bytes),
          saturating_add(a.written_bytes, b.written_bytes)};
}

std::string_view totals_source_name(TotalsSource source) {
  switch (source) {
    case TotalsSource::Kernel:
      return "kernel";
    case TotalsSource::Samples:
      return "samples";
    case TotalsSource::LowerBound:
      return "lowerBound";
  }
  return "samples";
}

TreeTotals combine_totals(const std::optional<TreeTotals>& previous,
                          const std::optional<KernelReading>& kernel, const TreeUsage& samples) {
  TreeTotals totals;
  if (!kernel) {
    totals = {samples, TotalsSource::Samples};
  } else {
    totals.usage = larger_of_each(kernel->usage, samples);
    totals.source = falls_short(*kernel, samples) ? TotalsSource::LowerBound : TotalsSource::Kernel;
  }
  if (previous) totals.usage = larger_of_each(totals.usage, previous->usage);
  return totals;
}

std::optional<TreeRates> rates_between(const TreeUsage& earlier, const TreeUsage& later,
                                       std::chrono::nanoseconds elapsed) {
  if (elapsed.count() <= 0) return std::nullopt;
  TreeRates rates;
  rates.used = {difference(earlier.cpu_100ns, later.cpu_100ns),
                difference(earlier.read_bytes, later.read_bytes),
                difference(earlier.written_bytes, later.written_bytes)};
  const double seconds = std::chrono::duration<double>(elapsed).count();
  // 100-ns units over nanoseconds: * 100 for the units, * 100 for percent.
  rates.cpu_percent =
      static_cast<double>(rates.used.cpu_100ns) * 1e4 / static_cast<double>(elapsed.count());
  rates.read_bytes_per_second = static_cast<double>(rates.used.read_bytes) / seconds;
  rates.written_bytes_per_second = static_cast<double>(rates.used.written_bytes) / seconds;
  return rates;
}

}  // namespace treemon::recorder
