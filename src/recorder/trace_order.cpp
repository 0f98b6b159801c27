#include "recorder/trace_order.h"

namespace treemon::recorder {
namespace {

constexpr uint32_t NONE = UINT32_MAX;

bool has_parent(std::span<const uint32_t> parents, uint32_t node) {
  const uint32_t parent = parents[node];
  return parent < parents.size() && parent != node;
}

}  // namespace

std::vector<uint32_t> tree_walk_positions(std::span<const uint32_t> parents) {
  const auto count = static_cast<uint32_t>(parents.size());
  // Each parent's children, latest first: pushed in that order, the earliest is walked first.
  std::vector<uint32_t> first_child(count, NONE);
  std::vector<uint32_t> next_sibling(count, NONE);
  for (uint32_t node = 0; node < count; ++node) {
    if (!has_parent(parents, node)) continue;
    next_sibling[node] = first_child[parents[node]];
    first_child[parents[node]] = node;
  }

  std::vector<uint32_t> positions(count, NONE);
  uint32_t next_position = 0;
  std::vector<uint32_t> stack;
  const auto walk_from = [&](uint32_t root) {
    stack.push_back(root);
    while (!stack.empty()) {
      const uint32_t node = stack.back();
      stack.pop_back();
      if (positions[node] != NONE) continue;
      positions[node] = next_position++;
      for (uint32_t child = first_child[node]; child != NONE; child = next_sibling[child]) {
        stack.push_back(child);
      }
    }
  };
  for (uint32_t node = 0; node < count; ++node) {
    if (!has_parent(parents, node)) walk_from(node);
  }
  // Nodes that only a loop of parents reaches.
  for (uint32_t node = 0; node < count; ++node) {
    if (positions[node] == NONE) walk_from(node);
  }
  return positions;
}

}  // namespace treemon::recorder
