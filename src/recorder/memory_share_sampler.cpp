#include "recorder/memory_share_sampler.h"

#include <algorithm>
#include <unordered_set>

namespace treemon::recorder {

std::vector<size_t> MemoryShareSampler::reading_order(std::span<const ShareMember> members) const {
  std::vector<size_t> order(members.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  // Never read sorts as sample 0, before every sample that read.
  const auto read_at = [&](size_t i) {
    const auto found = known_.find(members[i].identity);
    return found == known_.end() ? 0 : found->second.read_at;
  };
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return read_at(a) < read_at(b); });
  return order;
}

void MemoryShareSampler::forget_all_but(std::span<const ShareMember> members) {
  std::unordered_set<uint64_t> present;
  for (const ShareMember& member : members) present.insert(member.identity);
  std::erase_if(known_, [&](const auto& entry) { return !present.contains(entry.first); });
}

ShareReading MemoryShareSampler::sample(std::span<const ShareMember> members, const Reader& read,
                                        Clock& clock) {
  ++samples_;
  forget_all_but(members);
  ShareReading reading;
  const MonoTime start = clock.monotonic_now();
  for (size_t i : reading_order(members)) {
    if (clock.monotonic_now() - start >= budget_) break;
    Known& known = known_[members[i].identity];
    if (std::optional<uint64_t> bytes = read(members[i].pid)) known.bytes = bytes;
    known.read_at = samples_;
    ++reading.read_now;
  }
  reading.shares.reserve(members.size());
  for (const ShareMember& member : members) {
    const auto found = known_.find(member.identity);
    reading.shares.push_back(found == known_.end() ? std::nullopt : found->second.bytes);
    if (!reading.shares.back()) ++reading.never_read;
  }
  return reading;
}

}  // namespace treemon::recorder
