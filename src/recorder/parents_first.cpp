#include "recorder/parents_first.h"

#include <algorithm>
#include <unordered_map>

namespace treemon::recorder {

std::vector<uint32_t> parents_first(std::span<const MemberLink> members) {
  std::unordered_map<uint32_t, std::vector<size_t>> children;  // parent pid -> member indexes
  std::unordered_map<uint32_t, size_t> index_of;
  for (size_t i = 0; i < members.size(); ++i) index_of.emplace(members[i].pid, i);
  std::vector<uint32_t> order;
  order.reserve(members.size());
  std::vector<bool> placed(members.size(), false);
  for (size_t i = 0; i < members.size(); ++i) {
    const MemberLink& member = members[i];
    if (member.parent_pid != member.pid && index_of.contains(member.parent_pid)) {
      children[member.parent_pid].push_back(i);
    } else {
      order.push_back(member.pid);
      placed[i] = true;
    }
  }
  for (size_t next = 0; next < order.size(); ++next) {
    const auto found = children.find(order[next]);
    if (found == children.end()) continue;
    for (size_t child : found->second) {
      if (placed[child]) continue;
      placed[child] = true;
      order.push_back(members[child].pid);
    }
  }
  for (size_t i = 0; i < members.size(); ++i) {
    if (!placed[i]) order.push_back(members[i].pid);
  }
  return order;
}

}  // namespace treemon::recorder
