#include "recorder/tree_figures.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace treemon::recorder {
namespace {

constexpr uint64_t UNITS_PER_MS = 10000;  // 100-ns units

uint64_t whole_bytes(double bytes) {
  return static_cast<uint64_t>(std::llround(std::max(bytes, 0.0)));
}

}  // namespace

TreeFigures tree_figures(const Snapshot& snapshot, const RateMap& rates) {
  TreeFigures tree;
  for (const ProcessSample& p : snapshot.processes) {
    const Rates& r = rates_of(rates, p);
    ++tree.processes;
    tree.cpu_percent += r.cpu_percent;
    tree.resident_bytes += p.residentBytes;
    tree.read_per_second += r.read_per_second;
    tree.write_per_second += r.write_per_second;
    tree.read_bytes += r.read_bytes;
    tree.write_bytes += r.write_bytes;
  }
  return tree;
}

TreeSeries::TreeSeries(std::optional<uint64_t> started_at_unix_ms) {
  if (!started_at_unix_ms) return;
  last_ = TreeTotals{};
  interval_start_ = {TreeUsage{}, *started_at_unix_ms};
  baseline_ = TreeUsage{};
}

TreeFigures TreeSeries::next(const Snapshot& snapshot, const RateMap& rates,
                             const std::optional<KernelReading>& kernel) {
  const TreeFigures rows = tree_figures(snapshot, rates);
  for (const ProcessSample& p : snapshot.processes) {
    uint64_t& cpu = cpu_time_ms_[key_of(p)];
    cpu = std::max(cpu, p.cpuTimeMs);
  }
  read_bytes_ += rows.read_bytes;
  written_bytes_ += rows.write_bytes;
  TreeUsage sampled{0, whole_bytes(read_bytes_), whole_bytes(written_bytes_)};
  for (const auto& [key, ms] : cpu_time_ms_) sampled.cpu_100ns += ms * UNITS_PER_MS;

  TreeFigures tree;
  tree.processes = rows.processes;
  tree.resident_bytes = rows.resident_bytes;
  tree.totals = combine_totals(last_, kernel, sampled);
  if (kernel) tree.total_processes = kernel->total_processes;
  last_ = tree.totals;
  if (!baseline_) baseline_ = tree.totals.usage;
  const uint64_t at = snapshot.sampledAtUnixMs;
  if (!interval_start_) {
    interval_start_ = {tree.totals.usage, at};
    return tree;
  }
  // A sample stamped no later than the interval's start (the wall clock stepped back) has no
  // rates and leaves the interval open: the next sample's rates cover both.
  if (at <= interval_start_->at_ms) return tree;
  const std::optional<TreeRates> rates_now =
      rates_between(interval_start_->usage, tree.totals.usage,
                    std::chrono::milliseconds(at - interval_start_->at_ms));
  if (rates_now) {
    tree.cpu_percent = rates_now->cpu_percent;
    tree.read_per_second = rates_now->read_bytes_per_second;
    tree.write_per_second = rates_now->written_bytes_per_second;
    tree.read_bytes = static_cast<double>(rates_now->used.read_bytes);
    tree.write_bytes = static_cast<double>(rates_now->used.written_bytes);
  }
  interval_start_ = {tree.totals.usage, at};
  return tree;
}

}  // namespace treemon::recorder
