#include "recorder/rates.h"

#include <algorithm>
#include <vector>

namespace treemon::recorder {
namespace {

bool has_ended(const ProcessSample& p) {
  return p.status.view() == "Zombie" || p.status.view() == "Dead";
}

// The part of a counter's growth that is the process's own: a credit takes its share first.
double own_share(uint64_t now, uint64_t base, double* credit) {
  const double own = now > base ? static_cast<double>(now - base) : 0.0;
  if (credit == nullptr) return own;
  const double taken = std::min(own, *credit);
  *credit -= taken;
  return own - taken;
}

}  // namespace

const Rates& rates_of(const RateMap& rates, const ProcessSample& p) {
  static const Rates NONE;
  const auto found = rates.find(key_of(p));
  return found == rates.end() ? NONE : found->second;
}

RateMap RateTracker::update(const Snapshot& snapshot) {
  KeyMap<Counters> present;
  for (const ProcessSample& p : snapshot.processes) {
    present[key_of(p)] =
        Counters{snapshot.sampledAtUnixMs, p.pid,       p.ppid, p.cpuTimeMs, p.ioReadBytes,
                 p.ioWriteBytes,           has_ended(p)};
  }
  if (fold_) fold_ended_children(present);
  RateMap rates;
  for (const ProcessSample& p : snapshot.processes) {
    const ProcessKey key = key_of(p);
    const Counters& now = present[key];
    const auto seen = previous_.find(key);
    const bool first_seen = seen == previous_.end();
    const Counters base = first_seen ? Counters{} : seen->second;
    const uint64_t elapsed_ms = first_seen               ? std::max<uint64_t>(p.runTimeMs, 1000)
                                : now.at_ms > base.at_ms ? now.at_ms - base.at_ms
                                                         : 0;
    const double ms = std::max<double>(static_cast<double>(elapsed_ms), 1);
    const auto credit = credit_.find(key);
    Credit* own_credit = credit == credit_.end() ? nullptr : &credit->second;
    Rates r;
    r.read_bytes = own_share(now.read, base.read, own_credit ? &own_credit->read : nullptr);
    r.write_bytes = own_share(now.write, base.write, own_credit ? &own_credit->write : nullptr);
    r.cpu_percent = (now.cpu_ms > base.cpu_ms ? now.cpu_ms - base.cpu_ms : 0) / ms * 100;
    r.read_per_second = r.read_bytes / ms * 1000;
    r.write_per_second = r.write_bytes / ms * 1000;
    rates[key] = r;
  }
  std::erase_if(credit_, [&present](const auto& entry) { return !present.contains(entry.first); });
  std::erase_if(folded_, [&present](const ProcessKey& key) { return !present.contains(key); });
  previous_ = std::move(present);
  return rates;
}

void RateTracker::fold_ended_children(const KeyMap<Counters>& present) {
  KnownProcesses known;
  for (const auto& [key, c] : previous_) known[c.pid] = {key, c};
  for (const auto& [key, c] : present) known[c.pid] = {key, c};
  std::vector<std::pair<ProcessKey, Counters>> ended;
  for (const auto& [key, c] : previous_) {
    if (!present.contains(key)) ended.emplace_back(key, c);
  }
  for (const auto& [key, c] : present) {
    if (c.ended) ended.emplace_back(key, c);
  }
  for (const auto& [key, child] : ended) {
    if (folded_.contains(key)) continue;
    const std::optional<ProcessKey> ancestor = nearest_present_ancestor(child, known, present);
    if (!ancestor) continue;
    folded_.insert(key);
    Credit& credit = credit_[*ancestor];
    credit.read += static_cast<double>(child.read);
    credit.write += static_cast<double>(child.write);
  }
}

std::optional<ProcessKey> RateTracker::nearest_present_ancestor(const Counters& child,
                                                                const KnownProcesses& known,
                                                                const KeyMap<Counters>& present) {
  std::vector<uint32_t> seen = {child.pid};
  for (auto parent = known.find(child.ppid); parent != known.end();
       parent = known.find(parent->second.second.ppid)) {
    const auto& [key, counters] = parent->second;
    if (present.contains(key) && !counters.ended) return key;
    if (std::find(seen.begin(), seen.end(), counters.pid) != seen.end()) return std::nullopt;
    seen.push_back(counters.pid);
  }
  return std::nullopt;
}

}  // namespace treemon::recorder
